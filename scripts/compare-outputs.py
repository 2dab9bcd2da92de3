#!/usr/bin/env python3
"""Compares two folders written by scripts/output-matrix.sh (say, before and
after a change that must not change results).

- Motion files are compared byte for byte, except those written with
  --lock-feet, whose numbers may differ by at most 1.5e-6.
- Rig files are compared byte for byte once their Uuids (fresh on every run)
  are replaced by their order of appearance.
- Reports and summaries are compared byte for byte, except that the figures
  of a report (taken on the result's matrices, not on angles read back from
  its file) may differ by at most 1e-9 degrees or leg lengths per second.

Exit code 0 when everything matches, 1 otherwise."""
import re
import sys
from pathlib import Path

NUMBER = re.compile(r"-?\d+(?:\.\d+)?(?:[eE][-+]?\d+)?")
UUID = re.compile(r"[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}")


def numbers_apart(a, b):
    """The largest difference between the numbers of two texts that are the
    same apart from their numbers; None when they differ otherwise."""
    if NUMBER.sub("#", a) != NUMBER.sub("#", b):
        return None
    pairs = zip(NUMBER.findall(a), NUMBER.findall(b))
    return max((abs(float(x) - float(y)) for x, y in pairs), default=0.0)


def without_uuids(text):
    seen = {}
    return UUID.sub(lambda m: "uuid-%d" % seen.setdefault(m.group(0), len(seen)), text)


def main(before, after):
    before, after = Path(before), Path(after)
    names = sorted({p.name for p in before.iterdir()} | {p.name for p in after.iterdir()})
    failed = 0
    for name in names:
        a, b = before / name, after / name
        if not a.exists() or not b.exists():
            print("MISSING  %s (only in %s)" % (name, before if a.exists() else after))
            failed += 1
            continue
        x, y = a.read_bytes(), b.read_bytes()
        if name.endswith(".rig.json"):
            x, y = without_uuids(x.decode()).encode(), without_uuids(y.decode()).encode()
        if x == y:
            print("same     %s" % name)
            continue
        apart = numbers_apart(x.decode(errors="replace"), y.decode(errors="replace"))
        allowed = 1.5e-6 if name.endswith(".lock-feet.bvh") else 1e-9 if name.endswith(".report.json") else 0.0
        if apart is not None and apart <= allowed:
            print("within   %s (numbers at most %.3g apart)" % (name, apart))
            continue
        print("DIFFERS  %s (%s)" % (name, "other text" if apart is None else "numbers up to %.3g apart" % apart))
        failed += 1
    print("%d files, %d differ" % (len(names), failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:3]))
