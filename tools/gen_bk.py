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

Elastic factor f_e (Mott formula, f_e = C (Z - f_x(s)) / s^2,
C = m0 e^2 / (8 pi eps0 h^2) = 1 / (8 pi^2 a0) = 0.02393366 1/angstrom):
  * s <= S_LO: neutral-atom form C sum a_i (1 - exp(-b_i s^2)) / s^2 with the
    International Tables (1992) four-Gaussian X-ray coefficients carried by
    python3-gemmi (finite at s = 0, where it is C sum a_i b_i);
  * s >= S_HI: C (Z - F(s)) / s^2 with F the Hartree-Fock based atomic form
    factor of Hubbell et al. (1975) as tabulated by python3-xraylib (FF_Rayl,
    valid to arbitrarily high s), so that f_e tends to the unscreened
    Rutherford form C Z / s^2;
  * in between, the nuclear charge (sum a_i + c -> Z) and the X-ray factor
    are both blended with the smooth step w = 3t^2 - 2t^3,
    t = (s - S_LO) / (S_HI - S_LO), so f_e and its slope are continuous.

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
S_LO, S_HI = 1.5, 2.0    # blend window between the IT92 and the HF forms
Z_MAX = 98               # Cf

# ---------------------------------------------------------------- table nodes
DTS = np.array([0.00, 0.03, 0.06, 0.10, 0.14, 0.19, 0.24, 0.30, 0.37,
                0.45, 0.55, 0.65, 0.77, 0.91, 1.07, 1.25, 1.45, 1.70,
                1.95, 2.25, 2.60, 3.00, 3.45, 4.00, 4.60, 5.25, 6.00])
GM = np.array([0.1, 0.115, 0.28, 0.69, 1.72, 3.2])
GMS2 = np.array([0.0, 0.00035, 0.00145, 0.0062, 0.016, 0.054, 0.17, 0.6,
                 1.75, 4.4])

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
        co = el.it92.get_coefs()          # a1..a4, b1..b4, c
        self.a = np.array(co[0:4])
        self.b = np.array(co[4:8])
        self.c = co[8]
        self.z_fit = float(self.a.sum() + self.c)
        # high-angle X-ray factor on a log grid, interpolated by a cubic
        # spline in log s (the tabulation is smooth and monotonic there)
        ls = np.linspace(math.log(0.8 * S_LO), math.log(400.0), 1500)
        fx = np.array([xraylib.FF_Rayl(z, math.exp(v)) for v in ls])
        self._hf = CubicSpline(ls, fx)
        self._ls_max = ls[-1]

    def fx_it92(self, s2):
        return (self.a * np.exp(-self.b * s2[..., None])).sum(-1) + self.c

    def fx_hf(self, s):
        ls = np.log(np.maximum(s, 0.8 * S_LO))
        out = self._hf(np.minimum(ls, self._ls_max))
        return np.where(s > 400.0, 0.0, out)

    def fe(self, s):
        """Elastic electron scattering factor (angstrom) at s (1/angstrom)."""
        s = np.asarray(s, dtype=float)
        s2 = s * s
        # neutral-atom Mott form, with the small-s limit handled by expm1
        x = self.b * s2[..., None]
        safe = np.where(s2 > 0.0, s2, 1.0)[..., None]
        term = np.where(x < 1e-8, self.b * (1.0 - 0.5 * x),
                        -np.expm1(-x) / safe)
        lo = C_MOTT * (self.a * term).sum(-1)
        if not np.any(s > S_LO):
            return lo
        t = np.clip((s - S_LO) / (S_HI - S_LO), 0.0, 1.0)
        w = t * t * (3.0 - 2.0 * t)
        sh = np.maximum(s, S_LO)
        zeff = (1.0 - w) * self.z_fit + w * self.z
        fx = (1.0 - w) * self.fx_it92(sh * sh) + w * self.fx_hf(sh)
        hi = C_MOTT * (zeff - fx) / (sh * sh)
        return np.where(s > S_LO, hi, lo)


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
    out.append("# Elastic: Mott formula from the IT92 four-Gaussian X-ray")
    out.append("# factors (s <= %.1f 1/A), joined to Hartree-Fock form factors"
               % S_LO)
    out.append("# (s >= %.1f 1/A); dt in 1/1000 angstrom at the DTS nodes."
               % S_HI)
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
