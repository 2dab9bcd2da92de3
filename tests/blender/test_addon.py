"""The Blender add-on, inside Debian's Blender run headless:

    blender -b --factory-startup --python-exit-code 1 --python test_addon.py -- ZIP DATA

It installs the add-on's zip as a user would (into BLENDER_USER_SCRIPTS),
imports the shared clips with Blender's own importers, retargets them with the
add-on's operators, reads the new actions back from the evaluated pose, and
compares them with the package's result on the same files by the rig-neutral
measure of tests/python/landmarks.py, segment by segment and frame by frame.
"""
import builtins
import os
import pathlib
import sys
import tempfile
import time
import unittest

import addon_utils
import bpy
import numpy

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "python"))
import landmarks  # noqa: E402

ZIP, DATA = (pathlib.Path(a) for a in sys.argv[sys.argv.index("--") + 1:][:2])
WALK = DATA / "bvh/cmu_02_01_walk.bvh"

# Blender 3.4's importers on Python 3.11 and numpy 1.24: its BVH importer
# opens files with mode "rU", its glTF importer uses numpy.bool.
numpy.bool = bool
_open = builtins.open
builtins.open = lambda file, mode="r", *a, **k: _open(file, mode.replace("U", ""), *a, **k)


def install_addon():
    bpy.ops.preferences.addon_install(filepath=str(ZIP), overwrite=True)
    addon_utils.enable("norvo_retarget_blender", default_set=True, handle_error=None)
    import norvo_retarget_blender
    return norvo_retarget_blender


ADDON = install_addon()
ARMATURE = ADDON.armature
import norvo_retarget as nr  # noqa: E402  (the add-on found it)


def empty_scene():
    bpy.ops.wm.read_factory_settings(use_empty=True)
    install_addon()


def import_armature(path, **options):
    """The armature a file brings into the scene."""
    before = set(bpy.data.objects)
    if path.suffix == ".bvh":
        bpy.ops.import_anim.bvh(filepath=str(path), **options)
    else:
        bpy.ops.import_scene.gltf(filepath=str(path))
    made = [o for o in bpy.data.objects if o not in before and o.type == "ARMATURE"]
    assert len(made) == 1, made
    return made[0]


def snapshot():
    """Every action's keys."""
    out = {}
    for action in bpy.data.actions:
        for curve in action.fcurves:
            values = numpy.empty(2 * len(curve.keyframe_points), dtype=numpy.float32)
            curve.keyframe_points.foreach_get("co", values)
            out[action.name, curve.data_path, curve.array_index] = values
    return out


class Layout:
    """A stand-in for a panel's layout (a headless Blender draws none): what it was asked to show."""

    def __init__(self, shown=None):
        self.shown = [] if shown is None else shown

    def label(self, text="", **_):
        self.shown.append(text)

    def prop(self, holder, name, **_):
        self.shown.append(getattr(holder, name))

    def operator(self, idname, **_):
        self.shown.append(idname)
        return type("Properties", (), {})()

    def box(self):
        return self

    def column(self, **_):
        return self


def panel_text():
    shown = []
    for panel in (ADDON.panel.NORVO_PT_retarget, ADDON.panel.NORVO_PT_retarget_options):
        if panel.poll(bpy.context) if hasattr(panel, "poll") else True:
            panel.draw(type("Panel", (), {"layout": Layout(shown)})(), bpy.context)
    return [str(item) for item in shown]


def rest_globals(rest, parents):
    out = numpy.empty_like(rest)
    for j, parent in enumerate(parents):
        out[j] = rest[j] if parent < 0 else out[parent] @ rest[j]
    return out


def keyed_frames(action):
    curve = action.fcurves[0]
    values = numpy.empty(2 * len(curve.keyframe_points), dtype=numpy.float32)
    curve.keyframe_points.foreach_get("co", values)
    return values[0::2].astype(float)


def armature_clip(obj, frames):
    """(globals, rest globals, names) of the armature at `frames`, as the scene evaluates them."""
    skeleton = ARMATURE.Skeleton(obj)
    return (ARMATURE.evaluated_globals(obj, skeleton, frames), rest_globals(skeleton.rest, skeleton.parents),
            skeleton.names)


class Addon(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.times = {}

    def command_line(self, source, target, **options):
        """The package's result on the files, measured against the source file, and the rigs' landmarks."""
        report = pathlib.Path(self.dir.name) / "report.json"
        made = nr.retarget(source, target, report=report, **options)
        import json
        rigs = json.loads(report.read_text())
        src, tgt = nr.load_motion(source), nr.load_motion(target)
        src_marks, tgt_marks = landmarks.landmark_joints(rigs["source"]), landmarks.landmark_joints(rigs["target"])
        angles = landmarks.measure(
            src.globals[made.first_frame:made.last_frame], rest_globals(src.rest, src.parents), src.joint_names,
            src_marks, None, made.motion.globals, rest_globals(tgt.rest, tgt.parents), made.motion.joint_names,
            tgt_marks, None)
        return made, angles, src_marks, tgt_marks

    def assert_follows(self, blender, command_line, label):
        measured = {name for name, value in command_line.items() if value is not None}
        self.assertEqual({name for name, value in blender.items() if value is not None}, measured, label)
        self.assertGreaterEqual(len(measured), 12, label)
        for name in measured:
            difference = numpy.abs(blender[name] - command_line[name])
            self.assertLessEqual(difference.max(), 0.1, "%s: %s, frame %d" % (label, name, difference.argmax()))

    def measure_blender(self, source, target, action, marks):
        """The new action measured against the source armature (or a file's motion, with its frames)."""
        frames = keyed_frames(action)
        result, result_rest, result_names = armature_clip(target, frames)
        if isinstance(source, tuple):
            src_globals, src_rest, src_names = source
        else:
            first = int(round(source.animation_data.action.frame_range[0]))
            src_globals, src_rest, src_names = armature_clip(source, list(range(first, first + len(frames))))
        return landmarks.measure(src_globals, src_rest, src_names, marks[0], None,
                                 result, result_rest, result_names, marks[1], None)

    def test_an_armatures_action_onto_imported_rigs_is_the_command_lines(self):
        for target_file in ("bvh/cmu_12_03.bvh", "gltf/makehuman_zombie_walk.glb", "gltf/bcn_skinned_human.glb"):
            with self.subTest(target=target_file):
                empty_scene()
                source = import_armature(WALK, update_scene_fps=True, update_scene_duration=True)
                target = import_armature(DATA / target_file)
                source_action = source.animation_data.action
                before, actions = snapshot(), set(bpy.data.actions)
                started = time.perf_counter()
                self.assertEqual(bpy.ops.norvo.retarget(source=source.name, target=target.name), {"FINISHED"})
                self.times[target_file] = time.perf_counter() - started
                made = target.animation_data.action
                self.assertEqual(set(bpy.data.actions) - actions, {made})
                self.assertEqual(made.name, "%s onto %s" % (source_action.name, target.name))
                self.assertIs(source.animation_data.action, source_action)
                self.assertEqual({k: v.tobytes() for k, v in before.items()},
                                 {k: v.tobytes() for k, v in snapshot().items() if k[0] != made.name})
                reference, angles, *marks = self.command_line(WALK, DATA / target_file)
                self.assertEqual(len(keyed_frames(made)), reference.motion.frame_count)
                self.assert_follows(self.measure_blender(source, target, made, marks), angles, target_file)
                shown = panel_text()
                self.assertIn("norvo.retarget_file", shown)
                self.assertIn("Last run", shown)
                self.assertTrue(any(line.startswith("segments %.2f°" % reference.figures["quality"]["mean"])
                                    for line in shown), shown)

    def test_a_file_onto_an_armature_is_the_command_lines(self):
        for clip in ("fbx/cmu_02_01_walk.fbx", "vrm/test.vrma"):
            with self.subTest(clip=clip):
                empty_scene()
                target = import_armature(DATA / "gltf/bcn_skinned_human.glb")
                objects = set(bpy.data.objects)
                self.assertEqual(bpy.ops.norvo.retarget_file(filepath=str(DATA / clip), target=target.name),
                                 {"FINISHED"})
                self.assertEqual(set(bpy.data.objects), objects)  # the file's armature stays out
                made = target.animation_data.action
                self.assertTrue(made.name.startswith(pathlib.Path(clip).stem))
                reference, angles, *marks = self.command_line(DATA / clip, DATA / "gltf/bcn_skinned_human.glb")
                frames = keyed_frames(made)
                self.assertEqual(len(frames), reference.motion.frame_count)
                # Keys at the clip's own rate: one a frame when the scene runs at it.
                render = bpy.context.scene.render
                self.assertAlmostEqual(frames[1] - frames[0],
                                       reference.motion.frame_time * render.fps / render.fps_base, places=3)
                src = nr.load_motion(DATA / clip)
                source = (src.globals[reference.first_frame:reference.last_frame],
                          rest_globals(src.rest, src.parents), src.joint_names)
                self.assert_follows(self.measure_blender(source, target, made, marks), angles, clip)

    def test_a_constrained_source_gives_its_evaluated_motion(self):
        empty_scene()
        source = import_armature(WALK, update_scene_fps=True, update_scene_duration=True)
        target = import_armature(DATA / "bvh/cmu_12_03.bvh")
        # The left forearm held straight on its upper arm, whatever its keys say.
        held = source.pose.bones["LeftForeArm"].constraints.new("LIMIT_ROTATION")
        held.use_limit_x = held.use_limit_y = held.use_limit_z = True
        self.assertEqual(bpy.ops.norvo.retarget(source=source.name, target=target.name), {"FINISHED"})
        reference, _, *marks = self.command_line(WALK, DATA / "bvh/cmu_12_03.bvh")
        made = target.animation_data.action
        followed = self.measure_blender(source, target, made, marks)
        self.assertLessEqual(followed["left forearm"].max(), 0.1)
        # Against the file's own motion, the forearm is elsewhere.
        src = nr.load_motion(WALK)
        keys = (src.globals[reference.first_frame:reference.last_frame], rest_globals(src.rest, src.parents),
                src.joint_names)
        self.assertGreater(self.measure_blender(keys, target, made, marks)["left forearm"].max(), 5.0)

    def test_failures_are_one_line_reports_and_make_no_action(self):
        empty_scene()
        source = import_armature(WALK)
        target = import_armature(DATA / "bvh/cmu_12_03.bvh")
        missing = pathlib.Path(self.dir.name) / "no such preset.json"
        cases = [
            (dict(source=source.name, target=target.name, preset=str(missing)), "no such preset.json"),
            (dict(source=source.name, target="nobody"), "no object named nobody (the target)"),
            (dict(source=source.name, target=target.name, frames="9:3"), "frames 9:3 is not within"),
        ]
        for options, text in cases:
            with self.subTest(options=options):
                actions = set(bpy.data.actions)
                with self.assertRaises(RuntimeError) as raised:
                    bpy.ops.norvo.retarget(**options)
                self.assertIn(text, str(raised.exception))
                self.assertNotIn("Traceback", str(raised.exception))
                self.assertEqual(set(bpy.data.actions), actions)
        with self.assertRaises(RuntimeError) as raised:
            bpy.ops.norvo.retarget_file(filepath=str(DATA / "bvh/SOURCES.md"), target=target.name)
        self.assertEqual(str(raised.exception).count("\n"), 1)

    def test_without_the_package_the_addon_says_what_it_needs(self):
        package = ADDON.package
        kept = sys.modules.pop("norvo_retarget")
        sys.modules["norvo_retarget"] = None  # import fails as with no package
        try:
            addon_utils.disable("norvo_retarget_blender")
            addon_utils.enable("norvo_retarget_blender", handle_error=None)
            self.assertIsNone(package.module)
            text = " ".join(package.missing_lines())
            self.assertIn("needs Python 3.11; this Blender runs Python %d.%d" % sys.version_info[:2], text)
            self.assertIn(bpy.utils.user_resource("SCRIPTS", path="modules"), text)
            self.assertIn("The package is missing", panel_text())
            with self.assertRaises(RuntimeError) as raised:
                bpy.ops.norvo.retarget(source="a", target="b")
            self.assertIn("needs Python", str(raised.exception))
        finally:
            sys.modules["norvo_retarget"] = kept
            addon_utils.disable("norvo_retarget_blender")
            install_addon()

    @classmethod
    def tearDownClass(cls):
        for target, seconds in cls.times.items():
            print("the walk (344 frames) onto %s inside Blender: %.2f s" % (target, seconds))
        cls.dir.cleanup()


if __name__ == "__main__":
    outcome = unittest.main(argv=["blender"], exit=False).result
    sys.exit(0 if outcome.wasSuccessful() else 1)
