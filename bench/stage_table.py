#!/usr/bin/env python3
"""Per-tilt stage split from the JSON output of bench_engine.

Reads the file of `bench_engine --benchmark_filter='BM_Stage|BM_ZgemmPeak'
--benchmark_out=FILE --benchmark_out_format=json` and prints, for each beam count, the CPU time of
every stage of one tilt (matrix build, Bethe reduction, eigen solution with
EISPACK and with zgeev, boundary condition, summation), the tilt as their sum
with the EISPACK solver, each stage's share of it, and the eigen solutions'
floating-point rate as a fraction of the single-thread zgemm peak.
"""
import json
import sys

STAGES = ["build", "bethe", "eig_eispack", "eig_zgeev", "b.c.", "sum", "eig_split", "b.c._split", "b.c._zgesv"]


def to_ms(b):
    scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[b.get("time_unit", "ns")]
    return b["cpu_time"] * scale


def main(path):
    data = json.load(open(path) if path != "-" else sys.stdin)
    times, flops, beams, peak = {}, {}, {}, None
    for b in data["benchmarks"]:
        if b.get("run_type") == "aggregate":
            continue
        parts = b["name"].split("/")
        if parts[0] == "BM_ZgemmPeak":
            peak = b["GFLOPs"]
        elif parts[0] == "BM_Stage":
            size, stage = int(parts[1]), int(parts[2])
            times[(size, stage)] = to_ms(b)
            beams[size] = (int(b["exact"]), int(b["bethe"]))
            if "GFLOPs" in b:
                flops[(size, stage)] = b["GFLOPs"]
    if not times:
        sys.exit("no BM_Stage results in the input")
    print("CPU ms per tilt (one thread); tilt = build + Bethe + eigen + its b.c. + sum")
    print("%-10s" % "exact+bethe" + "".join("%12s" % s for s in STAGES) + "%12s%12s%8s" % ("tilt EISPACK", "tilt split", "ratio"))
    rows = {}
    for size in sorted(beams):
        row = [times.get((size, s), float("nan")) for s in range(len(STAGES))]
        rows[size] = row
        t0 = row[0] + row[1] + row[2] + row[4] + row[5]
        t3 = row[0] + row[1] + row[6] + row[7] + row[5]
        print("%-10s" % ("%d+%d" % beams[size]) + "".join("%12.3f" % t for t in row)
              + "%12.3f%12.3f%8.2f" % (t0, t3, t0 / t3))
    for name, stages in (("EISPACK", (0, 1, 2, 4, 5)), ("Hermitian split", (0, 1, 6, 7, 5))):
        print("\nshare of a tilt (%s)" % name)
        for size in sorted(beams):
            row = rows[size]
            tilt = sum(row[s] for s in stages)
            print("%-10s " % ("%d+%d" % beams[size])
                  + "  ".join("%s %5.1f %%" % (STAGES[s], 100.0 * row[s] / tilt) for s in stages))
    if peak:
        print("\nzgemm peak (order 400, one thread): %.2f GFLOP/s" % peak)
        print("eigen solution, nominal 100 n^3 flops: GFLOP/s and fraction of the peak")
        for size in sorted(beams):
            e0, e2, e3 = flops.get((size, 2)), flops.get((size, 3)), flops.get((size, 6))
            if e0 and e2 and e3:
                print("%-10s EISPACK %6.2f (%4.1f %%)   zgeev %6.2f (%4.1f %%)   split %6.2f (%4.1f %%)"
                      % ("%d+%d" % beams[size], e0, 100 * e0 / peak, e2, 100 * e2 / peak, e3, 100 * e3 / peak))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "-")
