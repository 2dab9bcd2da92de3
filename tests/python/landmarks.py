"""A rig-neutral measure of how closely a retargeted clip follows its source.

Computed here from the written files, apart from the tool's own code: the
result is read as BVH by the small reader below, the landmarks are the first
joints of the body parts that the report names, and the comparison relates the
two worlds by the quarter turn that best puts the source's rest onto the
result's.
"""
import itertools
import json
import math
import re

import numpy

SEGMENTS = [
    # name, from landmark, to landmark, counted
    ("left thigh", "LeftHip", "LeftKnee", True),
    ("left shin", "LeftKnee", "LeftAnkle", True),
    ("left foot", "LeftAnkle", "LeftToe", True),
    ("right thigh", "RightHip", "RightKnee", True),
    ("right shin", "RightKnee", "RightAnkle", True),
    ("right foot", "RightAnkle", "RightToe", True),
    ("left upper arm", "LeftShoulder", "LeftElbow", True),
    ("left forearm", "LeftElbow", "LeftWrist", True),
    ("left hand", "LeftWrist", "LeftHandEnd", False),
    ("right upper arm", "RightShoulder", "RightElbow", True),
    ("right forearm", "RightElbow", "RightWrist", True),
    ("right hand", "RightWrist", "RightHandEnd", False),
    ("pelvis", "LeftHip", "RightHip", True),
    ("shoulders", "LeftShoulder", "RightShoulder", True),
    ("spine", "PelvisMiddle", "Neck", True),
    ("neck", "Neck", "Head", True),
]


def _axis_rotation(axis, degrees):
    c, s = math.cos(math.radians(degrees)), math.sin(math.radians(degrees))
    if axis == "X":
        return numpy.array([[1, 0, 0], [0, c, -s], [0, s, c]])
    if axis == "Y":
        return numpy.array([[c, 0, s], [0, 1, 0], [-s, 0, c]])
    return numpy.array([[c, -s, 0], [s, c, 0], [0, 0, 1]])


class Bvh:
    """A BVH file's joints, End Sites and per-frame global matrices (4x4)."""

    def __init__(self, path):
        lines = open(path, encoding="latin-1").read().splitlines()
        self.names, self.parents, self.offsets, self.channels, self.end_sites = [], [], [], [], []
        stack, last, in_end, n = [], -1, False, 0
        assert lines[0].strip() == "HIERARCHY"
        for n in range(1, len(lines)):
            line = lines[n].strip()
            word, _, rest = line.partition(" ")
            if word in ("ROOT", "JOINT"):
                self.names.append(rest.strip())
                self.parents.append(stack[-1] if stack else -1)
                self.end_sites.append([])
                self.channels.append([])
                last = len(self.names) - 1
            elif word == "End":
                in_end = True
            elif word == "{":
                stack.append(-2 if in_end else last)
                in_end = False
            elif word == "}":
                stack.pop()
                in_end = False
            elif word == "OFFSET":
                offset = [float(t) for t in rest.split()]
                if stack[-1] == -2:
                    self.end_sites[stack[-2]].append(offset)
                else:
                    self.offsets.append(offset)
            elif word == "CHANNELS":
                self.channels[-1] = rest.split()[1:]
            elif word == "MOTION":
                break
        frames = int(lines[n + 1].split()[1])
        self.frame_time = float(lines[n + 2].split()[2])
        width = sum(len(c) for c in self.channels)
        values = numpy.array(" ".join(lines[n + 3:n + 3 + frames]).split(), dtype=float).reshape(frames, width)
        self.globals = self._globals(values)

    def _globals(self, values):
        frames, joints = values.shape[0], len(self.names)
        out = numpy.zeros((frames, joints, 4, 4))
        column = 0
        for j in range(joints):
            local = numpy.tile(numpy.eye(4), (frames, 1, 1))
            local[:, :3, 3] = self.offsets[j]
            rotation = numpy.tile(numpy.eye(3), (frames, 1, 1))
            for name in self.channels[j]:
                v = values[:, column]
                column += 1
                axis = name[0]
                if name.endswith("position"):
                    local[:, "XYZ".index(axis), 3] += v
                else:
                    c, s = numpy.cos(numpy.radians(v)), numpy.sin(numpy.radians(v))
                    m = numpy.tile(numpy.eye(3), (frames, 1, 1))
                    a, b = [(1, 2), (2, 0), (0, 1)]["XYZ".index(axis)]
                    m[:, a, a], m[:, a, b], m[:, b, a], m[:, b, b] = c, -s, s, c
                    rotation = rotation @ m
            local[:, :3, :3] = rotation
            p = self.parents[j]
            out[:, j] = local if p < 0 else out[:, p] @ local
        return out

    def rest_globals(self):
        rest = numpy.zeros((len(self.names), 4, 4))
        for j, p in enumerate(self.parents):
            local = numpy.eye(4)
            local[:3, 3] = self.offsets[j]
            rest[j] = local if p < 0 else rest[p] @ local
        return rest


def _first_joints(report_rig):
    """Body part -> the names of its joints, from a report's rig."""
    return {part["bodyPart"]: [j["joint"] for j in part["joints"]] for part in report_rig["bodyParts"]}


def landmark_joints(report_rig):
    """Landmark -> joint name (or None), from a report's rig."""
    parts = _first_joints(report_rig)

    def first(part):
        joints = parts.get(part, [])
        return joints[0] if joints else None

    marks = {}
    for side in ("Left", "Right"):
        marks[side + "Hip"] = first(side + "UpperLeg")
        marks[side + "Knee"] = first(side + "LowerLeg")
        marks[side + "Ankle"] = first(side + "Foot")
        marks[side + "Toe"] = first(side + "Toes")
        marks[side + "Shoulder"] = first(side + "UpperArm")
        marks[side + "Elbow"] = first(side + "ForeArm")
        marks[side + "Wrist"] = first(side + "Hand")
        marks[side + "HandEnd"] = first(side + "Middle") or first(side + "Index")
        marks[side + "FootParts"] = parts.get(side + "Foot", [])
        marks[side + "HandParts"] = parts.get(side + "Hand", [])
    marks["Neck"] = first("Neck")
    marks["Head"] = first("Head")
    return marks


def _positions(globals_, names, marks, end_sites=None):
    """Landmark -> positions (frames x 3) or None. `end_sites`: joint name -> offsets."""
    index = {n: i for i, n in enumerate(names)}
    out = {}
    for key, name in marks.items():
        if key.endswith("Parts"):
            continue
        out[key] = globals_[:, index[name], :3, 3] if name in index else None
    for side in ("Left", "Right"):
        for mark, parts in ((side + "Toe", side + "FootParts"), (side + "HandEnd", side + "HandParts")):
            if out[mark] is not None or not end_sites or not marks[parts]:
                continue
            last = marks[parts][-1]
            sites = end_sites.get(last)
            if last in index and sites:
                g = globals_[:, index[last]]
                out[mark] = g[:, :3, :3] @ numpy.array(sites[0]) + g[:, :3, 3]
    if out["LeftHip"] is not None and out["RightHip"] is not None:
        out["PelvisMiddle"] = 0.5 * (out["LeftHip"] + out["RightHip"])
    else:
        out["PelvisMiddle"] = None
    return out


def _segments(positions):
    out = {}
    for name, a, b, _ in SEGMENTS:
        if positions[a] is None or positions[b] is None:
            out[name] = None
        else:
            out[name] = positions[b] - positions[a]
    return out


def _unit(v):
    n = numpy.linalg.norm(v, axis=-1, keepdims=True)
    return v / numpy.where(n > 0, n, 1)


def quarter_turn(source_rest, target_rest):
    """The signed permutation (det +1) that best turns the source's rest segments onto the target's,
    judged by the spine, the pelvis and the shoulders."""
    best, best_score = None, -math.inf
    for perm in itertools.permutations(range(3)):
        for signs in itertools.product((1, -1), repeat=3):
            m = numpy.zeros((3, 3))
            for row, (col, sign) in enumerate(zip(perm, signs)):
                m[row, col] = sign
            if numpy.linalg.det(m) < 0:
                continue
            score = 0.0
            for name in ("spine", "pelvis", "shoulders"):
                a, b = source_rest[name], target_rest[name]
                if a is None or b is None:
                    continue
                score += float(_unit(m @ a[0]) @ _unit(b[0]))
            if score > best_score:
                best, best_score = m, score
    return best


def _angles(a, b):
    a, b = _unit(a), _unit(b)
    cross = numpy.linalg.norm(numpy.cross(a, b), axis=-1)
    return numpy.degrees(numpy.arctan2(cross, numpy.sum(a * b, axis=-1)))


def measure(source_globals, source_rest_globals, source_names, source_marks, source_end_sites,
            result_globals, target_rest_globals, result_names, target_marks, target_end_sites):
    """Per segment, the angles (frames - 1) between the result's and the source's; None where a rig lacks it."""
    frames = min(len(source_globals), len(result_globals))
    sp = _positions(source_globals[:frames], source_names, source_marks, source_end_sites)
    rp = _positions(result_globals[:frames], result_names, target_marks, target_end_sites)
    s_rest = _segments(_positions(source_rest_globals[None], source_names, source_marks, source_end_sites))
    t_rest = _segments(_positions(target_rest_globals[None], result_names, target_marks, target_end_sites))
    turn = quarter_turn(s_rest, t_rest)
    ss, rs = _segments(sp), _segments(rp)
    # A segment of no length at rest on either rig points nowhere.
    for rest, globals_ in ((s_rest, source_rest_globals), (t_rest, target_rest_globals)):
        reach = numpy.linalg.norm(globals_[:, :3, 3] - globals_[0, :3, 3], axis=-1).max()
        for name, value in rest.items():
            if value is not None and numpy.linalg.norm(value[0]) <= 1e-3 * reach:
                ss[name] = None
    index = {n: i for i, n in enumerate(source_names)}
    out = {}
    for name, a, b, _ in SEGMENTS:
        if ss[name] is None or rs[name] is None:
            out[name] = None
            continue
        if name.endswith("foot"):
            ankle = index[source_marks[a]]
            now = source_globals[1:frames, ankle, :3, :3]
            rest = source_rest_globals[ankle, :3, :3]
            change = turn @ now @ rest.T @ turn.T
            wanted = change @ t_rest[name][0]
        else:
            wanted = ss[name][1:] @ turn.T
        out[name] = _angles(rs[name][1:], wanted)
    return out


def summarize(angles):
    counted = [angles[name] for name, _, _, c in SEGMENTS if c and angles[name] is not None]
    every = numpy.concatenate(counted) if counted else numpy.zeros(0)
    if every.size == 0:
        return {"mean": 0.0, "p95": 0.0, "segments": {}}
    per = {name: (float(v.mean()), float(v.max())) for name, v in angles.items() if v is not None and v.size}
    return {"mean": float(every.mean()), "p95": float(numpy.percentile(every, 95, method="inverted_cdf")), "segments": per}
