#!/usr/bin/env python3
"""Runs asiohost with --json (the command line follows) and checks its summary: valid JSON,
"passed" agreeing with the exit status, and a loopback stream whose samples all matched
(dropouts are judged by the tool itself against its --allow-missed budget)."""
import json
import subprocess
import sys


def main():
    run = subprocess.run(sys.argv[1:], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    sys.stderr.write(run.stderr)
    summary = json.loads(run.stdout)
    problems = []
    if summary["passed"] != (run.returncode == 0):
        problems.append(f"passed={summary['passed']} but exit status {run.returncode}")
    if run.returncode != 0:
        problems.append(f"exit status {run.returncode}: {summary['failures']}")
    if not summary["device_present"] or summary["driver"]["name"] != "BRIXEN":
        problems.append("no BRIXEN device described")
    streams = summary["streams"]
    if not streams:
        problems.append("nothing streamed")
    for number, stream in enumerate(streams, 1):
        loop = stream["loopback"]
        if stream["buffer_switches"] == 0:
            problems.append(f"stream {number}: no buffer switch")
        if not loop["detected"] or loop["samples_verified"] == 0 or loop["sample_mismatches"] != 0:
            problems.append(f"stream {number}: loopback {loop}")
    for problem in problems:
        print("check_summary:", problem)
    print("check_summary:", "ok" if not problems else "FAILED")
    return 0 if not problems else 1


if __name__ == "__main__":
    sys.exit(main())
