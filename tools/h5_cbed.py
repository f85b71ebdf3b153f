#!/usr/bin/python3
"""Redraw a labelled CBED pattern from the HDF5 export of korvex.

usage: tools/h5_cbed.py RESULT.h5 [thickness_index] [out.png]
       tools/h5_cbed.py --describe RESULT.h5

--describe lists every dataset of the file with its shape and unit, the
crystal (cell, space group, sites with B and occupancy) and the beams, and
ends with status 1 when a dataset has no unit.

Reads the intensities (SIM_MODE) or complex amplitudes (SIM_COHERENT_MODE)
on the tilt grid, places every disk at its position (in g1/2 tilt units),
and draws the pattern in mrad with the hkl of every disk and a colour bar.
Needs the Debian packages python3-h5py and python3-matplotlib.
"""
import sys

import h5py
import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402


def hkl_text(h):
    return " ".join(("$\\bar{%d}$" % -v) if v < 0 else str(v) for v in h)


def text(v):
    return v.decode() if isinstance(v, bytes) else str(v)


def describe(path):
    missing = []
    with h5py.File(path, "r") as f:
        def show(name, obj):
            if isinstance(obj, h5py.Dataset):
                unit = obj.attrs.get("unit")
                if unit is None:
                    missing.append(name)
                print("%-28s %-16s %s" % (name, obj.shape, text(unit) if unit is not None else "NO UNIT"))
        f.visititems(show)
        if "crystal" in f:
            c = f["crystal"]
            print("cell", " ".join("%g" % v for v in c["cell_lengths"][()]), "A,",
                  " ".join("%g" % v for v in c["cell_angles"][()]), "deg; space group", int(c["space_group"][0]))
            names = text(c["sites/name"][()]).split()
            for n, xyz, b, occ in zip(names, c["sites/xyz"][()], c["sites/B"][()], c["sites/occupancy"][()]):
                print("  %-6s %9.5f %9.5f %9.5f  B %.4g A^2  occ %.4g" % (n, *xyz, b, occ))
        if "beams" in f:
            print("beams: %d (%d exact)" % (len(f["beams/hkl"]), int(f["beams/exact"][()].sum())))
    if missing:
        print("datasets without a unit:", ", ".join(missing))
        return 1
    return 0


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    if sys.argv[1] == "--describe":
        if len(sys.argv) != 3:
            sys.exit(__doc__)
        sys.exit(describe(sys.argv[2]))
    path = sys.argv[1]
    t = int(sys.argv[2]) if len(sys.argv) > 2 else 0
    out = sys.argv[3] if len(sys.argv) > 3 else path.rsplit(".", 1)[0] + "_t%d.png" % t
    with h5py.File(path, "r") as f:
        a = f.attrs
        hkl = f["hkl"][()]
        pos = f["position_HG"][()]
        thick = f["thickness"][()]
        H, G = f["tilt/H"][()], f["tilt/G"][()]
        inside = f["tilt/inside"][()] == 1
        centre = a["tilt_centre_HG"]
        mrad = float(a["mrad_per_HG_unit"])
        radius = float(a["disk_radius_HG"])
        if "intensity" in f:
            values = f["intensity"][:, t, :]
        else:
            amp = f["amplitude"][:, t, :, :]
            values = amp[..., 0] ** 2 + amp[..., 1] ** 2
        crystal = text(a["crystal"])
        unit = text(f["intensity"].attrs.get("unit", b"")) if "intensity" in f else "|amplitude|^2"
        title = "%s [%s]  %g kV  t = %g Å  α = %.3g mrad" % (
            crystal, " ".join(str(v) for v in a["incidence"]), a["voltage_kV"], thick[t],
            a["convergence_semiangle_mrad"])
    dh, dg = H - centre[0], G - centre[1]
    fig, ax = plt.subplots(figsize=(9, 9), facecolor="black")
    ax.set_facecolor("black")
    vmax = values.max() if values.size else 1.0
    for i, (h, (x, y)) in enumerate(zip(hkl, pos)):
        sc = ax.scatter((x + dh[inside]) * mrad, (y + dg[inside]) * mrad, c=values[i, inside],
                        s=4, marker="s", cmap="viridis",
                        norm=matplotlib.colors.PowerNorm(0.5, vmin=0, vmax=vmax))
        ax.text(x * mrad, (y - radius) * mrad, hkl_text(h), color="white",
                ha="center", va="top", fontsize=7)
    ax.set_aspect("equal")
    ax.set_xlabel("tilt along g1 [mrad]", color="white")
    ax.set_ylabel("tilt along g2 [mrad] (up)", color="white")
    ax.tick_params(colors="white")
    ax.set_title(title, color="white")
    cb = fig.colorbar(sc, ax=ax, shrink=0.7)
    cb.set_label("intensity (%s)" % unit if unit else "intensity", color="white")
    cb.ax.tick_params(colors="white")
    fig.savefig(out, dpi=110, facecolor="black")
    print("==>", out)


if __name__ == "__main__":
    main()
