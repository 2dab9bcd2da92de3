"""The operators: an armature's action onto another armature, and a motion file onto an armature.

Their options are the package's own (norvo_retarget.options()), under the
same names and with the same defaults as the command line's.
"""
import functools
import time
import warnings

import bpy

from . import armature

# What a run shows in the panel: its figures and its warnings.
last_run = {"lines": [], "warnings": []}

# Options that name what an armature already is: a rig file, and the choice
# of a skin, an animation or a rate inside a glTF file.
_FILE_ONLY = {"source_rig", "skin", "animation", "fps"}


@functools.lru_cache(maxsize=None)
def applicable_options(nr, from_file):
    """The package's options that a run inside Blender takes: not the files a clip writes beside its motion.
    Read once: the panel asks at every redraw."""
    return tuple(option for option in nr.options()
                 if option["runs"] == "any" and (from_file or option["keyword"] not in _FILE_ONLY))


def _label(option):
    return option["keyword"].replace("_", " ").capitalize()


def option_property(option):
    """A Blender property for an option; its empty value (False, "", -1 or 0) leaves the tool's default."""
    kind, description = option["type"], option["help"]
    if option["default"]:
        description += " (default: %s)" % option["default"]
    if kind == "flag":
        return bpy.props.BoolProperty(name=_label(option), description=description, default=False)
    if kind == "whole":
        return bpy.props.IntProperty(name=_label(option), description=description + ". -1: the default",
                                     default=-1, min=-1)
    if kind == "number":
        return bpy.props.FloatProperty(name=_label(option), description=description + ". 0: the default",
                                       default=0.0, min=0.0)
    return bpy.props.StringProperty(name=_label(option), description=description, default="")


def option_values(holder, options):
    """The keyword arguments of the options that `holder` (an operator or the panel's settings) gives."""
    out = {}
    for option in options:
        value = getattr(holder, option["keyword"])
        if isinstance(value, str) and value.startswith("//"):
            value = bpy.path.abspath(value)  # a file named relative to the .blend file
        if value not in (False, "", -1, 0.0):
            out[option["keyword"]] = value
    return out


def _armature(name, what):
    obj = bpy.data.objects.get(name)
    if obj is None:
        raise LookupError("no object named %s (the %s)" % (name, what))
    if obj.type != "ARMATURE":
        raise LookupError("%s (the %s) is not an armature" % (name, what))
    return obj


def _target(context, name):
    """The named armature, or the active one."""
    if name:
        return _armature(name, "target")
    active = context.view_layer.objects.active
    if active is None or active.type != "ARMATURE":
        raise LookupError("no target: make the target armature the active object, or name it")
    return active


def _chosen_armatures(context, source, target):
    """The named armatures, or the selected armature that is not active and the active one."""
    target = _target(context, target).name
    if not source:
        others = [o for o in context.selected_objects if o.type == "ARMATURE" and o.name != target]
        if len(others) != 1:
            raise LookupError("no source: select the source armature and then the target, or name both")
        source = others[0].name
    return _armature(source, "source"), _armature(target, "target")


def _show(result, seconds):
    figures, lines = result.figures or {}, []
    quality = figures.get("quality")
    if quality:
        lines.append("segments %.2f° from the source's (95th percentile %.2f°)" % (quality["mean"], quality["p95"]))
    sliding = figures.get("footSliding")
    if sliding:
        lines.append("feet slide %.2f / %.2f leg lengths a second (source %.2f / %.2f)" % (
            sliding["result"]["left"], sliding["result"]["right"], sliding["source"]["left"],
            sliding["source"]["right"]))
    lines.append("%d frames in %.2f s" % (result.motion.frame_count, seconds))
    last_run["lines"], last_run["warnings"] = lines, list(result.warnings)


class _Run:
    """What both operators share: the options, the error report and the new action."""

    def fail(self, text):
        last_run["lines"], last_run["warnings"] = [], []
        self.report({"ERROR"}, text)
        return {"CANCELLED"}

    def execute(self, context):
        from . import package
        nr = package.module
        if nr is None:
            return self.fail(package.missing_text())
        started = time.perf_counter()
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", nr.RetargetWarning)
                target, made = self.retarget(context, nr)
        except (nr.Error, LookupError, OSError) as error:
            return self.fail(str(error))
        except Exception as error:  # a fault of the add-on's: still one line, with what it was
            return self.fail("%s: %s" % (type(error).__name__, error))
        _show(made, time.perf_counter() - started)
        for warning in made.warnings:
            self.report({"WARNING"}, warning)
        self.report({"INFO"}, "%s: %s" % (target.animation_data.action.name, "; ".join(last_run["lines"])))
        return {"FINISHED"}

    def keyed(self, context, nr, source, target_obj, first_frame, name):
        """Retargets `source` onto the armature and keys the result from `first_frame`, a key per scene frame
        when the clip's rate is the scene's, at the time of each of its frames when not."""
        rig, skeleton = armature.rest_motion(nr, target_obj)
        made = nr.retarget(source, rig, **option_values(self, self.norvo_options))
        render = context.scene.render
        step = made.motion.frame_time * render.fps / render.fps_base
        step = 1.0 if abs(step - 1.0) < 1e-6 else step
        frames = [first_frame + (made.first_frame + k) * step for k in range(made.motion.frame_count)]
        armature.write_action(target_obj, skeleton, made.motion.locals, frames, name)
        return made


class RetargetArmature(_Run):
    bl_idname = "norvo.retarget"
    bl_label = "Retarget"
    bl_description = "Carry the source armature's action onto the target armature as a new action"
    bl_options = {"REGISTER", "UNDO"}

    def retarget(self, context, nr):
        source, target = _chosen_armatures(context, self.source, self.target)
        if self.action:
            action = bpy.data.actions.get(self.action)
            if action is None:
                raise LookupError("no action named %s" % self.action)
        else:
            action = source.animation_data.action if source.animation_data else None
            if action is None:
                raise LookupError("%s has no action to carry over" % source.name)
        motion, first = armature.read_motion(nr, source, action)
        name = "%s onto %s" % (action.name, target.name)
        return target, self.keyed(context, nr, motion, target, first, name)


class RetargetFile(_Run):
    bl_idname = "norvo.retarget_file"
    bl_label = "Retarget file"
    bl_description = ("Carry a motion file's clip (BVH, glTF, GLB, VRM animation, FBX) onto the target armature "
                      "as a new action, without importing the file's own armature")
    bl_options = {"REGISTER", "UNDO"}

    def retarget(self, context, nr):
        if not self.filepath:
            raise LookupError("no file: give the motion file to carry over")
        path = bpy.path.abspath(self.filepath)
        target = _target(context, self.target)
        name = "%s onto %s" % (bpy.path.display_name_from_filepath(path), target.name)
        return target, self.keyed(context, nr, path, target, context.scene.frame_start, name)


def make_classes(nr):
    """The two operator classes, with a property per option of the package (none without it)."""
    classes = []
    for base, from_file, fixed in (
            (RetargetArmature, False, {
                "source": bpy.props.StringProperty(name="Source", description="The source armature's name "
                                                   "(empty: the selected armature that is not active)"),
                "target": bpy.props.StringProperty(name="Target", description="The target armature's name "
                                                   "(empty: the active armature)"),
                "action": bpy.props.StringProperty(name="Action", description="The source's action to carry "
                                                   "over (empty: its current action)")}),
            (RetargetFile, True, {
                "filepath": bpy.props.StringProperty(name="File", subtype="FILE_PATH",
                                                     description="The motion file to carry over"),
                "target": bpy.props.StringProperty(name="Target", description="The target armature's name "
                                                   "(empty: the active armature)")})):
        options = applicable_options(nr, from_file) if nr else []
        annotations = dict(fixed)
        annotations.update({option["keyword"]: option_property(option) for option in options})
        classes.append(type(base.__name__, (base, bpy.types.Operator),
                            {"__annotations__": annotations, "norvo_options": options}))
    return classes
