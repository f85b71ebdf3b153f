#!/usr/bin/python3
"""Redraw a labelled CBED pattern from the HDF5 export of korvex.

usage: tools/h5_cbed.py RESULT.h5 [thickness_index] [out.png]

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


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
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
        crystal = a["crystal"].decode() if isinstance(a["crystal"], bytes) else a["crystal"]
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
    cb.set_label("intensity", color="white")
    cb.ax.tick_params(colors="white")
    fig.savefig(out, dpi=110, facecolor="black")
    print("==>", out)


if __name__ == "__main__":
    main()
