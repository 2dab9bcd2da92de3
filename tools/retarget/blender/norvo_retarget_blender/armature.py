"""Armatures as the package's motions, and motions as actions.

A joint is a bone. Its rest is the bone's rest relative to its parent's (a
root's relative to the world, through the armature object), and a frame is
the evaluated pose of every bone at one frame of the scene, so that
constraints and drivers are part of it.
"""
import math

import bpy
import numpy


def _matrices(collection, attribute, count):
    """Every item's 4x4 `attribute` at once (Blender stores them column by column)."""
    flat = numpy.empty(count * 16, dtype=numpy.float32)
    collection.foreach_get(attribute, flat)
    return flat.reshape(count, 4, 4).transpose(0, 2, 1).astype(numpy.float64)


def _world(obj):
    return numpy.array(obj.matrix_world, dtype=numpy.float64)


class Skeleton:
    """An armature's bones, parents before children, with their rests."""

    def __init__(self, obj):
        bones = obj.data.bones
        by_name = {bone.name: i for i, bone in enumerate(bones)}
        order = []
        pending = [bone for bone in bones if bone.parent is None]
        while pending:
            bone = pending.pop(0)
            order.append(by_name[bone.name])
            pending[0:0] = list(bone.children)
        self.obj = obj
        self.order = numpy.array(order, dtype=numpy.int64)
        self.names = [bones[i].name for i in order]
        position = {bones[i].name: k for k, i in enumerate(order)}
        self.parents = [position[bones[i].parent.name] if bones[i].parent else -1 for i in order]
        # The rests in armature space, then relative to the parent (a root's to the world).
        self.armature_rest = _matrices(bones, "matrix_local", len(bones))[self.order]
        world = _world(obj)
        self.rest = numpy.empty_like(self.armature_rest)
        for j, parent in enumerate(self.parents):
            if parent < 0:
                self.rest[j] = world @ self.armature_rest[j]
            else:
                self.rest[j] = numpy.linalg.inv(self.armature_rest[parent]) @ self.armature_rest[j]

    def locals_of(self, globals_):
        """Frames x joints x 4 x 4 local matrices of world matrices."""
        out = numpy.empty_like(globals_)
        for j, parent in enumerate(self.parents):
            out[:, j] = globals_[:, j] if parent < 0 else numpy.linalg.inv(globals_[:, parent]) @ globals_[:, j]
        return out


def frame_time(scene):
    return scene.render.fps_base / scene.render.fps


def evaluated_globals(obj, skeleton, frames):
    """The world matrices of every bone at each of `frames` (whole or not), as the scene evaluates them."""
    scene = bpy.context.scene
    kept = scene.frame_current, scene.frame_subframe
    out = numpy.empty((len(frames), len(skeleton.names), 4, 4))
    try:
        for k, frame in enumerate(frames):
            whole = math.floor(frame)
            scene.frame_set(int(whole), subframe=float(frame - whole))
            evaluated = obj.evaluated_get(bpy.context.evaluated_depsgraph_get())
            pose = _matrices(evaluated.pose.bones, "matrix", len(skeleton.names))[skeleton.order]
            out[k] = _world(evaluated) @ pose
    finally:
        scene.frame_set(kept[0], subframe=kept[1])
    return out


def action_frames(action):
    start, end = action.frame_range
    return list(range(int(round(start)), int(round(end)) + 1))


def read_motion(nr, obj, action):
    """The armature's motion over `action`'s frames, played as the object's action for the while."""
    skeleton = Skeleton(obj)
    animation = obj.animation_data or obj.animation_data_create()
    kept = animation.action
    frames = action_frames(action)
    try:
        animation.action = action
        globals_ = evaluated_globals(obj, skeleton, frames)
    finally:
        animation.action = kept
    motion = nr.Motion(skeleton.names, skeleton.parents, skeleton.rest, skeleton.locals_of(globals_),
                       frame_time(bpy.context.scene))
    return motion, frames[0]


def rest_motion(nr, obj):
    """The armature at rest, as a rig to retarget onto."""
    skeleton = Skeleton(obj)
    return nr.Motion(skeleton.names, skeleton.parents, skeleton.rest, skeleton.rest[None],
                     frame_time(bpy.context.scene)), skeleton


# ---- Writing an action ---------------------------------------------------------

def _quaternions(rotations):
    """Unit quaternions (w, x, y, z) of rotation matrices, each on the side of the one before it."""
    m = rotations
    w = numpy.sqrt(numpy.maximum(0.0, 1.0 + m[:, 0, 0] + m[:, 1, 1] + m[:, 2, 2])) / 2
    x = numpy.sqrt(numpy.maximum(0.0, 1.0 + m[:, 0, 0] - m[:, 1, 1] - m[:, 2, 2])) / 2
    y = numpy.sqrt(numpy.maximum(0.0, 1.0 - m[:, 0, 0] + m[:, 1, 1] - m[:, 2, 2])) / 2
    z = numpy.sqrt(numpy.maximum(0.0, 1.0 - m[:, 0, 0] - m[:, 1, 1] + m[:, 2, 2])) / 2
    x = numpy.copysign(x, m[:, 2, 1] - m[:, 1, 2])
    y = numpy.copysign(y, m[:, 0, 2] - m[:, 2, 0])
    z = numpy.copysign(z, m[:, 1, 0] - m[:, 0, 1])
    q = numpy.stack([w, x, y, z], axis=1)
    q /= numpy.linalg.norm(q, axis=1, keepdims=True)
    for k in range(1, len(q)):
        if q[k] @ q[k - 1] < 0:
            q[k] = -q[k]
    return q


def _rotation_channels(pose_bone, rotations):
    """The bone's rotation keys in its own rotation mode: (data path, values frames x n)."""
    mode = pose_bone.rotation_mode
    if mode == "QUATERNION":
        return "rotation_quaternion", _quaternions(rotations)
    if mode == "AXIS_ANGLE":
        q = _quaternions(rotations)
        angle = 2 * numpy.arctan2(numpy.linalg.norm(q[:, 1:], axis=1), q[:, 0])
        axis = q[:, 1:] / numpy.maximum(numpy.linalg.norm(q[:, 1:], axis=1, keepdims=True), 1e-12)
        axis[numpy.linalg.norm(q[:, 1:], axis=1) < 1e-12] = (0.0, 1.0, 0.0)
        return "rotation_axis_angle", numpy.column_stack([angle, axis])
    from mathutils import Euler, Matrix
    values = numpy.empty((len(rotations), 3))
    previous = Euler((0.0, 0.0, 0.0), mode)
    for k, rotation in enumerate(rotations):
        previous = Matrix(rotation.tolist()).to_euler(mode, previous)
        values[k] = previous
    return "rotation_euler", values


def _add_curves(action, bone_name, path, values, keyed_frames):
    data_path = 'pose.bones["%s"].%s' % (bpy.utils.escape_identifier(bone_name), path)
    for index in range(values.shape[1]):
        curve = action.fcurves.new(data_path, index=index, action_group=bone_name)
        curve.keyframe_points.add(len(keyed_frames))
        points = numpy.empty((len(keyed_frames), 2), dtype=numpy.float32)
        points[:, 0] = keyed_frames
        points[:, 1] = values[:, index]
        curve.keyframe_points.foreach_set("co", points.ravel())
        curve.update()


def write_action(obj, skeleton, locals_, keyed_frames, name):
    """A new action of the armature's bones keyed at `keyed_frames` with `locals_` (frames x joints x 4 x 4,
    in the skeleton's order), made the object's active action."""
    basis = numpy.linalg.inv(skeleton.rest)[None] @ locals_
    action = bpy.data.actions.new(name)
    for j, bone_name in enumerate(skeleton.names):
        pose_bone = obj.pose.bones[bone_name]
        linear = basis[:, j, :3, :3]
        scale = numpy.linalg.norm(linear, axis=1)
        rotation = linear / numpy.where(scale > 0, scale, 1)[:, None, :]
        _add_curves(action, bone_name, "location", basis[:, j, :3, 3], keyed_frames)
        path, values = _rotation_channels(pose_bone, rotation)
        _add_curves(action, bone_name, path, values, keyed_frames)
        _add_curves(action, bone_name, "scale", scale, keyed_frames)
    animation = obj.animation_data or obj.animation_data_create()
    animation.action = action
    return action
