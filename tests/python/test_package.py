"""The Python package as a caller uses it, checked against the command line."""
import os
import subprocess
import tempfile
import threading
import unittest
import warnings

import numpy as np

import norvo_retarget as nr

DATA = os.environ["NORVO_SHARED_DATA"]
TOOL = os.environ["NORVO_RETARGET"]
WALK = f"{DATA}/bvh/cmu_02_01_walk.bvh"
ZOMBIE = f"{DATA}/bvh/makehuman_zombie_walk.bvh"


def tool(*arguments):
    return subprocess.run([TOOL, *arguments], capture_output=True, text=True)


class Files(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def test_writes_the_bytes_the_command_line_writes(self):
        sources = ["bvh/cmu_02_01_walk.bvh", "gltf/makehuman_zombie_walk.glb", "vrm/test.vrma",
                   "fbx/cmu_02_01_walk.fbx"]
        outputs = [("bvh/makehuman_zombie_walk.bvh", "bvh"), ("gltf/cmu_02_01_walk.glb", "glb"),
                   ("gltf/makehuman_zombie_walk.glb", "gltf"),
                   ("vrm/VRMC_vrm_expressions_isBinary_Overrides.vrm", "vrm"),
                   ("vrm/VRMC_materials_mtoon_UV_Animation_Test.vrm", "vrma")]
        for source in sources:
            for target, extension in outputs:
                with self.subTest(source=source, target=target, output=extension):
                    cli, py = self.path("cli." + extension), self.path("py." + extension)
                    ran = tool(f"{DATA}/{source}", "--target", f"{DATA}/{target}", "-o", cli, "-q")
                    self.assertEqual(ran.returncode, 0, ran.stderr)
                    with warnings.catch_warnings():
                        warnings.simplefilter("ignore", nr.RetargetWarning)
                        nr.retarget(f"{DATA}/{source}", f"{DATA}/{target}", py)
                    with open(cli, "rb") as a, open(py, "rb") as b:
                        self.assertEqual(a.read(), b.read())
        # Options and the other outputs, by their Python names.
        options = dict(lock_feet=True, no_contacts=True, root_motion="extract", translation_scale=0.5,
                       spread_chains=["Spine"], round_trip=True, frames="10:200")
        ran = tool(WALK, "--target", ZOMBIE, "-o", self.path("cli.bvh"), "--report", self.path("cli.json"), "-q",
                   "--lock-feet", "--no-contacts", "--root-motion", "extract", "--translation-scale", "0.5",
                   "--spread-chains", "Spine", "--round-trip", "--frames", "10:200")
        self.assertEqual(ran.returncode, 0, ran.stderr)
        result = nr.retarget(WALK, ZOMBIE, self.path("py.bvh"), report=self.path("py.json"), **options)
        for name in ("bvh", "json"):
            with open(self.path("cli." + name), "rb") as a, open(self.path("py." + name), "rb") as b:
                self.assertEqual(a.read().replace(b"cli.bvh", b""), b.read().replace(b"py.bvh", b""), name)
        self.assertEqual((result.first_frame, result.last_frame), (10, 200))
        self.assertEqual(result.report["counters"], {k: v for k, v in result.statistics.items()
                                                     if k != "translationScale"})
        self.assertEqual(result.statistics["translationScale"], 0.5)
        self.assertIsNotNone(result.figures["roundTrip"])

    def test_failures_raise_what_the_command_line_says(self):
        with open(WALK, "rb") as whole:
            text = whole.read()
        truncated = self.path("truncated.bvh")
        with open(truncated, "wb") as cut:
            cut.write(text[: len(text) // 2])
        cases = [
            (nr.InputError, [truncated, "--target", ZOMBIE], dict(source=truncated, target=ZOMBIE)),
            (nr.InputError, [WALK, "--target", "/etc/passwd"], dict(source=WALK, target="/etc/passwd")),
            (nr.FileError, [self.path("none.bvh"), "--target", ZOMBIE], dict(source=self.path("none.bvh"),
                                                                             target=ZOMBIE)),
            (nr.UsageError, [WALK, "--target", ZOMBIE, "--frames", "5:1"], dict(source=WALK, target=ZOMBIE,
                                                                                frames="5:1")),
        ]
        for kind, arguments, call in cases:
            with self.subTest(arguments=arguments):
                ran = tool(*arguments, "-o", self.path("out.bvh"))
                with self.assertRaises(kind) as caught:
                    nr.retarget(output=self.path("out.bvh"), **call)
                said = str(caught.exception)
                if kind is nr.UsageError:  # options by their Python names
                    said = said.replace("frames 5", "--frames 5")
                self.assertEqual(ran.stderr, f"norvo-retarget: error: {said}\n")
                self.assertEqual(ran.returncode, caught.exception.exit_code)
                self.assertFalse(os.path.exists(self.path("out.bvh")))
        with self.assertRaises(nr.UsageError) as caught:
            nr.retarget(WALK, ZOMBIE, lock_axis="w")
        self.assertEqual(str(caught.exception), "lock_axis takes x, y or z; found 'w'")
        self.assertIsInstance(caught.exception, ValueError)
        bad = [(TypeError, nr.retarget, dict(lock_feet="yes")), (TypeError, nr.retarget, dict(unknown_option=1)),
               (TypeError, nr.retarget, dict(frames=5)), (TypeError, nr.retarget, dict(shard="0/2")),
               (TypeError, nr.Retargeter, dict(report="r.json")), (ValueError, nr.retarget, dict(skin=2**40)),
               (ValueError, nr.retarget, dict(fps=0)), (ValueError, nr.retarget, dict(fps="fast")),
               (ValueError, nr.retarget, dict(fps=float("nan"))), (ValueError, nr.retarget, dict(fps=-1))]
        for kind, call, options in bad:
            with self.subTest(options=options), self.assertRaises(kind):
                call(WALK, ZOMBIE, **options)
        for fps in (float("nan"), -1, 1e9):
            with self.subTest(fps=fps), self.assertRaises(ValueError) as caught:
                nr.load_motion(WALK, fps=fps)
            self.assertEqual(str(caught.exception), "fps takes a number from 0.001 to 10000")

    def test_numbers_and_paths_as_python_and_numpy_give_them(self):
        # NumPy scalars are numbers, as Python's are: the same result.
        plain = nr.retarget(WALK, ZOMBIE, translation_scale=0.5, floor=0, frames="0:20")
        scalars = nr.retarget(WALK, ZOMBIE, translation_scale=np.float64(0.5), floor=np.int64(0), frames="0:20")
        np.testing.assert_array_equal(plain.motion.locals, scalars.motion.locals)
        np.testing.assert_array_equal(nr.retarget(WALK, ZOMBIE, translation_scale=np.float32(0.5),
                                                  frames="0:20").motion.locals, plain.motion.locals)
        # A path as bytes is the file's name, not its repr.
        np.testing.assert_array_equal(nr.load_motion(os.fsencode(WALK)).locals, nr.load_motion(WALK).locals)

    def test_bad_arrays_and_names_are_said_whole(self):
        walk = nr.load_motion(WALK)
        names = list(walk.joint_names)
        names[3] = "Left\0Leg"
        with self.assertRaises(ValueError) as caught:
            nr.Motion(names, walk.parents, walk.rest, walk.locals, walk.frame_time)
        self.assertEqual(str(caught.exception), "joint name 'Left\\x00Leg' holds a control character")
        with self.assertRaises(ValueError) as caught:
            nr.Motion(walk.joint_names, walk.parents, walk.rest, walk.locals, 1e-8)
        self.assertEqual(str(caught.exception), "frame_time must be a number of seconds from 0.00001 on")
        # Far more frames than memory holds, as a broadcast view of one matrix:
        # converting it runs out of memory, and says so.
        huge = np.broadcast_to(np.eye(4), (1 << 34, len(names), 4, 4))
        with self.assertRaises(MemoryError):
            nr.Motion(walk.joint_names, walk.parents, walk.rest, huge, walk.frame_time)
        with self.assertRaises(ValueError):
            nr.batch(self.dir.name, ZOMBIE, self.path("out"), jobs=-1)


class Arrays(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.walk = nr.load_motion(WALK)

    def test_shapes_and_matrices(self):
        walk = self.walk
        self.assertEqual(walk.locals.shape, (344, 31, 4, 4))
        self.assertEqual(walk.globals.shape, (344, 31, 4, 4))
        self.assertEqual(walk.rest.shape, (31, 4, 4))
        self.assertEqual(len(walk.joint_names), 31)
        self.assertEqual(walk.joint_names[0], "Hips")
        self.assertAlmostEqual(walk.frame_time, 1 / 120, places=6)
        self.assertIs(walk.locals, walk.locals)  # made once
        self.assertFalse(walk.locals.flags.writeable)
        np.testing.assert_array_equal(walk.locals[:, :, 3], np.broadcast_to([0, 0, 0, 1], (344, 31, 4)))
        parents = walk.parents
        for j, parent in enumerate(parents):
            expected = walk.locals[:, j] if parent < 0 else walk.globals[:, parent] @ walk.locals[:, j]
            np.testing.assert_allclose(walk.globals[:, j], expected, atol=1e-9)
        # The BVH offsets are the rest translations.
        np.testing.assert_allclose(walk.rest[1, :3, 3], walk.locals[0, 1, :3, 3], atol=1e-12)

    def test_a_clip_onto_itself_gives_its_own_locals(self):
        result = nr.retarget(WALK, WALK)
        self.assertLess(np.abs(result.motion.locals - self.walk.locals).max(), 1e-9)
        again = nr.retarget(self.walk, self.walk, no_contacts=True)
        self.assertLess(np.abs(again.motion.locals - self.walk.locals).max(), 1e-9)

    def test_a_motion_made_of_arrays(self):
        walk = self.walk
        made = nr.Motion(walk.joint_names, walk.parents, walk.rest, walk.locals, walk.frame_time)
        with tempfile.TemporaryDirectory() as folder:
            with self.assertWarns(nr.RetargetWarning):  # no humanoid table: a weak choice of preset
                made.save(os.path.join(folder, "made.vrma"), preset="biovision")
            self.assertEqual(nr.load_motion(os.path.join(folder, "made.vrma")).frame_count, walk.frame_count)
            with self.assertRaises(nr.UsageError):
                made.save(os.path.join(folder, "made.vrma"), preset="no such preset")
            for extension in ("bvh", "glb"):
                path = os.path.join(folder, "made." + extension)
                made.save(path)
                back = nr.load_motion(path)
                self.assertEqual(back.joint_names, walk.joint_names)
                self.assertLess(np.abs(back.globals - walk.globals).max(), 1e-4, extension)
        bad = [
            dict(parents=[0] + walk.parents[1:]),
            dict(rest=walk.rest[:5]),
            dict(locals=walk.locals[:, :, :3]),
            dict(joint_names=["Hips"] * 31),
            dict(joint_names=["two\nlines"] + walk.joint_names[1:]),
            dict(locals=np.where(np.isfinite(walk.locals), np.nan, 0)),
        ]
        for change in bad:
            arguments = dict(joint_names=walk.joint_names, parents=walk.parents, rest=walk.rest, locals=walk.locals)
            arguments.update(change)
            with self.subTest(change=list(change)), self.assertRaises(ValueError):
                nr.Motion(**arguments)

    def test_a_retargeter_streams_frames(self):
        retargeter = nr.Retargeter(WALK, ZOMBIE, no_contacts=True)
        whole = retargeter.retarget(self.walk)
        np.testing.assert_array_equal(whole.locals, nr.retarget(self.walk, ZOMBIE, no_contacts=True).motion.locals)
        self.assertEqual((len(retargeter.source.joint_names), len(retargeter.target.joint_names)), (31, 75))
        frames = [retargeter.frame(self.walk.locals[f]) for f in range(self.walk.frame_count)]
        np.testing.assert_allclose(np.stack(frames), whole.locals, atol=1e-12)
        target = retargeter.target
        streamed = nr.Motion(target.joint_names, target.parents, target.rest, np.stack(frames), self.walk.frame_time)
        self.assertEqual(streamed.joint_names, whole.joint_names)
        np.testing.assert_allclose(streamed.globals, whole.globals, atol=1e-9)
        with self.assertRaises(ValueError):
            retargeter.frame(self.walk.locals[0, :30])

    def test_the_gil_is_released_while_a_clip_is_retargeted(self):
        walk = self.walk
        long = nr.Motion(walk.joint_names, walk.parents, walk.rest, np.tile(walk.locals, (30, 1, 1, 1)),
                         walk.frame_time)
        counted = [0]
        seen = []
        started = threading.Event()

        def work():
            started.set()
            nr.retarget(long, ZOMBIE, figures=False)
            seen.append(counted[0])  # before this thread lets the GIL go

        worker = threading.Thread(target=work)
        worker.start()
        started.wait()
        while worker.is_alive():
            counted[0] += 1
        worker.join()
        self.assertGreater(seen[0], 0)


if __name__ == "__main__":
    unittest.main()
