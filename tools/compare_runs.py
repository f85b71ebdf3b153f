#!/usr/bin/env python3
"""Runs every example through two builds of korvex and talvis and compares
every file they write, byte for byte.

    tools/compare_runs.py OLD_BUILD_DIR NEW_BUILD_DIR [--keep DIR]

Each build folder must hold korvex and talvis. Every parameter file under
examples/ (the fit example included) runs in a scratch folder of its own,
once per build, and then talvis runs on the script korvex wrote. A file
that differs is listed; lines that carry clock readings (the log's wall
time, the forecast, dates) are compared with their numbers masked, and such
a file is reported as differing only in its clock readings. Exits 1 when
any other difference is found.
"""
import argparse
import filecmp
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CLOCK = re.compile(r"(time|elapsed|wall|\bdate\b|seconds|\[min\]|\[hour\]|created)", re.I)
NUMBER = re.compile(r"[-+]?\d+(\.\d*)?([eE][-+]?\d+)?")


def examples():
    found = []
    for folder, _, files in os.walk(os.path.join(ROOT, "examples")):
        for f in sorted(files):
            path = os.path.join(folder, f)
            if not f.endswith(".dat"):
                continue
            with open(path, errors="replace") as fh:
                first = fh.readline().split()
            if first and first[0].endswith("_MODE"):
                found.append(path)
    return sorted(found)


def run_one(build, param, work):
    """Copies the parameter file and what sits beside it into work, runs
    korvex, then talvis on every script written."""
    src_dir = os.path.dirname(param)
    for f in os.listdir(src_dir):
        p = os.path.join(src_dir, f)
        if os.path.isfile(p):
            shutil.copy(p, work)
    env = dict(os.environ, OMP_NUM_THREADS="1")
    name = os.path.basename(param)
    subprocess.run([os.path.join(build, "korvex"), name], cwd=work, env=env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=1800)
    base = name.split(".")[0]
    for script in sorted(os.listdir(work)):
        if script.startswith(base) and script.endswith("_tlv.txt"):
            subprocess.run([os.path.join(build, "talvis"), script], cwd=work, env=env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=600)


SECONDS_AT_END = re.compile(r"\d+(\.\d*)? s(\s|$)")


def masked(path):
    """The file's lines with the clock readings masked: whole lines that name
    a time, a trailing "N.NN s" (the refinement's iteration lines), and the
    last column of a chi-squared history whose header names seconds."""
    with open(path, "rb") as fh:
        data = fh.read()
    try:
        text = data.decode()
    except UnicodeDecodeError:
        return None
    lines = text.splitlines()
    timed_column = bool(lines) and lines[0].startswith("#") and "second" in lines[0]
    out = []
    for l in lines:
        if CLOCK.search(l):
            l = NUMBER.sub("#", l)
        l = SECONDS_AT_END.sub("# s", l)
        if timed_column and not l.startswith("#"):
            l = " ".join(l.split()[:-1])
        out.append(l)
    return out


def compare(old, new, inputs):
    problems, clock_only, same = [], [], 0
    names = sorted((set(os.listdir(old)) | set(os.listdir(new))) - inputs)
    for n in names:
        a, b = os.path.join(old, n), os.path.join(new, n)
        if not os.path.isfile(a) or not os.path.isfile(b):
            problems.append(f"{n}: written by only one build")
            continue
        if filecmp.cmp(a, b, shallow=False):
            same += 1
            continue
        ma, mb = masked(a), masked(b)
        if ma is not None and ma == mb:
            clock_only.append(n)
        else:
            problems.append(f"{n}: differs")
    return same, clock_only, problems


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("old")
    ap.add_argument("new")
    ap.add_argument("--keep", help="folder in which to keep the runs")
    args = ap.parse_args()
    top = args.keep or tempfile.mkdtemp(prefix="kv_compare_")
    total_same, bad = 0, 0
    for param in examples():
        rel = os.path.relpath(param, os.path.join(ROOT, "examples"))
        dirs = []
        for tag, build in (("old", args.old), ("new", args.new)):
            d = os.path.join(top, rel.replace("/", "_") + "." + tag)
            os.makedirs(d, exist_ok=True)
            run_one(os.path.abspath(build), param, d)
            dirs.append(d)
        inputs = set(f for f in os.listdir(os.path.dirname(param)) if os.path.isfile(os.path.join(os.path.dirname(param), f)))
        same, clock_only, problems = compare(*dirs, inputs)
        total_same += same
        bad += len(problems)
        note = f"; clock readings only: {', '.join(clock_only)}" if clock_only else ""
        print(f"{rel}: {same} output files identical{note}", flush=True)
        for p in problems:
            print(f"  DIFFERENT {p}")
    print(f"{total_same} files identical, {bad} different")
    if not args.keep:
        shutil.rmtree(top, ignore_errors=True)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
