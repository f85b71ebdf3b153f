#!/usr/bin/env python3
"""Share of a SIM_MODE job spent before its tilt loop.

Runs korvex on the Si [110] 200 kV demo widened as bench/job_bench.sh widens
it (about 150 exact and 60 Bethe beams at the disk centre) on a SIDE x SIDE
disk, once per thread count, and times the console's stages from the moment
each line arrives: the potential matrix (from "Potential:" to the end of its
5%10%... line), the whole set-up (start to "Intensity calculation") and the
whole job. Prints the seconds and the set-up's share of the job per run.

  bench/setup_share.py [--korvex PATH] [--side N] [--threads 1,2] [--repeat R] [--window "SG_E SG_B XI"]
                       [--eigmat file|0|2|3|auto]

On a shared machine the figures depend on the load: note `uptime`.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def large_job(side, threads, window, eigmat="file"):
    with open(os.path.join(ROOT, "examples", "si_110_200kv.dat")) as f:
        text = f.read()
    # The solver: as the demo sets it, another value, or the line taken out
    # so that korvex chooses by the beam count.
    if eigmat != "file":
        text, n = re.subn(r"^eigmat_func\s+\S+\n", "" if eigmat == "auto" else "eigmat_func %s\n" % eigmat,
                          text, count=1, flags=re.M)
        if n != 1:
            sys.exit("the demo has no eigmat_func line")
    for old, new in ((r"^31$", str(side)), (r"^400 2.0 0 0$", "1000 5.0 0 0"),
                     (r"^0.02 0.08 20000.0$", window)):
        text, n = re.subn(old, new, text, count=1, flags=re.M)
        if n != 1:
            sys.exit("the demo's lines have changed: " + old)
    return text.replace("}EPS_CONTROL_PARAMETERS", "num_threads %d\n}EPS_CONTROL_PARAMETERS" % threads, 1)


def run(korvex, side, threads, window, eigmat="file"):
    work = tempfile.mkdtemp()
    try:
        with open(os.path.join(work, "job.dat"), "w") as f:
            f.write(large_job(side, threads, window, eigmat))
        marks = {}
        t0 = time.monotonic()
        p = subprocess.Popen(["stdbuf", "-oL", korvex, "job.dat"], cwd=work, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True)
        potential = False
        beams = ""
        lines = []
        for line in p.stdout:
            lines.append(line)
            now = time.monotonic() - t0
            if line.startswith("Potential:"):
                marks["potential"] = now
                potential = True
            elif potential and line.rstrip().endswith("100%"):
                marks["potential_end"] = now
                potential = False
            elif line.startswith("Intensity calculation"):
                marks["setup_end"] = now
            m = re.search(r"Exact = \d+, Bethe = \d+", line)
            if m and not beams:
                beams = m.group(0)
            m = re.match(r"Tilts: (\d+)", line)
            if m:
                marks["tilts"] = int(m.group(1))
        if p.wait() != 0:
            sys.exit("korvex failed:\n" + "".join(lines[-10:]))
        marks["end"] = time.monotonic() - t0
        marks["beams"] = beams
        return marks
    finally:
        shutil.rmtree(work)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--korvex", default=os.path.join(ROOT, "build", "korvex"))
    ap.add_argument("--side", type=int, default=39)
    ap.add_argument("--threads", default="1,2")
    ap.add_argument("--repeat", type=int, default=1)
    # The beam search's s_g windows (exact, Bethe) and extinction-distance
    # limit; "0.045 0.10 200000.0" gives about 95 exact and 115 Bethe beams.
    ap.add_argument("--window", default="0.068 0.10 200000.0")
    ap.add_argument("--eigmat", default="file",
                    help="eigen solver: file (the demo's eigmat_func 0), a value, or auto (korvex chooses)")
    a = ap.parse_args()
    a.korvex = os.path.abspath(a.korvex)
    print("korvex %s, disk %d x %d, %s" % (a.korvex, a.side, a.side, os.popen("uptime").read().strip()))
    for threads in [int(t) for t in a.threads.split(",")]:
        for _ in range(a.repeat):
            m = run(a.korvex, a.side, threads, a.window, a.eigmat)
            pot = m["potential_end"] - m["potential"]
            setup = m["setup_end"]
            print("threads %d  %s  tilts %d  potential %6.2f s  set-up %6.2f s  job %7.2f s  set-up share %5.1f %%"
                  % (threads, m["beams"], m.get("tilts", 0), pot, setup, m["end"], 100.0 * setup / m["end"]))


if __name__ == "__main__":
    main()
