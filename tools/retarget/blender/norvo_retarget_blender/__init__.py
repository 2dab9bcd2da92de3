"""Retargeting inside Blender: an armature's action, or a motion file, onto another armature."""

bl_info = {
    "name": "norvo retarget",
    "author": "norvo",
    "version": (0, 1, 0),
    "blender": (3, 4, 0),
    "location": "3D View > Sidebar > Retarget",
    "description": "Carries the motion of one character rig onto another, as a new action",
    "category": "Animation",
}

import bpy

from . import operators, package, panel

_classes = []


def register():
    nr = package.load()
    _classes[:] = [panel.settings_class(nr), *operators.make_classes(nr), panel.NORVO_PT_retarget,
                   panel.NORVO_PT_retarget_options]
    for cls in _classes:
        bpy.utils.register_class(cls)
    bpy.types.Scene.norvo_retarget = bpy.props.PointerProperty(type=_classes[0])


def unregister():
    del bpy.types.Scene.norvo_retarget
    for cls in reversed(_classes):
        bpy.utils.unregister_class(cls)
    _classes.clear()
