#!/usr/bin/env python3
"""Checks that the tool's includes only run down its layers.

The tool's library is built in layers, each resting on those before it:

    base      Outcome, text files, folders, vectors and rotations
    rig       skeletons, motions, presets, rigs, landmarks
    io        the file formats (and the FBX reader program, fbx/)
    solve     the retargeter, alignment, feet, root motion
    analysis  figures, reports, pictures, pages
    app       clip jobs, batches, arguments, the install's paths
    host      the command line (cli/) and the Python package (python/)

A file's layer is the folder it sits in (include/norvo/retarget/LAYER/,
src/LAYER/); src/*.h are base. An include of the tool's own headers must
name a layer's folder and reach no higher than the file's own layer.
Prints each include that does not, and exits 1 if there is one."""
import re
import sys
from pathlib import Path

ORDER = ["base", "rig", "io", "solve", "analysis", "app", "host"]
TOOL = Path(__file__).resolve().parent.parent / "tools" / "retarget"
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def layer_of(path):
    parts = path.relative_to(TOOL).parts
    if parts[0] in ("cli", "python"):
        return "host"
    if parts[0] == "fbx":
        return "io"
    if parts[0] == "include":
        return parts[3] if len(parts) > 4 and parts[3] in ORDER else None
    if parts[0] == "src":
        return parts[1] if len(parts) > 2 else "base"
    return None


def target_of(source, name):
    if name.startswith("norvo/retarget/"):
        return TOOL / "include" / name
    if name.startswith("norvo/"):
        return None  # the framework and the module's interfaces: below every layer
    for folder in (source.parent, TOOL / "src" / "io", TOOL / "fbx"):
        if (folder / name).exists():
            return (folder / name).resolve()
    return None


def main():
    faults = []
    for path in sorted(TOOL.rglob("*")):
        if path.suffix not in (".h", ".cpp") or layer_of(path) is None:
            continue
        own = layer_of(path)
        for name in INCLUDE.findall(path.read_text(errors="replace")):
            target = target_of(path, name)
            if target is None:
                continue
            reached = layer_of(target) if TOOL in target.parents else None
            where = path.relative_to(TOOL)
            if reached is None:
                faults.append(f"{where}: includes {name}, which is in no layer's folder")
            elif ORDER.index(reached) > ORDER.index(own):
                faults.append(f"{where} ({own}) includes {name} ({reached}), a higher layer")
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
