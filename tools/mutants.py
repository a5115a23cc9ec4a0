#!/usr/bin/env python3
"""Plants faults in the product code one at a time and reports which tests catch each.

    tools/mutants.py LIST [--src DIR] [--soak] [--only ID,ID...]
    tools/mutants.py LIST --check [--src DIR]

LIST holds one fault a line: "ID @@ path @@ old @@ new [@@ old @@ new ...] @@ what", where
old is replaced by new once (old must occur), and a "~" in either stands for a line break.
Lines starting with "#" are comments. DIR (default: this checkout) must have a configured
native build (build/native); its files are restored after each fault. For each fault the
native suite is rebuilt and run, and with --soak the soak too when the suite misses it.
Prints one line a fault: ID, CAUGHT/MISSED/NOBUILD/NOAPPLY, and the failing tests. Point
--src at a copy (git archive HEAD | tar -x -C DIR), not at a checkout being edited.

A fault whose text is not in the code would never be planted and would pass unnoticed, so
every run first checks that each listed fault applies (its file exists, each old occurs in
the text left by the edits before it, new differs from old, IDs are unique, lines are well
formed), names each one that does not and exits 1. --check does only that, without building.
"""
import argparse
import pathlib
import re
import signal
import subprocess
import sys


def parse(path):
    """Returns the faults and the problems of lines that are not well formed."""
    faults, problems = [], []
    lines = pathlib.Path(path).read_text().splitlines()
    for number, line in enumerate(lines, 1):
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        fields = [f.strip() for f in line.split("@@")]
        if len(fields) < 5 or len(fields) % 2 == 0:
            problems.append(f"line {number}: not ID @@ file @@ old @@ new [@@ old @@ new] @@ what")
            continue
        ident, file, *edits, what = fields
        pairs = [(edits[i].replace("~", "\n"), edits[i + 1].replace("~", "\n"))
                 for i in range(0, len(edits) - 1, 2)]
        faults.append((ident, file, pairs, what))
    return faults, problems


def planted(src, file, pairs):
    """The file's text with the fault in it, or why the fault does not apply."""
    path = src / file
    if not path.is_file():
        return None, "no such file"
    text = path.read_text()
    for n, (old, new) in enumerate(pairs, 1):
        if not old:
            return None, f"edit {n}: nothing to replace"
        if old == new:
            return None, f"edit {n}: replaces its text by itself"
        if old not in text:
            return None, f"edit {n}: text not in the file: {old[:60]!r}"
        text = text.replace(old, new, 1)
    return text, None


def check(src, faults, problems):
    """Prints every fault that would not be planted; True when all apply."""
    seen = set()
    for ident, file, pairs, what in faults:
        if ident in seen:
            problems.append(f"{ident}: listed twice")
        seen.add(ident)
        _, why = planted(src, file, pairs)
        if why:
            problems.append(f"{ident} NOAPPLY {file}: {what}: {why}")
    for problem in problems:
        print(problem, flush=True)
    return not problems


def run(cmd, cwd, timeout):
    try:
        p = subprocess.run(cmd, cwd=cwd, capture_output=True, text=True, timeout=timeout)
        return p.returncode, p.stdout + p.stderr
    except subprocess.TimeoutExpired:
        return None, "timeout"


def failing(output):
    names = re.findall(r"^\[  FAILED  \] (\S+)(?: \(|, where|$)", output, re.M)
    return sorted(set(names))


def main():
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))  # restores the file in progress
    ap = argparse.ArgumentParser()
    ap.add_argument("list")
    ap.add_argument("--src", default=str(pathlib.Path(__file__).resolve().parent.parent))
    ap.add_argument("--soak", action="store_true")
    ap.add_argument("--only", default="")
    ap.add_argument("--check", action="store_true", help="only check that every fault applies")
    args = ap.parse_args()
    src = pathlib.Path(args.src)
    faults, problems = parse(args.list)
    if not check(src, faults, problems):
        print("some listed faults do not apply to this code", flush=True)
        return 1
    if args.check:
        print(f"all {len(faults)} faults apply", flush=True)
        return 0
    build = src / "build/native"
    only = set(filter(None, args.only.split(",")))
    caught = total = 0
    for ident, file, pairs, what in faults:
        if only and ident not in only:
            continue
        path = src / file
        original = path.read_text()
        text, _ = planted(src, file, pairs)
        try:
            path.write_text(text)
            code, out = run(["cmake", "--build", str(build), "--target", "chronel_tests", "-j2"],
                            src, 900)
            if code != 0:
                print(f"{ident} NOBUILD {file}: {what}", flush=True)
                continue
            total += 1
            code, out = run([str(build / "tests/chronel_tests"), "--gtest_brief=1"], build, 300)
            failed = ["(hang)"] if code is None else failing(out)
            if code not in (0, None) and not failed:
                failed = ["(crash)"]
            if not failed and args.soak:
                run(["cmake", "--build", str(build), "--target", "chronel_soak", "-j2"], src, 900)
                code, out = run([str(build / "tests/chronel_soak")], build, 900)
                failed = ["Soak(hang)"] if code is None else (["Soak"] if code != 0 else [])
            caught += 1 if failed else 0
            status = "CAUGHT" if failed else "MISSED"
            print(f"{ident} {status} {file}: {what} | {' '.join(failed)}", flush=True)
        finally:
            path.write_text(original)
    print(f"caught {caught} of {total}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
