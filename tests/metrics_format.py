#!/usr/bin/env python3
"""The metrics file the service writes, read back by a strict reader of the Prometheus text
format: the simulation runs the service's own loop, which writes the file; every metric must
parse, carry HELP and TYPE, follow the naming conventions and say what the run did.

    metrics_format.py CHRONEL_SIM WORK_DIR
"""
import os
import re
import subprocess
import sys

try:
    from prometheus_client.parser import text_string_to_metric_families
except ImportError:
    print("SKIPPED: python3-prometheus-client is not installed")
    sys.exit(77)

TYPES = {
    "chronel_up": "gauge",
    "chronel_last_update_timestamp_seconds": "gauge",
    "chronel_offset_milliseconds": "gauge",
    "chronel_locked": "gauge",
    "chronel_timecode_ok": "gauge",
    "chronel_correction_ppm": "gauge",
    "chronel_hard_sets": "counter",
    "chronel_hard_set_failures": "counter",
    "chronel_source_failures": "counter",
    "chronel_out_of_limits": "counter",
    "chronel_last_hard_set_timestamp_seconds": "gauge",
    "chronel_info": "gauge",
}

# Scenario arguments, then what the last metrics of the run must show. The run ends with the
# service's stop, whose last write must not leave a collector serving "locked".
STOPPED = {"chronel_up": 0, "chronel_locked": 0, "chronel_timecode_ok": 0}
SCENARIOS = [
    (["--offset-ms", "250", "--duration", "120"],
     {**STOPPED, "chronel_hard_sets_total": 0, "chronel_hard_set_failures_total": 0,
      "chronel_out_of_limits_total": 0, "chronel_last_hard_set_timestamp_seconds": 0}),
    (["--offset-ms", "5000", "--duration", "30", "--set", "DifErr=1000"],
     {**STOPPED, "chronel_hard_sets_total": 0}),
    (["--offset-ms", "800", "--duration", "30", "--set", "DifSys=500"],
     {**STOPPED, "chronel_hard_sets_total": 1}),
]


def strict_lines(text):
    """What the library's parser forgives: every sample's family declared with HELP then
    TYPE before it, once; Unix line ends; a final line end."""
    problems = []
    if not text.endswith("\n") or "\r" in text:
        problems.append("lines must end in a single line feed")
    declared = {}
    for line in text.splitlines():
        m = re.match(r"^# (HELP|TYPE) (\S+) (.+)$", line)
        if m:
            kind, name, rest = m.groups()
            if kind == "TYPE" and declared.get(name) != "HELP":
                problems.append(f"{name}: TYPE without HELP before it")
            if kind == "HELP" and name in declared:
                problems.append(f"{name}: declared twice")
            declared[name] = kind
            continue
        name = re.match(r"^([a-zA-Z_:][a-zA-Z0-9_:]*)", line).group(1)
        family = name[:-len("_total")] if name.endswith("_total") else name
        if declared.get(family) != "TYPE" and declared.get(name) != "TYPE":
            problems.append(f"{name}: sample before its HELP and TYPE")
    return problems


def check(sim, work, args, expected, index):
    path = os.path.join(work, f"metrics-{index}.prom")
    subprocess.run([sim, "--quiet", "--metrics", path] + args, check=True,
                   stdout=subprocess.DEVNULL)
    with open(path, encoding="utf-8", newline="") as f:
        text = f.read()
    problems = strict_lines(text)
    values = {}
    types = {}
    for family in text_string_to_metric_families(text):
        types[family.name] = family.type
        if not family.documentation:
            problems.append(f"{family.name}: no HELP text")
        for sample in family.samples:
            values[sample.name] = sample.value
            if family.name == "chronel_info":
                if sorted(sample.labels) != ["card", "firmware", "library", "service"]:
                    problems.append(f"chronel_info labels {sorted(sample.labels)}")
                if sample.value != 1 or not sample.labels["service"]:
                    problems.append("chronel_info must be 1 with the service's version")
    if types != TYPES:
        problems.append(f"families {types}")
    for name, want in expected.items():
        if values.get(name) != want:
            problems.append(f"{name} = {values.get(name)}, expected {want}")
    if values.get("chronel_hard_sets_total", 0) > 0 and \
            values.get("chronel_last_hard_set_timestamp_seconds", 0) < 1.7e9:
        problems.append("a hard set without its time stamp")
    if values.get("chronel_last_update_timestamp_seconds", 0) < 1.7e9:
        problems.append("no time stamp of the last update")
    for p in problems:
        print(f"FAIL {' '.join(args)}: {p}")
    if not problems:
        print(f"ok   {' '.join(args)}")
    return not problems


def main():
    sim, work = sys.argv[1], sys.argv[2]
    os.makedirs(work, exist_ok=True)
    results = [check(sim, work, args, expected, i)
               for i, (args, expected) in enumerate(SCENARIOS)]
    sys.exit(0 if all(results) else 1)


if __name__ == "__main__":
    main()
