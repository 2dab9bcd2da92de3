"""A library retargeted on a distributed engine: Dask maps retarget() over
clips on a local cluster of two worker processes, each clip written as the
command line writes it."""
import logging
import os
import subprocess
import tempfile
import unittest
import warnings

from dask.distributed import Client, LocalCluster

import norvo_retarget as nr

# The event loop of Debian's Dask says this on every cluster it starts.
warnings.filterwarnings("ignore", "make_current is deprecated", DeprecationWarning)

DATA = os.environ["NORVO_SHARED_DATA"]
TOOL = os.environ["NORVO_RETARGET"]
TARGET = f"{DATA}/bvh/makehuman_zombie_walk.bvh"
CLIPS = ["bvh/cmu_02_01_walk.bvh", "bvh/cmu_12_03.bvh", "bvh/makehuman_zombie_walk.bvh",
         "gltf/cmu_02_01_walk.glb", "vrm/test.vrma", "fbx/cmu_02_01_walk.fbx"]


def retarget_clip(source, output):
    """What each task runs: the file is written where the task runs, the result comes back."""
    return output, nr.retarget(source, TARGET, output), os.getpid()


class Dask(unittest.TestCase):
    def test_six_clips_on_two_workers_match_the_command_line(self):
        with tempfile.TemporaryDirectory() as folder:
            sources = [f"{DATA}/{clip}" for clip in CLIPS]
            outputs = [os.path.join(folder, f"{i}.dask.bvh") for i in range(len(CLIPS))]
            with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                              silence_logs=logging.ERROR) as cluster, Client(cluster) as client:
                done = client.gather(client.map(retarget_clip, sources, outputs))
            self.assertEqual([output for output, _, _ in done], outputs)
            for (_, result, _), clip in zip(done, CLIPS):  # the results came back whole
                self.assertEqual(result.motion.locals.shape[1], 75)
                self.assertEqual(result.motion.frame_count, result.last_frame - result.first_frame, clip)
                self.assertEqual(set(result.figures), {"quality", "footSliding", "roundTrip", "contacts", "floor"})
            self.assertNotIn(os.getpid(), {pid for _, _, pid in done})
            for source, output in zip(sources, outputs):
                expected = output.replace(".dask.", ".cli.")
                ran = subprocess.run([TOOL, source, "--target", TARGET, "-o", expected, "-q"], capture_output=True)
                self.assertEqual(ran.returncode, 0, ran.stderr)
                with open(expected, "rb") as a, open(output, "rb") as b:
                    self.assertEqual(a.read(), b.read(), source)


if __name__ == "__main__":
    unittest.main()
