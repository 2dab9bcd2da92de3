"""The pictures of the add-on in docs/: the shared walk carried onto the
skinned human inside Blender, rendered headless with Workbench.

    blender -b --factory-startup --python scripts/blender-pictures.py -- ZIP DATA OUT_FOLDER
"""
import builtins
import pathlib
import sys

import addon_utils
import bpy
import numpy
from mathutils import Vector

ZIP, DATA, OUT = (pathlib.Path(a) for a in sys.argv[sys.argv.index("--") + 1:][:3])
FRAMES = (40, 100)

# Blender 3.4's importers on Python 3.11 and numpy 1.24.
numpy.bool = bool
_open = builtins.open
builtins.open = lambda file, mode="r", *a, **k: _open(file, mode.replace("U", ""), *a, **k)

bpy.ops.wm.read_factory_settings(use_empty=True)
bpy.ops.preferences.addon_install(filepath=str(ZIP), overwrite=True)
addon_utils.enable("norvo_retarget_blender", default_set=True, handle_error=None)
scene = bpy.context.scene

bpy.ops.import_anim.bvh(filepath=str(DATA / "bvh/cmu_02_01_walk.bvh"), update_scene_fps=True,
                        update_scene_duration=True)
source = bpy.context.active_object
bpy.ops.import_scene.gltf(filepath=str(DATA / "gltf/bcn_skinned_human.glb"))
target = next(o for o in bpy.context.selected_objects if o.type == "ARMATURE")
assert bpy.ops.norvo.retarget(source=source.name, target=target.name) == {"FINISHED"}
source.hide_render = True
target.show_in_front = False

floor = bpy.data.meshes.new("floor")
floor.from_pydata([(-20, -20, 0), (20, -20, 0), (20, 20, 0), (-20, 20, 0)], [], [(0, 1, 2, 3)])
scene.collection.objects.link(bpy.data.objects.new("floor", floor))
camera = bpy.data.objects.new("camera", bpy.data.cameras.new("camera"))
scene.collection.objects.link(camera)
scene.camera = camera
scene.render.engine = "BLENDER_WORKBENCH"
scene.display.shading.light = "STUDIO"
scene.display.shading.color_type = "MATERIAL"
scene.display.shading.show_shadows = True
scene.display.shading.show_cavity = True
scene.render.resolution_x, scene.render.resolution_y = 640, 640
scene.world = bpy.data.worlds.new("world")
scene.world.color = (0.55, 0.6, 0.68)
scene.render.film_transparent = False
hips = target.pose.bones[0]
for frame in FRAMES:
    scene.frame_set(frame)
    centre = target.matrix_world @ hips.head
    camera.location = centre + Vector((2.2, -3.6, 0.2))
    camera.rotation_euler = (Vector((centre.x, centre.y, centre.z - 0.1)) - camera.location).to_track_quat(
        "-Z", "Y").to_euler()
    scene.render.filepath = str(OUT / ("blender-walk-frame-%d.png" % frame))
    bpy.ops.render.render(write_still=True)
