#!/usr/bin/python3
"""Generate data/korvexbk.dat: elastic and absorptive electron scattering
factors of the neutral atoms H (Z=1) to Cf (Z=98).

Physics (Einstein model of thermal diffuse scattering; Hall & Hirsch 1965,
Bird & King 1990, Weickenmeier & Kohl 1991):

  f'_0(s, B) = (2h / (m0 v)) * I(s, B)
  I(s, B)    = integral over the plane d^2s' f_e(|s'|) f_e(|s - s'|)
                                     * [1 - exp(-2 B (s'^2 - s'.s))]

with s = |g|/2 in 1/angstrom, f_e in angstrom, B in angstrom^2 and m0 the
electron rest mass.  2h/(m0 c) is twice the Compton wavelength, so
beta f'_0 = KABS * I with KABS = 0.0485262 angstrom, independent of the
voltage.  The table stores, per element,

  dt[k]    = 1000 f_e(dts[k])                      (1/1000 angstrom)
  A(B, X)  = beta f'_0(s, B) / f_e(s),  s = sqrt(X / B)  (no Debye-Waller)

and the absorptive values are written as f[i][j] = (mlt/10) (A exp(-X_j)
+ 1e-6 add), which the reader turns back into A(i, j) = (f[i][j] 10/mlt
- 1e-6 add) exp(X_j).  The reader returns f' = f_e A / beta.

Elastic factor f_e:
  * s <= S_JOIN = 2: the five-Gaussian electron factors of the International
    Tables Vol. C, Table 4.3.2.2 (python3-gemmi, Element(Z).c4322), fitted
    to relativistic Hartree-Fock factors over 0 <= s <= 2 and accurate at
    small s, where any Mott factor from four-Gaussian X-ray fits loses the
    difference Z - f_x;
  * s > S_JOIN: r(s) f_HF(s), with f_HF = C (Z - F(s)) / s^2 the Mott
    factor (C = m0 e^2 / (8 pi eps0 h^2) = 1 / (8 pi^2 a0) = 0.02393366
    1/angstrom) of the Hartree-Fock based atomic form factor F of Hubbell et
    al. (1975) as tabulated by python3-xraylib (FF_Rayl, valid to
    arbitrarily high s), so that f_e tends to the unscreened Rutherford form
    C Z / s^2.  The ratio r(x) = 1 + (r0 - 1 + (r1 + k (r0 - 1)) x) exp(-k x),
    x = s - 2, k = K_JOIN, starts at r0 = f_c / f_HF with the slope r1 of
    that ratio at s = 2 (f_e and its slope are continuous) and relaxes to 1;
    the Gaussians themselves are never used above s = 2, where they fall
    far too fast.

Quadrature: with p = s' - s/2 the bracket becomes 1 - exp(B s^2/2 - 2 B p^2),
which depends on |p| only.  In polar coordinates (p, phi) the angular integral
of f_e(|p + s/2|) f_e(|p - s/2|) is independent of B and is done once per s
(Gauss-Legendre in phi = (pi/2) u^2 on a quarter turn, clustering points where
|p - s/2| passes near zero); the radial integral maps p = P_C t / (1 - t),
t in (0, 1), onto Gauss-Legendre points, which resolves small p and carries
the 1/p^3 tail of the integrand to infinity.

Run:  /usr/bin/python3 tools/gen_bk.py [output]   (default data/korvexbk.dat)
Needs python3-numpy, python3-scipy, python3-gemmi and python3-xraylib
(Debian packages); takes about 1.5 minutes on one core.
"""

import math
import os
import sys
import time

import numpy as np
import gemmi
import xraylib
from scipy.interpolate import CubicSpline

# ---------------------------------------------------------------- constants
C_MOTT = 0.02393366      # m0 e^2 / (8 pi eps0 h^2), 1/angstrom
KABS = 0.0485262         # 2 h / (m0 c), angstrom
S_JOIN = 2.0             # c4322 below, Hartree-Fock form above (1/angstrom)
K_JOIN = 3.0             # decay rate of the join correction (angstrom)
Z_MAX = 98               # Cf

# ---------------------------------------------------------------- table nodes
DTS = np.array([0.00, 0.03, 0.06, 0.10, 0.14, 0.19, 0.24, 0.30, 0.37,
                0.45, 0.55, 0.65, 0.77, 0.91, 1.07, 1.25, 1.45, 1.70,
                2.00, 2.25, 2.60, 3.00, 3.45, 4.00, 4.60, 5.25, 6.00])
# The absorptive grid: B nodes GM (A^2) and X = B s^2 nodes GMS2.  The
# reader fixes GM[0] = 0.1, GM[5] = 3.2 and GMS2[9] = 4.4; the inner nodes
# were chosen by tools/tune_bk_nodes.py to minimise the largest error of f'
# as the reader interpolates it (windowed biquadratic below X = 2, bicubic
# above) against the direct integral over B 0.1..3, s 0..2.  What sets them
# is the International Tables electron factor near s = 2: for the diffuse
# atoms (alkali metals, H) it falls up to 20 % below the Hartree-Fock form
# between s = 1.8 and 2, so A = beta f'/f_e rises by as much there, along
# the line X = 3.6 B that cuts across the whole grid.  Nodes near X = 0.2
# and 0.49 follow that rise at small B; GM[1] stays near 0.1 because the
# reader extrapolates the window of GM[1..3] down to B = 0.1.
GM = np.array([0.1, 0.15, 0.327, 0.716, 1.88, 3.2])
GMS2 = np.array([0.0, 0.000195, 0.00116, 0.00382, 0.0125, 0.0526, 0.201,
                 0.488, 1.5, 4.4])

# ---------------------------------------------------------------- quadrature
N_P = 320     # radial Gauss-Legendre points
N_PHI = 160   # angular Gauss-Legendre points on a quarter turn
P_C = 1.0     # radial map scale, 1/angstrom


def _radial_rule(n=N_P, pc=P_C):
    t, w = np.polynomial.legendre.leggauss(n)
    t = 0.5 * (t + 1.0)
    w = 0.5 * w
    p = pc * t / (1.0 - t)
    dp = w * pc / (1.0 - t) ** 2
    return p, dp


def _angular_rule(n=N_PHI):
    u, w = np.polynomial.legendre.leggauss(n)
    u = 0.5 * (u + 1.0)
    w = 0.5 * w
    phi = 0.5 * math.pi * u * u
    # quarter turn, symmetric images counted four times
    dphi = 4.0 * math.pi * u * w
    return np.cos(phi), dphi


class Element:
    """Electron scattering factor f_e(s) of one neutral atom."""

    def __init__(self, z):
        el = gemmi.Element(z)
        self.z = z
        self.name = el.name
        co = el.c4322.get_coefs()         # a1..a5, b1..b5 (angstrom, A^2)
        self.ea = np.array(co[0:5])
        self.eb = np.array(co[5:10])
        co = el.it92.get_coefs()          # a1..a4, b1..b4, c (X-ray)
        self.a = np.array(co[0:4])
        self.b = np.array(co[4:8])
        self.c = co[8]
        # high-angle X-ray factor on a log grid, interpolated by a cubic
        # spline in log s (the tabulation is smooth and monotonic there)
        ls = np.linspace(math.log(0.8 * S_JOIN), math.log(400.0), 1500)
        fx = np.array([xraylib.FF_Rayl(z, math.exp(v)) for v in ls])
        self._hf = CubicSpline(ls, fx)
        self._ls_max = ls[-1]

    def fe_c4322(self, s):
        """Five-Gaussian electron factor of the International Tables."""
        s = np.asarray(s, dtype=float)
        return (self.ea * np.exp(-self.eb * (s * s)[..., None])).sum(-1)

    def fx_hf(self, s):
        ls = np.log(np.maximum(s, 0.8 * S_JOIN))
        out = self._hf(np.minimum(ls, self._ls_max))
        return np.where(s > 400.0, 0.0, out)

    def fe_hf(self, s):
        """Mott factor of the Hartree-Fock X-ray factor (s >= S_JOIN)."""
        sh = np.maximum(np.asarray(s, dtype=float), S_JOIN)
        return C_MOTT * (self.z - self.fx_hf(sh)) / (sh * sh)

    def join(self):
        """Ratio r0 = f_c/f_HF and its slope at s = S_JOIN (central
        difference; both forms are smooth there)."""
        h = 1e-4
        sj = np.array([S_JOIN - h, S_JOIN, S_JOIN + h])
        r = self.fe_c4322(sj) / self.fe_hf(sj)
        return r[1], (r[2] - r[0]) / (2.0 * h)

    def fe(self, s):
        """Elastic electron scattering factor (angstrom) at s (1/angstrom)."""
        s = np.asarray(s, dtype=float)
        lo = self.fe_c4322(s)
        if not np.any(s > S_JOIN):
            return lo
        # above the join, f_HF times a ratio that starts at f_c/f_HF with
        # its slope (so f_e and its slope are continuous) and relaxes to 1
        r0, r1 = self.join()
        x = np.maximum(s - S_JOIN, 0.0)
        ratio = 1.0 + ((r0 - 1.0) + (r1 + K_JOIN * (r0 - 1.0)) * x) \
            * np.exp(-K_JOIN * x)
        return np.where(s > S_JOIN, ratio * self.fe_hf(s), lo)


def angular_sum(fe, s, p, cphi, dphi):
    """G(p) = integral over phi of f_e(|p + s/2|) f_e(|p - s/2|), all p."""
    r2 = p[:, None] ** 2 + 0.25 * s * s
    ps = p[:, None] * s * cphi[None, :]
    ga = fe(np.sqrt(r2 + ps))
    gb = fe(np.sqrt(np.maximum(r2 - ps, 0.0)))
    return (ga * gb * dphi[None, :]).sum(1)


def absorptive_integral(fe, s, bs, rules=None):
    """I(s, B) for one s and an array of B values."""
    if rules is None:
        rules = (_radial_rule(), _angular_rule())
    (p, dp), (cphi, dphi) = rules
    g = angular_sum(fe, s, p, cphi, dphi) * p * dp
    bs = np.atleast_1d(np.asarray(bs, dtype=float))
    expo = 0.5 * bs[:, None] * s * s - 2.0 * bs[:, None] * p[None, :] ** 2
    bracket = -np.expm1(expo)
    return (bracket * g[None, :]).sum(1)


def absorptive_table(elem, gm=GM, gms2=GMS2, rules=None):
    """A(B_i, X_j) = beta f'_0 / f_e on the node grid."""
    if rules is None:
        rules = (_radial_rule(), _angular_rule())
    a = np.zeros((len(gm), len(gms2)))
    # X = 0 is s = 0 for every B
    for j, x in enumerate(gms2):
        if x == 0.0:
            a[:, j] = KABS * absorptive_integral(elem.fe, 0.0, gm, rules) \
                / elem.fe(0.0)
            continue
        for i, b in enumerate(gm):
            s = math.sqrt(x / b)
            a[i, j] = KABS * absorptive_integral(elem.fe, s, [b], rules)[0] \
                / elem.fe(s)
    return a


def scale_row(a, gms2=GMS2):
    """mlt_fct, add_fct and the stored f[i][j] for the table A."""
    damped = a * np.exp(-gms2)[None, :]
    lo = damped.min()
    # shift so every stored number is non-negative, in units of 1e-6
    add = 0.0 if lo >= 0.0 else math.ceil(-lo * 1e6 * 1.01)
    top = (damped + 1e-6 * add).max()
    # power of ten that puts the largest stored value between 1000 and 10000
    mlt = 10.0 ** (4 - math.floor(math.log10(top)))
    f = (mlt / 10.0) * (damped + 1e-6 * add)
    return mlt, add, f


def _fmt_line(vals, fmt):
    return " ".join(fmt % v for v in vals)


def write_table(path, entries):
    out = []
    out.append("# Electron scattering factors of the neutral atoms H to Cf.")
    out.append("# Elastic: International Tables Vol. C 4.3.2.2 electron factors")
    out.append("# (s <= %.1f 1/A), joined in value and slope to the Mott factor"
               % S_JOIN)
    out.append("# of Hartree-Fock form factors above; dt in 1/1000 angstrom at")
    out.append("# the DTS nodes.")
    out.append("# Absorptive: Einstein-model TDS, A(B, X=B s^2) = beta f'_0 / "
               "f_e, stored")
    out.append("# as f = (mlt_fct/10) (A exp(-X) + 1e-6 add_fct); "
               "f' = f_e A / beta.")
    out.append("# Generated by tools/gen_bk.py; see data/README.md.")
    out.append("DTS")
    for k in range(3):
        out.append(_fmt_line(DTS[9 * k:9 * k + 9], "%.3f"))
    out.append("GM")
    out.append(_fmt_line(GM, "%.4g"))
    out.append("GMS2")
    for k in range(2):
        out.append(_fmt_line(GMS2[5 * k:5 * k + 5], "%.4g"))
    for e in entries:
        out.append(e["name"])
        out.append("%.6g %.6g" % (e["mlt"], e["add"]))
        for k in range(3):
            out.append(_fmt_line(e["dt"][9 * k:9 * k + 9], "%.6g"))
        # file order: gm index fastest, value k -> f[k % 6][k // 6]
        flat = e["f"].T.reshape(-1)
        for k in range(4):
            out.append(_fmt_line(flat[13 * k:13 * k + 13], "%.3f"))
        out.append(_fmt_line(flat[52:60], "%.3f"))
    for line in out:
        assert len(line) < 200, line
    with open(path, "w") as fp:
        fp.write("\n".join(out) + "\n")


def build_entry(z, rules=None):
    elem = Element(z)
    dt = 1000.0 * elem.fe(DTS)
    a = absorptive_table(elem, rules=rules)
    mlt, add, f = scale_row(a)
    return {"name": elem.name, "z": z, "dt": dt, "a": a, "mlt": mlt,
            "add": add, "f": f}


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    path = argv[1] if len(argv) > 1 else os.path.join(here, "..", "data",
                                                      "korvexbk.dat")
    rules = (_radial_rule(), _angular_rule())
    t0 = time.time()
    entries = []
    for z in range(1, Z_MAX + 1):
        entries.append(build_entry(z, rules))
        if z % 10 == 0:
            print("  Z = %d done, %.0f s" % (z, time.time() - t0),
                  file=sys.stderr)
    write_table(path, entries)
    print("wrote %s (%d entries) in %.0f s" % (path, len(entries),
                                               time.time() - t0))


if __name__ == "__main__":
    main(sys.argv)
