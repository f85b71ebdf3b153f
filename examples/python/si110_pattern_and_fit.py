#!/usr/bin/env python3
"""Silicon [110] from Python: simulate the CBED pattern and plot its disks, then
refine the fit example and plot observed against calculated.

    PYTHONPATH=build/python python3 examples/python/si110_pattern_and_fit.py OUT_DIR
"""
import os
import shutil
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np

import korvex

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.dirname(HERE)


def disk(values, side, inside):
    img = np.where(inside == 1, values, np.nan).reshape(side, side)
    return img


def main():
    out = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else ".")
    os.makedirs(out, exist_ok=True)

    # The pattern: every output reflection's disk at the first thickness.
    r = korvex.simulate(os.path.join(EXAMPLES, "si_110_200kv.dat"))
    I, side = r["intensity"][0], r["side"]
    n = len(r["hkl"])
    fig, axes = plt.subplots(1, n, figsize=(2.2 * n, 2.6), squeeze=False)
    for g, ax in enumerate(axes[0]):
        ax.imshow(disk(I[g], side, r["inside"]), origin="lower", cmap="viridis")
        ax.set_title("%d %d %d" % tuple(r["hkl"][g]), fontsize=9)
        ax.axis("off")
    fig.suptitle(f"Si [110], 200 kV, t = {r['thickness'][0]:g} A")
    fig.savefig(os.path.join(out, "si110_pattern.png"), dpi=80)
    plt.close(fig)

    # The refinement of the fit example, read back as arrays.
    for f in ("si110_fit.dat", "si110_fit_int.txt"):
        shutil.copy(os.path.join(EXAMPLES, "fit", f), out)
    korvex.run("si110_fit.dat", workdir=out)
    fit = korvex.read_fit(os.path.join(out, "si110_fit_fit.h5"))
    for name, v, s in zip(fit["names"], fit["final"], fit["su"]):
        print(f"{name:10s} {v:14.6g} +- {s:.2g}")
    d = fit["datasets"][0]
    m = d["mask"][0] == 1
    fig, ax = plt.subplots(figsize=(4.5, 4.5))
    ax.errorbar(d["model_final"][0][m], d["obs"][0][m], yerr=d["sd"][0][m], fmt=".", ms=2, lw=0.5)
    top = d["obs"][0][m].max()
    ax.plot([0, top], [0, top], "k-", lw=0.8)
    ax.set_xlabel("calculated")
    ax.set_ylabel("observed")
    ax.set_title(f"reduced chi-squared {fit['reduced_chisq']:.3f}")
    fig.tight_layout()
    fig.savefig(os.path.join(out, "si110_fit_observed_calculated.png"), dpi=80)
    plt.close(fig)
    return 0


if __name__ == "__main__":
    sys.exit(main())
