#!/usr/bin/env python3
"""Plants faults in the product code one at a time and reports which tests catch each.

    tools/mutants.py LIST [--src DIR] [--soak] [--only ID,ID...]

LIST holds one fault a line: "ID @@ path @@ old @@ new [@@ old @@ new ...] @@ what", where
old is replaced by new once (old must occur), and a "~" in either stands for a line break.
Lines starting with "#" are comments. DIR (default: this checkout) must have a configured
native build (build/native); its files are restored after each fault. For each fault the
native suite is rebuilt and run, and with --soak the soak too when the suite misses it.
Prints one line a fault: ID, CAUGHT/MISSED/NOBUILD/NOAPPLY, and the failing tests. Point
--src at a copy (git archive HEAD | tar -x -C DIR), not at a checkout being edited.
"""
import argparse
import pathlib
import re
import signal
import subprocess
import sys


def parse(path):
    faults = []
    for line in pathlib.Path(path).read_text().splitlines():
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        fields = [f.strip() for f in line.split("@@")]
        ident, file, *edits, what = fields
        pairs = [(edits[i].replace("~", "\n"), edits[i + 1].replace("~", "\n"))
                 for i in range(0, len(edits) - 1, 2)]
        faults.append((ident, file, pairs, what))
    return faults


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
    args = ap.parse_args()
    src = pathlib.Path(args.src)
    build = src / "build/native"
    only = set(filter(None, args.only.split(",")))
    caught = total = 0
    for ident, file, pairs, what in parse(args.list):
        if only and ident not in only:
            continue
        path = src / file
        original = path.read_text()
        text = original
        applied = True
        for old, new in pairs:
            if old not in text:
                applied = False
                break
            text = text.replace(old, new, 1)
        if not applied:
            print(f"{ident} NOAPPLY {file}: {what}", flush=True)
            continue
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
