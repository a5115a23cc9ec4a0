#!/usr/bin/env python3
"""Plants faults in the product code one at a time and reports which tests catch each.

    tools/mutants.py LIST [--src DIR] [--soak] [--only ID,ID...]
    tools/mutants.py LIST --check [--src DIR]
    tools/mutants.py LIST --annotate [--src DIR]

LIST holds one fault a line: "ID @@ path::Scope @@ old @@ new [@@ old @@ new ...] @@ what".
Scope names the function, type or namespace-scope declaration that holds the code; old is
found inside it, whitespace anywhere ignored, and replaced by new once; a "~" in either stands
for a line break. A refactor that reformats the code, moves the scope to another file or moves
other code around it leaves the fault planted: when path no longer defines Scope, the other
sources are searched for the one that does. Lines starting with "#" are comments. --annotate
prints LIST with the scope of each row that names only a path filled in (from where old occurs
today), for writing new rows. DIR (default: this checkout) must have a configured native build
(build/native); its files are restored after each fault. For each fault the native suite is
rebuilt and run, and with --soak the soak too when the suite misses it. Prints one line a
fault: ID, CAUGHT/MISSED/NOBUILD/NOAPPLY, and the failing tests. Point --src at a copy
(git archive HEAD | tar -x -C DIR), not at a checkout being edited.

A fault whose text is not in the code would never be planted and would pass unnoticed, so
every run first checks that each listed fault applies (its scope is defined somewhere, each old
occurs in it in the text left by the edits before it, new differs from old, IDs are unique,
lines are well formed), names each one that does not and exits 1. --check does only that,
without building.
"""
import argparse
import os
import pathlib
import re
import signal
import subprocess
import sys

SOURCE_SUFFIXES = (".cpp", ".h")
TYPE_WORDS = re.compile(r"\b(namespace|struct|class|union|enum|extern)\b")


def parse(path):
    """Returns the faults and the problems of lines that are not well formed."""
    faults, problems = [], []
    lines = pathlib.Path(path).read_text().splitlines()
    for number, line in enumerate(lines, 1):
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        fields = [f.strip() for f in line.split("@@")]
        if len(fields) < 5 or len(fields) % 2 == 0:
            problems.append(f"line {number}: not ID @@ path::Scope @@ old @@ new [@@ old @@ new] @@ what")
            continue
        ident, where, *edits, what = fields
        file, _, scope = where.partition("::")
        pairs = [(edits[i].replace("~", "\n"), edits[i + 1].replace("~", "\n"))
                 for i in range(0, len(edits) - 1, 2)]
        faults.append((ident, file, scope, pairs, what))
    return faults, problems


def blanked(text):
    """The text with comments and the insides of literals turned to spaces, same length."""
    skip = re.compile(r'//[^\n]*|/\*.*?\*/|R"([^(]*)\(.*?\)\1"|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'', re.S)
    return skip.sub(lambda m: re.sub(r"[^\n]", " ", m.group(0)), text)


def braces(text):
    """Each brace pair outside comments and literals: (open, close, header), where header is the
    code between the previous ; { or } and the opening brace."""
    pairs, stack, last = [], [], 0
    code = blanked(text)
    for i, c in enumerate(code):
        if c == "{":
            stack.append((i, code[last:i]))
            last = i + 1
        elif c == "}" and stack:
            opened, header = stack.pop()
            pairs.append((opened, i, header))
            last = i + 1
        elif c == ";":
            last = i + 1
    return pairs


def is_code(header):
    return not TYPE_WORDS.search(header.split("(")[0])


def name_of(header):
    """The name a brace's header introduces: a function's, a type's or a variable's."""
    head = re.sub(r"\s+", " ", header).strip()
    if TYPE_WORDS.search(head.split("(")[0]):
        m = re.search(r"(?:struct|class|union|enum(?: class)?) (\w+)", head)
        return m.group(1) if m else None
    m = re.match(r"(.*?)\(", head)
    if m and "=" not in m.group(1):
        m = re.search(r"(~?\w+)\s*$", m.group(1))
        return m.group(1) if m else None
    m = re.match(r"([^=\[{]*?)(\w+)\s*(?:\[[^\]]*\]\s*)?(?:=|\{|$)", head)
    return m.group(2) if m else None


def statement_end(text, pos):
    """Where the namespace-scope declaration holding pos ends: its ; outside brackets."""
    depth = 0
    for i in range(pos, len(text)):
        c = text[i]
        if c in "({[":
            depth += 1
        elif c in ")}]":
            depth -= 1
        elif c == ";" and depth <= 0:
            return i + 1
    return len(text)


def regions(text, scope):
    """Spans of the text that define scope: a function's or type's braces with their header,
    or a declaration outside any function."""
    spans, pairs = [], braces(text)
    for opened, closed, header in pairs:
        if name_of(header) == scope:
            spans.append((opened - len(header), closed + 1))
    code = [(o, c) for o, c, h in pairs if is_code(h)]
    for m in re.finditer(rf"\b{re.escape(scope)}\b\s*(?:\[[^\]]*\])?\s*[={{;]", text):
        if not any(o < m.start() < c for o, c in code):
            line = text.rfind("\n", 0, m.start()) + 1
            spans.append((line, statement_end(text, m.start())))
    return spans


def pattern(old):
    return re.compile(r"\s*".join(re.escape(c) for c in re.sub(r"\s+", "", old)))


def plant_in(text, scope, pairs):
    """The text with the fault planted in scope, or why it does not apply there."""
    for n, (old, new) in enumerate(pairs, 1):
        if not old.strip():
            return None, f"edit {n}: nothing to replace"
        if old == new:
            return None, f"edit {n}: replaces its text by itself"
        spans = regions(text, scope) if scope else [(0, len(text))]
        if not spans:
            return None, f"no definition of {scope}"
        found = None
        for begin, end in spans:
            found = pattern(old).search(text, begin, end)
            if found:
                break
        if not found:
            return None, f"edit {n}: text not in {scope or 'the file'}: {old.strip()[:60]!r}"
        text = text[:found.start()] + new.strip("\n") + text[found.end():]
    return text, None


def sources(src):
    for path in sorted(src.rglob("*")):
        rel = path.relative_to(src)
        if path.suffix in SOURCE_SUFFIXES and rel.parts[0] not in ("build", "tests", "fuzz", ".git"):
            yield rel.as_posix()


def planted(src, file, scope, pairs):
    """(file, text with the fault in it, None), or (file, None, why it does not apply). A scope
    no longer in its file is looked for in the other sources."""
    why = "no such file"
    if (src / file).is_file():
        text, why = plant_in((src / file).read_text(), scope, pairs)
        if text is not None or not scope or f"no definition of {scope}" != why:
            return file, text, why
    if scope:
        for other in sources(src):
            if other != file:
                text, _ = plant_in((src / other).read_text(), scope, pairs)
                if text is not None:
                    return other, text, None
    return file, None, why


def enclosing(text, pos):
    """The scope a row should name for code at pos: the outermost function around it, else the
    innermost type, else the declaration."""
    around = [(o, c, h) for o, c, h in braces(text) if o < pos <= c]
    around.sort()
    for o, c, h in around:
        if is_code(h) and name_of(h):
            return name_of(h)
    for o, c, h in reversed(around):
        if name_of(h):
            return name_of(h)
    code = blanked(text)
    start = max(code.rfind(";", 0, pos), code.rfind("}", 0, pos), code.rfind("{", 0, pos)) + 1
    return name_of(code[start:statement_end(code, pos)].rstrip(";"))


def annotate(src, listing):
    for line in pathlib.Path(listing).read_text().splitlines():
        fields = line.split(" @@ ")
        if line.lstrip().startswith("#") or len(fields) < 5 or "::" in fields[1]:
            print(line)
            continue
        path = src / fields[1].strip()
        old = fields[2].replace("~", "\n")
        text = path.read_text() if path.is_file() else ""
        found = pattern(old).search(text) if old.strip() else None
        scope = enclosing(text, found.start()) if found else None
        if scope:
            fields[1] = f"{fields[1].strip()}::{scope}"
        print(" @@ ".join(fields))


def check(src, faults, problems):
    """Prints every fault that would not be planted; True when all apply."""
    seen = set()
    for ident, file, scope, pairs, what in faults:
        if ident in seen:
            problems.append(f"{ident}: listed twice")
        seen.add(ident)
        if not scope:
            problems.append(f"{ident} {file}: names no scope (--annotate fills it in)")
            continue
        at, _, why = planted(src, file, scope, pairs)
        if why:
            problems.append(f"{ident} NOAPPLY {file}::{scope}: {what}: {why}")
        elif at != file:
            print(f"{ident}: {scope} has moved from {file} to {at}", flush=True)
    for problem in problems:
        print(problem, flush=True)
    return not problems


def run(cmd, cwd, timeout):
    try:
        p = subprocess.run(cmd, cwd=cwd, capture_output=True, text=True, timeout=timeout)
        return p.returncode, p.stdout + p.stderr
    except subprocess.TimeoutExpired:
        return None, "timeout"


def run_suite(binary, cwd, timeout, shards=4):
    """Runs the suite in shards side by side: its longest tests wait on real-time bounds, not
    the processor. Returns (code, output); code is None when a shard hangs."""
    procs = []
    for index in range(shards):
        env = dict(os.environ, GTEST_TOTAL_SHARDS=str(shards), GTEST_SHARD_INDEX=str(index))
        procs.append(subprocess.Popen([binary, "--gtest_brief=1"], cwd=cwd, env=env, text=True,
                                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT))
    code, output = 0, ""
    for proc in procs:
        try:
            out, _ = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            for other in procs:
                other.kill()
            return None, "timeout"
        output += out
        code = code or proc.returncode
    return code, output


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
    ap.add_argument("--annotate", action="store_true", help="fill in the rows' scopes")
    args = ap.parse_args()
    src = pathlib.Path(args.src)
    if args.annotate:
        annotate(src, args.list)
        return 0
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
    for ident, file, scope, pairs, what in faults:
        if only and ident not in only:
            continue
        file, text, _ = planted(src, file, scope, pairs)
        path = src / file
        original = path.read_text()
        try:
            path.write_text(text)
            code, out = run(["cmake", "--build", str(build), "--target", "chronel_tests", "-j2"],
                            src, 900)
            if code != 0:
                print(f"{ident} NOBUILD {file}: {what}", flush=True)
                continue
            total += 1
            code, out = run_suite(str(build / "tests/chronel_tests"), build, 300)
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
