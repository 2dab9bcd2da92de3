"""The sidebar tab "Retarget" of the 3D View: both operators, their options, and the last run's figures."""
import bpy

from . import operators, package


def _box(layout, title, lines, icon="NONE"):
    box = layout.box()
    box.label(text=title, icon=icon)
    for line in lines:
        box.label(text=line)


class Settings:
    """The panel's fields: what it hands the operators."""


def settings_class(nr):
    options = operators.applicable_options(nr, True) if nr else []
    annotations = {
        "source": bpy.props.PointerProperty(name="Source", type=bpy.types.Object,
                                            poll=lambda self, obj: obj.type == "ARMATURE"),
        "action": bpy.props.PointerProperty(name="Action", type=bpy.types.Action,
                                            description="The source's action (empty: its current one)"),
        "target": bpy.props.PointerProperty(name="Target", type=bpy.types.Object,
                                            poll=lambda self, obj: obj.type == "ARMATURE"),
        "filepath": bpy.props.StringProperty(name="File", subtype="FILE_PATH",
                                             description="A motion file to carry onto the target"),
    }
    annotations.update({option["keyword"]: operators.option_property(option) for option in options})
    return type("NorvoRetargetSettings", (bpy.types.PropertyGroup,), {"__annotations__": annotations})


def _hand_over(op, settings, names):
    for name in names:
        setattr(op, name, getattr(settings, name))


class NORVO_PT_retarget(bpy.types.Panel):
    bl_space_type = "VIEW_3D"
    bl_region_type = "UI"
    bl_category = "Retarget"
    bl_label = "Retarget"

    def draw(self, context):
        layout = self.layout
        nr = package.module
        if nr is None:
            _box(layout, "The package is missing", package.missing_lines(), icon="ERROR")
            return
        settings = context.scene.norvo_retarget
        layout.prop(settings, "target")
        column = layout.column(align=True)
        column.prop(settings, "source")
        column.prop(settings, "action")
        op = column.operator("norvo.retarget", icon="ARMATURE_DATA")
        op.source = settings.source.name if settings.source else ""
        op.target = settings.target.name if settings.target else ""
        op.action = settings.action.name if settings.action else ""
        _hand_over(op, settings, [o["keyword"] for o in operators.applicable_options(nr, False)])
        column = layout.column(align=True)
        column.prop(settings, "filepath")
        op = column.operator("norvo.retarget_file", icon="FILE_MOVIE")
        op.filepath = settings.filepath
        op.target = settings.target.name if settings.target else ""
        _hand_over(op, settings, [o["keyword"] for o in operators.applicable_options(nr, True)])
        if operators.last_run["lines"]:
            _box(layout, "Last run", operators.last_run["lines"], icon="INFO")
        if operators.last_run["warnings"]:
            _box(layout, "Warnings", operators.last_run["warnings"], icon="ERROR")


class NORVO_PT_retarget_options(bpy.types.Panel):
    bl_space_type = "VIEW_3D"
    bl_region_type = "UI"
    bl_category = "Retarget"
    bl_label = "Options"
    bl_parent_id = "NORVO_PT_retarget"
    bl_options = {"DEFAULT_CLOSED"}

    @classmethod
    def poll(cls, context):
        return package.module is not None

    def draw(self, context):
        settings = context.scene.norvo_retarget
        for option in operators.applicable_options(package.module, True):
            self.layout.prop(settings, option["keyword"])
