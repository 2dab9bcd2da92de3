"""norvo-retarget --batch on a whole library: --recursive, --shard, --manifest
and --resume, and the job-array script, run as a user runs them.

The tool is $NORVO_RETARGET and the shared clips are under
$NORVO_SHARED_DATA/bvh; each test links the clips into a folder of its own
under many names (links, never copies).
"""

import json
import os
import pathlib
import resource
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

TOOL = os.environ.get("NORVO_RETARGET", "")
DATA = pathlib.Path(os.environ.get("NORVO_SHARED_DATA", "")) / "bvh"
SCRIPT = pathlib.Path(__file__).resolve().parents[2] / "tools/retarget/cluster/retarget-shard.sh"
CLIPS = ["cmu_02_01_walk.bvh", "cmu_12_03.bvh", "makehuman_zombie_walk.bvh"]
TARGET = str(DATA / "cmu_12_03.bvh")
KEYS = [
    "input", "output", "status", "exit_code", "message", "frames", "preset",
    "quality_mean_degrees", "quality_p95_degrees", "quality_max_degrees",
    "quality_segments", "quality_not_measured",
    "feet_sliding_left", "feet_sliding_right",
    "round_trip_mean_degrees", "round_trip_p95_degrees", "round_trip_max_degrees",
    "seconds",
]


def files(folder):
    """Every file below `folder` by its path there, with its bytes."""
    folder = pathlib.Path(folder)
    return {str(p.relative_to(folder)): p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


def manifest(path):
    """The manifest's lines as parsed JSON, each line checked."""
    lines = pathlib.Path(path).read_text().splitlines()
    parsed = [json.loads(line) for line in lines]
    for entry in parsed:
        assert list(entry) == KEYS, list(entry)
    return parsed


def by_input(entries, out):
    """The last line of each input, without its time, its output below `out`."""
    return {e["input"]: dict({k: v for k, v in e.items() if k != "seconds"},
                             output=str(pathlib.Path(e["output"]).relative_to(out))) for e in entries}


@unittest.skipUnless(TOOL and DATA.is_dir(), "needs NORVO_RETARGET and NORVO_SHARED_DATA")
class Batch(unittest.TestCase):
    def setUp(self):
        self.dir = pathlib.Path(tempfile.mkdtemp(prefix="norvo-batch-test-"))
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        # Eighteen clips: the three shared ones under six names each, a third
        # of them in subfolders, beside what is no clip.
        self.clips = self.dir / "clips"
        for i in range(18):
            folder = self.clips / ["", "walks", "walks/slow"][i % 3]
            folder.mkdir(parents=True, exist_ok=True)
            (folder / f"take{i:02}.bvh").symlink_to(DATA / CLIPS[i % 3])
        (self.clips / "walks" / "notes.txt").write_text("not a clip\n")
        (self.clips / ".hidden").mkdir()
        (self.clips / ".hidden" / "secret.bvh").symlink_to(DATA / CLIPS[0])

    def command(self, *arguments, out="out", frames="0:30"):
        return [TOOL, "--batch", str(self.clips), "--target", TARGET, "-o", str(self.dir / out),
                *(["--frames", frames] if frames else []), *arguments]

    def tool(self, *arguments, out="out", check=True, frames="0:30"):
        run = subprocess.run(
            self.command(*arguments, out=out, frames=frames),
            capture_output=True, text=True, stdin=subprocess.DEVNULL)
        if check:
            self.assertEqual(run.returncode, 0, run.stderr)
        return run

    def test_recursive_mirrors_the_tree(self):
        run = self.tool("--recursive", "--report", "report.json")
        written = files(self.dir / "out")
        expected = set()
        for i in range(18):
            folder = ["", "walks/", "walks/slow/"][i % 3]
            expected |= {f"{folder}take{i:02}.bvh", f"{folder}take{i:02}.report.json"}
        self.assertEqual(set(written), expected)
        self.assertIn("skipped walks/notes.txt: not a motion file\n", run.stdout)
        self.assertNotIn("hidden", run.stdout)
        self.assertIn("total   18 of 18 clips written to", run.stdout)
        # Each result is the clip's result alone.
        alone = self.dir / "alone.bvh"
        subprocess.run([TOOL, str(self.clips / "walks/slow/take05.bvh"), "--target", TARGET, "-o", str(alone),
                        "--frames", "0:30", "-q"], check=True)
        self.assertEqual(written["walks/slow/take05.bvh"], alone.read_bytes())
        # Without --recursive: only the top folder, the subfolders skipped.
        flat = self.tool(out="flat")
        self.assertEqual(sorted(files(self.dir / "flat")), [f"take{i:02}.bvh" for i in range(0, 18, 3)])
        self.assertIn("skipped walks: a folder\n", flat.stdout)

    def test_shards_write_what_one_batch_writes(self):
        self.tool("--recursive", "--svg", "sheet.svg", out="whole")
        totals = []
        for shard in range(3):
            run = self.tool("--recursive", "--svg", "sheet.svg", "--shard", f"{shard}/3", out="shared")
            totals.append(run.stdout.splitlines()[-1])
        self.assertEqual(files(self.dir / "shared"), files(self.dir / "whole"))
        for total in totals:
            self.assertTrue(total.startswith("total   6 of 6 clips written to"), total)
        # Fewer clips than shards: the shards past them have none to run.
        for shard in range(8):
            run = self.tool("--shard", f"{shard}/8", out="many")
            self.assertIn(f"total   {int(shard < 6)} of {int(shard < 6)} clips", run.stdout)
        self.assertEqual(sorted(files(self.dir / "many")), [f"take{i:02}.bvh" for i in range(0, 18, 3)])

    def test_python_batches_as_the_command_line_does(self):
        import norvo_retarget as nr

        self.tool("--recursive", "--shard", "1/2", "--manifest", str(self.dir / "cli.jsonl"), "--svg", "s.svg",
                  out="cli")
        ran = nr.batch(self.clips, TARGET, self.dir / "py", recursive=True, shard=(1, 2), frames="0:30",
                       manifest=self.dir / "py.jsonl", svg="s.svg")
        self.assertEqual(files(self.dir / "py"), files(self.dir / "cli"))
        self.assertEqual(by_input(manifest(self.dir / "py.jsonl"), self.dir / "py"),
                         by_input(manifest(self.dir / "cli.jsonl"), self.dir / "cli"))
        self.assertEqual((ran["written"], ran["failed"], len(ran["clips"])), (9, 0, 9))
        self.assertEqual({c["status"] for c in ran["clips"]}, {"done"})
        self.assertEqual(ran["frames"], 9 * 30)
        again = nr.batch(self.clips, TARGET, self.dir / "py", recursive=True, shard="1/2", frames="0:30",
                         manifest=self.dir / "py.jsonl", resume=True, svg="s.svg")
        self.assertEqual((len(again["clips"]), len(again["already_done"])), (0, 9))
        with self.assertRaises(nr.UsageError) as caught:
            nr.batch(self.clips, TARGET, self.dir / "py", resume=True)
        self.assertEqual(str(caught.exception), "resume needs manifest FILE.jsonl: the clips done are read from it")

    def test_ctrl_c_stops_a_python_batch(self):
        many = self.dir / "many"
        many.mkdir()
        for i in range(200):
            (many / f"take{i:03}.bvh").symlink_to(DATA / CLIPS[0])
        script = ("import sys, norvo_retarget as nr\n"
                  "try:\n"
                  "    nr.batch(sys.argv[1], sys.argv[2], sys.argv[3], manifest=sys.argv[4], jobs=1)\n"
                  "except KeyboardInterrupt:\n"
                  "    print('stopped')\n")
        lines = self.dir / "m.jsonl"
        run = subprocess.Popen(["/usr/bin/python3", "-c", script, str(many), TARGET, str(self.dir / "out"),
                                str(lines)], stdout=subprocess.PIPE, text=True)
        while not lines.exists() or len(lines.read_text().splitlines()) < 2:
            self.assertIsNone(run.poll())
            time.sleep(0.01)
        run.send_signal(signal.SIGINT)
        said, _ = run.communicate()
        self.assertEqual((said, run.returncode), ("stopped\n", 0))
        self.assertLess(len(manifest(lines)), 200)
        self.assertEqual(len(manifest(lines)), len(list((self.dir / "out").iterdir())))

    def test_manifest_lines(self):
        (self.clips / "broken.bvh").write_text("HIERARCHY\nROOT Hips\n{\nOFFSET 0 0\n")
        run = self.tool("--recursive", "--round-trip", "--manifest", str(self.dir / "m.jsonl"), check=False)
        self.assertEqual(run.returncode, 2)
        entries = manifest(self.dir / "m.jsonl")
        self.assertEqual(len(entries), 19)
        self.assertEqual(sorted(e["input"] for e in entries),
                         sorted(str(p) for p in self.clips.rglob("*.bvh") if ".hidden" not in str(p)))
        broken = [e for e in entries if e["status"] == "failed"]
        self.assertEqual(broken, [dict(broken[0], **{
            "input": str(self.clips / "broken.bvh"), "output": str(self.dir / "out/broken.bvh"),
            "status": "failed", "exit_code": 2,
            "message": str(self.clips / "broken.bvh") + ":4: OFFSET needs 3 numbers, found 2",
            "frames": None, "preset": None, "quality_mean_degrees": None, "quality_p95_degrees": None,
            "quality_max_degrees": None, "quality_segments": None, "quality_not_measured": None,
            "feet_sliding_left": None, "feet_sliding_right": None,
            "round_trip_mean_degrees": None, "round_trip_p95_degrees": None, "round_trip_max_degrees": None})])
        for entry in entries:
            if entry["status"] == "done":
                self.assertEqual((entry["exit_code"], entry["message"], entry["frames"]), (0, "", 30))
                self.assertTrue(os.path.isfile(entry["output"]))
                self.assertIn(entry["preset"], ("cmu", "makehuman-game"))
                for key in KEYS[7:]:
                    if key == "quality_segments":
                        self.assertEqual(set(entry[key]["left thigh"]), {"mean", "max"})
                    elif key == "quality_not_measured":
                        # The CMU rig's fingers start on its wrists.
                        self.assertEqual(entry[key], ["left hand", "right hand"])
                    else:
                        self.assertIsInstance(entry[key], (int, float), key)
        # Without figures (-q) they are null; the rest is there.
        self.tool("-q", "--manifest", str(self.dir / "quiet.jsonl"), out="quiet", check=False)
        for entry in manifest(self.dir / "quiet.jsonl"):
            self.assertIsNone(entry["quality_mean_degrees"])
        # Without --manifest the output folder holds only the results.
        self.assertEqual({p.suffix for p in (self.dir / "quiet").iterdir()}, {".bvh"})

    def test_a_manifest_past_the_file_size_limit(self):
        # A manifest just short of the limit: the next line is cut short and
        # the message says why, as for any other file.
        limit = 1 << 20
        path = self.dir / "m.jsonl"
        path.write_text('{"input": "earlier"' + " " * (limit - 40) + "}\n")

        def limited():
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)

        run = subprocess.run(self.command("--manifest", str(path), "-q", "--jobs", "1"), capture_output=True,
                             text=True, stdin=subprocess.DEVNULL, preexec_fn=limited)
        self.assertEqual(run.returncode, 2, run.stderr)
        self.assertIn(f"{path}: cannot write the manifest: the file is larger than the system allows\n", run.stderr)

    def test_usage_errors(self):
        cases = [
            (["--resume"], "--resume needs --manifest FILE.jsonl: the clips done are read from it"),
            (["--shard", "3/3"], "--shard takes I/N with 0 <= I < N; found '3/3'"),
            (["--shard", "1/0"], "--shard takes I/N with 0 <= I < N; found '1/0'"),
            (["--shard", "-1/3"], "--shard takes I/N with 0 <= I < N; found '-1/3'"),
            (["--shard", "1 /3"], "--shard takes I/N with 0 <= I < N; found '1 /3'"),
            (["--shard", "+1/3"], "--shard takes I/N with 0 <= I < N; found '+1/3'"),
            (["--shard", "1/3/5"], "--shard takes I/N with 0 <= I < N; found '1/3/5'"),
            (["--shard", "99999999999999999999/3"],
             "--shard takes I/N with 0 <= I < N; found '99999999999999999999/3'"),
            (["--manifest", str(self.clips / "take00.bvh")],
             str(self.clips / "take00.bvh") + ": --manifest would overwrite the clip take00.bvh, the same file; "
             "write elsewhere"),
        ]
        for arguments, error in cases:
            with self.subTest(arguments=arguments):
                run = self.tool("-q", *arguments, check=False)
                self.assertEqual((run.returncode, run.stderr, run.stdout), (1, f"norvo-retarget: error: {error}\n", ""))
        self.assertFalse((self.dir / "out").exists())
        for option in (["--recursive"], ["--resume"], ["--shard", "0/2"], ["--manifest", "m.jsonl"]):
            with self.subTest(option=option):
                run = subprocess.run([TOOL, str(self.clips / "take00.bvh"), "--target", TARGET, "-o",
                                      str(self.dir / "one.bvh"), *option], capture_output=True, text=True)
                self.assertEqual((run.returncode, run.stderr),
                                 (1, f"norvo-retarget: error: {option[0]} goes with --batch FOLDER\n"))

    def test_a_killed_batch_resumes_to_what_one_run_writes(self):
        # Whole clips, one worker: long enough to be stopped in the middle.
        common = ["--recursive", "--report", "report.json", "--jobs", "1"]
        whole_out, out, log = self.dir / "whole", self.dir / "out", self.dir / "m.jsonl"
        self.tool(*common, "--manifest", str(self.dir / "whole.jsonl"), out="whole", frames=None)
        whole = by_input(manifest(self.dir / "whole.jsonl"), whole_out)

        tool = subprocess.Popen(self.command(*common, "--manifest", str(log), frames=None),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline and tool.poll() is None:
                if log.exists() and log.read_text().count("\n") >= 4:
                    break
                time.sleep(0.002)
            tool.send_signal(signal.SIGKILL)
        finally:
            tool.wait()
        self.assertEqual(tool.returncode, -signal.SIGKILL, "the batch ended before it was killed")
        before = manifest(log)
        self.assertLess(len(before), 18)

        # What a run killed in the middle of a write leaves: temporary files
        # beside outputs of this batch and half a manifest line; and another
        # run's temporary file, which is not this batch's to remove.
        pending = [e["output"] for e in whole.values() if e["input"] not in {b["input"] for b in before}]
        motion = out / pending[0]
        stale = motion.with_name("." + motion.name + ".4242.7.tmp")
        report = motion.with_name("." + motion.stem + ".report.json.99.0.tmp")
        other = out / ".someone-else.bvh.4242.0.tmp"
        for path, text in ((stale, "half a clip"), (report, "{"), (other, "another run's")):
            path.write_text(text)
        with open(log, "a") as partial:
            partial.write('{"input":"' + before[0]["input"])

        run = self.tool(*common, "--manifest", str(log), "--resume", frames=None)
        self.assertIn(f"total   {18 - len(before)} of 18 clips written to", run.stdout)
        self.assertIn(f", {len(before)} already done;", run.stdout)
        after = manifest(log)
        self.assertEqual(len(after), 18)
        self.assertEqual(len({e["input"] for e in after}), 18, "a clip written twice")
        self.assertEqual(by_input(after, out), whole)
        self.assertFalse(stale.exists() or report.exists())
        self.assertEqual(other.read_text(), "another run's")
        other.unlink()
        self.assertEqual(files(out), files(whole_out))
        self.assertEqual(list(out.rglob("*.tmp")), [])

        # A clip whose result is gone, or whose last line says it failed, is
        # run again; a line that is no JSON is passed over.
        pathlib.Path(after[0]["output"]).unlink()
        with open(log, "a") as lines:
            lines.write(json.dumps(dict(after[1], status="failed", exit_code=2, message="x")) + "\n")
            lines.write("not json\n")
        again = self.tool(*common, "--manifest", str(log), "--resume", frames=None)
        self.assertIn("total   2 of 18 clips written to", again.stdout)
        self.assertIn(", 16 already done;", again.stdout)
        self.assertEqual(files(out), files(whole_out))

    def test_job_array_script(self):
        self.assertEqual(subprocess.run(["bash", "-n", str(SCRIPT)]).returncode, 0)
        usage = subprocess.run(["bash", str(SCRIPT), "--help"], capture_output=True, text=True)
        self.assertEqual(usage.returncode, 0)
        self.assertTrue(usage.stdout.startswith("Usage: retarget-shard.sh FOLDER TARGET OUTFOLDER"))
        self.tool("--recursive", "--shard", "1/2", out="expected")
        environment = {k: v for k, v in os.environ.items() if not k.startswith(("SLURM_", "SGE_", "PBS_", "TASK_"))}
        for name, variables in {
            "by hand": {"TASK_INDEX": "1", "TASK_COUNT": "2"},
            "slurm": {"SLURM_ARRAY_TASK_ID": "12", "SLURM_ARRAY_TASK_MIN": "10", "SLURM_ARRAY_TASK_STEP": "2",
                      "SLURM_ARRAY_TASK_COUNT": "2"},
            "grid engine": {"SGE_TASK_ID": "2", "SGE_TASK_FIRST": "1", "SGE_TASK_LAST": "2",
                            "SGE_TASK_STEPSIZE": "1"},
        }.items():
            with self.subTest(name):
                out = self.dir / name.replace(" ", "-")
                run = subprocess.run(
                    ["bash", str(SCRIPT), str(self.clips), TARGET, str(out), "--recursive", "--frames", "0:30"],
                    env=dict(environment, NORVO_RETARGET=TOOL, **variables), capture_output=True, text=True)
                self.assertEqual(run.returncode, 0, run.stderr)
                written = files(out)
                self.assertEqual(len(manifest(out / "manifest-1.jsonl")), 9)
                del written["manifest-1.jsonl"]
                self.assertEqual(written, files(self.dir / "expected"))
        run = subprocess.run(["bash", str(SCRIPT), str(self.clips), TARGET, str(self.dir / "none")],
                             env=dict(environment, NORVO_RETARGET=TOOL), capture_output=True, text=True)
        self.assertEqual((run.returncode, run.stderr),
                         (1, "retarget-shard.sh: no task index: run as a job array task, or set TASK_INDEX and "
                             "TASK_COUNT\n"))


if __name__ == "__main__":
    unittest.main()
