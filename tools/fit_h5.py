#!/usr/bin/env python3
"""Reads the record of a refinement ("NAME_fit.h5", written by korvex in
FIT_MODE) and redraws the observed against calculated comparison.

    tools/fit_h5.py NAME_fit.h5                 # prints the parameter table
    tools/fit_h5.py NAME_fit.h5 --png out.png   # and draws, per dataset, block
                                                # and reflection: observed,
                                                # refined, (obs - cal) / s.d.

As a module: read_fit(path) returns a dict of numpy arrays (see the README's
layout of the file).
"""
import argparse
import sys

import h5py
import numpy as np


def _text(ds):
    v = ds[()]
    return v.decode() if isinstance(v, bytes) else str(v)


def read_fit(path):
    """The fit record as plain Python: parameters, history, datasets."""
    with h5py.File(path, "r") as f:
        job = f.attrs["job"]
        job = job.decode() if isinstance(job, bytes) else job
        if job != "FIT_MODE":
            raise ValueError(f"{path} is no fit record (job {job})")
        names = _text(f["parameters/name"]).split("\n") if f["parameters/flag"].shape[0] else []
        rec = {
            "parameters": {
                "name": names,
                "flag": f["parameters/flag"][()],
                "start": f["parameters/start"][()],
                "final": f["parameters/final"][()],
                "su": f["parameters/su"][()],
                "covariance": f["parameters/covariance"][()],
                "correlation": f["parameters/correlation"][()],
            },
            "chisq": f["fit/chisq"][()],
            "history": {k: f["history/" + k][()] for k in ("iteration", "chisq", "reduced_chisq", "lambda")},
            "datasets": [],
        }
        for i in range(int(f.attrs["num_datasets"])):
            g = f[f"datasets/{i}"]
            d = {k: g[k][()] for k in ("hkl", "pixel_ix", "pixel_iy", "obs", "sd", "sd_fit", "mask", "model_start",
                                       "model_final", "residual", "thickness_final", "scale_final")}
            d["nx"] = int(g["nx"][0])
            d["int_file"] = _text(g["int_file"])
            rec["datasets"].append(d)
        return rec


def disk_image(d, values, b, r):
    """One disk on the measured grid (row 0 at the bottom), NaN where the
    point takes no part in chi-squared."""
    nx = d["nx"]
    ny = len(d["pixel_ix"]) // nx
    img = np.full((ny, nx), np.nan)
    keep = d["mask"][b, r] == 1
    img[d["pixel_iy"][keep], d["pixel_ix"][keep]] = values[b, r][keep]
    return img


def draw(rec, png):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = [(i, b, r) for i, d in enumerate(rec["datasets"]) for b in range(d["obs"].shape[0])
            for r in range(d["obs"].shape[1])]
    fig, axes = plt.subplots(len(rows), 3, figsize=(9, 3 * len(rows)), squeeze=False)
    for row, (i, b, r) in enumerate(rows):
        d = rec["datasets"][i]
        obs, cal = disk_image(d, d["obs"], b, r), disk_image(d, d["model_final"], b, r)
        res = disk_image(d, d["residual"], b, r)
        top = np.nanmax([np.nanmax(obs), np.nanmax(cal)])
        h, k, l = d["hkl"][r]
        for col, (img, title) in enumerate(((obs, "observed"), (cal, "refined"), (res, "(obs - cal) / s.d."))):
            ax = axes[row][col]
            if col < 2:
                im = ax.imshow(img, origin="lower", vmin=0, vmax=top, cmap="viridis")
            else:
                z = max(3.0, np.nanmax(np.abs(res)))
                im = ax.imshow(img, origin="lower", vmin=-z, vmax=z, cmap="RdBu_r")
            fig.colorbar(im, ax=ax, fraction=0.046)
            ax.set_title(f"{h} {k} {l}  {title}" if col == 0 else title, fontsize=9)
            ax.set_xticks([])
            ax.set_yticks([])
    fig.tight_layout()
    fig.savefig(png, dpi=80)
    plt.close(fig)


def main():
    ap = argparse.ArgumentParser(description="Reads a korvex fit record (NAME_fit.h5).")
    ap.add_argument("file")
    ap.add_argument("--png", help="draw observed, refined and residual of every reflection into this PNG")
    args = ap.parse_args()
    rec = read_fit(args.file)
    p = rec["parameters"]
    print(f"{'name':20s} {'start':>16s} {'final':>16s} {'s.u.':>12s}")
    for n, s, v, u in zip(p["name"], p["start"], p["final"], p["su"]):
        print(f"{n:20s} {s:16.8g} {v:16.8g} {u:12.4g}")
    chisq, reduced, dof = rec["chisq"]
    print(f"chisq {chisq:.8g}, reduced {reduced:.6g}, {int(dof)} degrees of freedom")
    if args.png:
        draw(rec, args.png)
        print(f"==> {args.png}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
