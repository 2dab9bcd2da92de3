#!/usr/bin/env python3
"""Checks that no function in the tool is longer than a limit.

Finds the function bodies in tools/retarget (*.cpp, *.h) with a brace
matcher that skips comments, strings, character literals and preprocessor
lines. A function's length is the count of lines from its opening brace to
its closing brace. Lambdas and local classes count as part of the function
they sit in; the member functions in a class body are measured each on its
own. Prints each function longer than the limit (default 80 lines) with its
file, line and name, and exits 1 if there is one.

Usage: check-function-length.py [--limit N] [FILE_OR_FOLDER...]"""
import argparse
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
TOOL = ROOT / "tools" / "retarget"
CONTAINER = re.compile(r"\b(namespace|class|struct|union|extern)\b")
ENUM = re.compile(r"\benum\b")
CONTROL = {"if", "for", "while", "switch", "catch", "do", "else", "try", "return"}


def blank_out(text):
    """Returns text with comments, strings, character literals and
    preprocessor lines replaced by spaces; newlines are kept so that offsets
    still give line numbers."""
    out = list(text)
    i, n = 0, len(text)
    line_start = True

    def clear(start, end):
        for k in range(start, end):
            if out[k] != "\n":
                out[k] = " "

    while i < n:
        c = text[i]
        if line_start and c == "#":
            # A preprocessor line, with its continuations.
            j = i
            while j < n and not (text[j] == "\n" and text[j - 1] != "\\"):
                j += 1
            clear(i, j)
            i = j
            continue
        if c == "\n":
            line_start = True
            i += 1
            continue
        if c in " \t\r":
            i += 1
            continue
        line_start = False
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            clear(i, j)
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            clear(i, j)
            i = j
        elif c == "R" and i + 1 < n and text[i + 1] == '"' and not _ident(text, i - 1):
            k = text.find("(", i + 2)
            delim = text[i + 2 : k]
            j = text.find(")" + delim + '"', k)
            j = n if j < 0 else j + len(delim) + 2
            clear(i, j)
            i = j
        elif c in "\"'":
            if c == "'" and _ident(text, i - 1) and text[i - 1].isdigit():
                i += 1  # a digit separator, as in 1'000
                continue
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            j = min(j + 1, n)
            clear(i, j)
            i = j
        else:
            i += 1
    return "".join(out)


def _ident(text, i):
    return i >= 0 and (text[i].isalnum() or text[i] == "_")


def strip_groups(head):
    """The header with the insides of (), <> and {} left out, to look at its
    shape."""
    depth, shape = 0, []
    for c in head:
        if c in "({":
            if depth == 0:
                shape.append(c)
            depth += 1
        elif c in ")}":
            depth = max(depth - 1, 0)
            if depth == 0:
                shape.append(c)
        elif depth == 0:
            shape.append(c)
    return "".join(shape)


def function_name(head):
    """The (qualified) name before the header's first top-level '('."""
    depth = 0
    for i, c in enumerate(head):
        if c == "<":
            depth += 1
        elif c == ">":
            depth = max(depth - 1, 0)
        elif c == "(" and depth == 0:
            before = head[:i].rstrip()
            match = re.search(r"((?:[A-Za-z_~][\w]*\s*(?:<[^<>]*>)?\s*::\s*)*"
                              r"(?:operator\s*\S+|~?[A-Za-z_]\w*))$", before)
            return re.sub(r"\s+", "", match.group(1)) if match else "?"
    return "?"


# How a function's header ends: its parameters, qualifiers, a trailing return
# type, or a constructor's last member initializer.
HEADER_END = re.compile(r"(\)|\}|\btry)(\s*(const|noexcept|override|final|mutable|&&|&))*"
                        r"(\s*->\s*[\w:<>,\s*&]+)?\s*$")


def is_function(head):
    shape = strip_groups(head).strip()
    if "(" not in shape or not HEADER_END.search(shape):
        return False
    first = shape.split("(", 1)[0]
    words = re.findall(r"[A-Za-z_]\w*", first)
    if words and words[-1] in CONTROL:
        return False
    # An initializer (x = f(...) {...}) rather than a definition.
    return re.search(r"(?<![=!<>+\-*/%&|^])=(?!=)", first.replace("operator", "")) is None


def measure(path, limit):
    text = blank_out(path.read_text(errors="replace"))
    line_of = _line_index(text)
    found = []
    # Each open scope: (kind, name, opening offset); kinds are "scope" (a
    # namespace or class body, whose members are looked at), "function" and
    # "other".
    stack = []
    head_start = 0
    for i, c in enumerate(text):
        if c == ";":
            if not stack or stack[-1][0] == "scope":
                head_start = i + 1
        elif c == "{":
            inside = any(kind != "scope" for kind, _, _ in stack)
            if inside:
                stack.append(("other", "", i))
                continue
            head = text[head_start:i]
            shape = strip_groups(head)
            if ENUM.search(shape):
                stack.append(("other", "", i))
            elif CONTAINER.search(shape) and "(" not in shape:
                # Only a class's name goes in front of its members' names.
                named = re.search(r"\b(?:class|struct|union)\s+(\w+)", shape)
                stack.append(("scope", named.group(1) if named else "", i))
                head_start = i + 1
            elif is_function(head):
                stack.append(("function", function_name(head), i))
            else:
                stack.append(("other", "", i))  # an initializer; the header goes on
        elif c == "}" and stack:
            kind, name, start = stack.pop()
            if kind == "function":
                lines = line_of(i) - line_of(start) + 1
                if lines > limit:
                    owners = [n for k, n, _ in stack if k == "scope" and n and "::" not in name]
                    found.append((line_of(start), "::".join(owners[-1:] + [name]), lines))
            if kind != "other" and not any(k != "scope" for k, _, _ in stack):
                head_start = i + 1
    return found


def _line_index(text):
    starts = [m.end() for m in re.finditer("\n", text)]

    def line_of(offset):
        lo, hi = 0, len(starts)
        while lo < hi:
            mid = (lo + hi) // 2
            if starts[mid] <= offset:
                lo = mid + 1
            else:
                hi = mid
        return lo + 1

    return line_of


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--limit", type=int, default=80, help="longest function allowed, in lines")
    parser.add_argument("paths", nargs="*", type=Path, help="files or folders (default: the tool)")
    args = parser.parse_args()
    files = []
    for where in args.paths or [TOOL]:
        where = where.resolve()
        files += [where] if where.is_file() else sorted(where.rglob("*"))
    faults = []
    for path in files:
        if path.suffix not in (".cpp", ".h"):
            continue
        shown = path.relative_to(ROOT) if ROOT in path.parents else path
        for line, name, lines in measure(path, args.limit):
            faults.append(f"{shown}:{line}: {name} is {lines} lines (limit {args.limit})")
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
