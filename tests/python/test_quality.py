"""Every shared source onto every shared target, measured by landmarks.py from the written file and the source.

The tool's own figure must agree with this measure; the result must follow the source: closely with the feet left
unplanted, and still near it with them planted.
"""
import json
import os
import pathlib
import tempfile
import unittest
import warnings

import numpy

import landmarks
import norvo_retarget as nr

DATA = pathlib.Path(os.environ.get("NORVO_SHARED_DATA", ""))
SOURCES = ["bvh/cmu_02_01_walk.bvh", "bvh/cmu_12_03.bvh", "bvh/makehuman_zombie_walk.bvh", "bvh/boxing_toes.bvh",
           "gltf/cmu_02_01_walk.glb", "gltf/makehuman_zombie_walk.glb", "gltf/bcn_skinned_human.glb",
           "fbx/cmu_02_01_walk.fbx", "fbx/makehuman_zombie_walk.fbx", "vrm/test.vrma"]
TARGETS = ["bvh/cmu_02_01_walk.bvh", "bvh/cmu_12_03.bvh", "bvh/makehuman_zombie_walk.bvh", "bvh/boxing_toes.bvh",
           "vrm/VRMC_vrm_expressions_isBinary_Overrides.vrm", "vrm/VRMC_materials_mtoon_UV_Animation_Test.vrm",
           "gltf/cmu_02_01_walk.glb", "gltf/makehuman_zombie_walk.glb", "gltf/bcn_skinned_human.glb",
           "fbx/cmu_02_01_walk.fbx", "fbx/makehuman_zombie_walk.fbx"]


def rig_of(path):
    """The skeleton a file holds: a clip's and its exports' are one rig."""
    return pathlib.Path(path).stem


def rest_globals(motion):
    rest = motion.rest
    out = numpy.zeros_like(rest)
    for j, parent in enumerate(motion.parents):
        out[j] = rest[j] if parent < 0 else out[parent] @ rest[j]
    return out


class Matrix(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = pathlib.Path(tempfile.mkdtemp())
        cls.motions = {}
        cls.rows = {}
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", nr.RetargetWarning)
            for contacts in (False, True):
                for source in SOURCES:
                    for target in TARGETS:
                        cls.rows[contacts, source, target] = cls.run_pair(source, target, contacts)

    @classmethod
    def load(cls, path):
        if path not in cls.motions:
            cls.motions[path] = nr.load_motion(DATA / path)
        return cls.motions[path]

    @classmethod
    def end_sites(cls, path):
        """A BVH file's End Sites by joint name, read here."""
        if not path.endswith(".bvh"):
            return None
        if ("sites", path) not in cls.motions:
            clip = landmarks.Bvh(DATA / path)
            cls.motions["sites", path] = dict(zip(clip.names, clip.end_sites))
        return cls.motions["sites", path]

    @classmethod
    def run_pair(cls, source, target, contacts):
        out, report = cls.dir / "out.bvh", cls.dir / "report.json"
        result = nr.retarget(DATA / source, DATA / target, out, report=report, no_contacts=not contacts)
        rigs = json.loads(report.read_text())
        src, tgt, written = cls.load(source), cls.load(target), landmarks.Bvh(out)
        angles = landmarks.measure(
            src.globals[result.first_frame:result.last_frame], rest_globals(src), src.joint_names,
            landmarks.landmark_joints(rigs["source"]), cls.end_sites(source),
            written.globals, rest_globals(tgt), written.names, landmarks.landmark_joints(rigs["target"]),
            dict(zip(written.names, written.end_sites)))
        return landmarks.summarize(angles), result.figures["quality"], angles

    def pairs(self, contacts, same):
        for (planted, source, target), row in self.rows.items():
            if planted == contacts and (rig_of(source) == rig_of(target)) == same:
                yield source, target, row

    def test_every_pair_of_rigs_follows_the_source(self):
        for source, target, (figure, _, _) in self.pairs(False, False):
            with self.subTest(source=source, target=target):
                self.assertLessEqual(figure["mean"], 0.5)
                self.assertLessEqual(figure["p95"], 2.0)
                for name, counted in ((s[0], s[3]) for s in landmarks.SEGMENTS):
                    if counted and name in figure["segments"]:
                        self.assertLessEqual(figure["segments"][name][0], 1.5, name)

    def test_a_clip_onto_its_own_rig_comes_back(self):
        pairs = list(self.pairs(False, True))
        self.assertEqual(len(pairs), 21)  # the two walks' three files each way, and four rigs onto themselves
        for source, target, (figure, _, _) in pairs:
            with self.subTest(source=source, target=target):
                self.assertLessEqual(figure["segments"] and max(v[1] for v in figure["segments"].values()), 1e-3)

    def test_planted_feet_keep_the_motion(self):
        # The zombie's FBX rests in its clip's first frame, not on flat feet:
        # a foot turned from that rest meets the floor only pitched, or with
        # the leg bent, in some frames.
        for source, target, (figure, _, _) in self.pairs(True, False):
            with self.subTest(source=source, target=target):
                self.assertLessEqual(figure["mean"], 1.2)
                tilted = "fbx/makehuman_zombie_walk.fbx" in (source, target)
                self.assertLessEqual(figure["p95"], 8.0 if tilted else 5.0)

    def test_the_tools_figure_is_this_measure(self):
        for (contacts, source, target), (figure, tool, angles) in self.rows.items():
            with self.subTest(source=source, target=target, contacts=contacts):
                self.assertAlmostEqual(tool["mean"], figure["mean"], delta=0.05)
                self.assertAlmostEqual(tool["p95"], figure["p95"], delta=0.05)
                unmeasured = sorted(name for name, value in angles.items() if value is None)
                self.assertEqual(sorted(tool["notMeasured"]), unmeasured)
                for name, (mean, largest) in figure["segments"].items():
                    self.assertAlmostEqual(tool["segments"][name]["mean"], mean, delta=0.05)
                    self.assertAlmostEqual(tool["segments"][name]["max"], largest, delta=0.05)

    def test_every_counted_segment_is_measured(self):
        # Only a hand may lack its end: a rig without fingers or End Sites, or
        # whose finger starts on the wrist.
        for (_, source, target), (_, _, angles) in self.rows.items():
            with self.subTest(source=source, target=target):
                unmeasured = {name for name, value in angles.items() if value is None}
                self.assertLessEqual(unmeasured, {"left hand", "right hand"})


if __name__ == "__main__":
    unittest.main()
