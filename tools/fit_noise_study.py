#!/usr/bin/python3
"""Statistics of the refinement on the synthetic silicon (or copper) [110]
measurement.

For several noise seeds: the correct model (f111_re, f220_re, B, thickness and
scale refined) and a wrong one (B fixed 20 % off). Prints per seed the reduced
chi-squared of both, and for the correct model every refined value's distance
from the truth in standard uncertainties. Also times one iteration against one
plain simulation of the same disk (both on one core, taskset -c 0).

  tools/fit_noise_study.py --korvex build/korvex --seeds 1 2 3 4 5

--sigma observed writes the deviations of the observed counts (as a real
measurement gives them); --weight-model 0/1 chooses the refinement's weights;
--no-wrong skips the wrong model and --no-timing the timing; --crystal cu
measures copper instead of silicon. At the end: per
refined parameter the mean and rms of (refined - true) / s.u. over the seeds,
and the mean reduced chi-squared of the correct model.
"""
import argparse
import os
import re
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def run(cmd, cwd):
    r = subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if r.returncode != 0:
        raise SystemExit(f"{' '.join(cmd)} failed:\n{r.stdout.decode(errors='replace')[-2000:]}")
    return r.stdout.decode(errors="replace")


def table(out):
    rows, on = {}, False
    for line in out.splitlines():
        if line.startswith("name "):
            on = True
            continue
        if on:
            f = line.split()
            if len(f) != 4:
                break
            rows[f[0]] = tuple(float(v) for v in f[1:])
    return rows


def reduced(out):
    return float(re.findall(r"\$\$ reduced chisq = (\S+)", out)[-1])


def make(korvex, d, seed, extra):
    run(["/usr/bin/python3", os.path.join(HERE, "make_fit_example.py"), "--korvex", korvex, "--dir", d,
         "--name", "si", "--seed", str(seed)] + extra, d)
    truth = {}
    for line in open(os.path.join(d, "si_true.txt")):
        k, t, _ = line.split()
        truth[k] = float(t)
    truth["thick"] = truth.pop("thickness")
    return truth


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--korvex", required=True)
    ap.add_argument("--seeds", type=int, nargs="+", default=[1, 2, 3, 4, 5])
    ap.add_argument("--counts", type=float, default=1000.0)
    ap.add_argument("--sigma", choices=("expected", "observed"), default="expected")
    ap.add_argument("--weight-model", type=int, default=None)
    ap.add_argument("--no-wrong", action="store_true")
    ap.add_argument("--no-timing", action="store_true")
    ap.add_argument("--crystal", choices=("si", "cu"), default="si", help="silicon or copper [110]")
    a = ap.parse_args()
    korvex = os.path.abspath(a.korvex)
    opts = ["--counts", str(a.counts), "--sigma", a.sigma, "--beam-check", "0", "--crystal", a.crystal]
    if a.weight_model is not None:
        opts += ["--weight-model", str(a.weight_model)]
    print("seed  chi2_red(correct)  chi2_red(B 20% off)  (refined - true) / s.u.")
    zs, reds = {}, []
    for seed in a.seeds:
        with tempfile.TemporaryDirectory() as d:
            truth = make(korvex, d, seed, opts)
            out = run([korvex, "si.dat"], d)
            t = table(out)
            dev = {k: (v[1] - truth[k]) / v[2] for k, v in t.items() if k in truth}
            for k, v in dev.items():
                zs.setdefault(k, []).append(v)
            good = reduced(out)
            reds.append(good)
            bad = float("nan")
            if not a.no_wrong:
                make(korvex, d, seed, opts + ["--wrong-b", "--b-off", "0.2"])
                bad = reduced(run([korvex, "si.dat"], d))
            print(f"{seed:4d}  {good:17.4f}  {bad:19.4f}  " + "  ".join(f"{k}={v:+.2f}" for k, v in sorted(dev.items())),
                  flush=True)
    for k, v in sorted(zs.items()):
        mean = sum(v) / len(v)
        rms = (sum(x * x for x in v) / len(v)) ** 0.5
        print(f"{k:10s} mean z = {mean:+.3f}  rms z = {rms:.3f}  ({len(v)} seeds)")
    print(f"mean reduced chisq (correct model) = {sum(reds) / len(reds):.4f}")
    if a.no_timing:
        return
    # Timing: one core each.
    with tempfile.TemporaryDirectory() as d:
        make(korvex, d, 1, ["--counts", str(a.counts), "--crystal", a.crystal])
        sim = open(os.path.join(d, "si_sim.dat")).read().replace("CALC_KXY_RANGE{\n3\n", "CALC_KXY_RANGE{\n2\n")
        open(os.path.join(d, "plain.dat"), "w").write(sim)
        t0 = time.time()
        run(["taskset", "-c", "0", korvex, "plain.dat"], d)
        t_sim = time.time() - t0
        out = run(["taskset", "-c", "0", korvex, "si.dat"], d)
        hist = [l.split() for l in open(os.path.join(d, "si_chisq.txt")) if not l.startswith("#")]
        n_it = int(hist[-1][0])
        t_fit = float(hist[-1][4])
        print(f"plain simulation of the disk: {t_sim:.3f} s (whole run); refinement: {n_it} iterations in "
              f"{t_fit:.2f} s, {t_fit / n_it:.3f} s per iteration = {t_fit / n_it / t_sim:.2f} simulations "
              f"with {len(table(out))} parameters ({sum(1 for k in table(out) if k in ('f111_re', 'f220_re', 'b_si', 'b_cu'))} "
              "structure parameters)")


if __name__ == "__main__":
    main()
