#!/usr/bin/python3
"""Checks data/korvexbk.dat against direct evaluation.

The file is read and interpolated here exactly as the programs do it (header
nodes, 10-line element entries, absorptive values listed with the B index
running fastest, V(i, j) = (f[i][j] 10/mlt_fct - 1e-6 add_fct) exp(X_j),
4-point Lagrange interpolation of the elastic factor in s, windowed
biquadratic interpolation of V below X = 2 and bicubic from X = 2 on), and
compared with

  1. the quadrature of gen_bk.py against the closed Gaussian form of the
     absorptive integral (5-Gaussian electron factors), and against a nested
     adaptive quadrature in the original variables (s', phi) for the factors
     the table is built from;
  2. the stored nodes against a fresh evaluation (V(i, j) = A, dt = 1000 f_e);
  3. the interpolated absorptive factor at off-node (B, s) points against
     the integral evaluated directly there;
  4. the B dependence: f' vanishes for B = 0 and grows with B at small B;
  5. the elastic factor against the International Tables 5-Gaussian
     electron factors (python3-gemmi, c4322) and the Hartree-Fock Mott
     factors (python3-xraylib);
  6. the Si reference values (B = 0.4632 A^2, 200 kV).

Run:  /usr/bin/python3 tools/verify_bk.py [table]    (exit status 1 on failure)
"""

import math
import os
import sys

import numpy as np
import gemmi
import xraylib
from scipy import integrate

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gen_bk as gen  # noqa: E402

# ------------------------------------------------------------ file reader


def _numbers(line):
    return [float(t) for t in line.replace(",", " ").replace("\t", " ").split()]


def _data_lines(path):
    """Non-comment lines ("%" or "#" first, COMMENT{ ... }COMMENT blocks
    skipped), line ends removed; every line must fit a 256-byte buffer."""
    out = []
    in_block = False
    with open(path) as fp:
        for raw in fp:
            assert len(raw) < 255, "line too long for the reader: %r" % raw
            if in_block:
                in_block = not raw.startswith("}COMMENT")
                continue
            if raw.startswith("COMMENT{"):
                in_block = True
                continue
            if raw[:1] in ("%", "#"):
                continue
            out.append(raw.rstrip("\r\n"))
    return out


def read_table(path):
    ln = _data_lines(path)
    hdr = {}
    assert ln[0].split()[0] == "DTS"
    hdr["dts"] = sum((_numbers(ln[1 + r]) for r in range(3)), [])
    assert ln[4].split()[0] == "GM"
    hdr["gm"] = _numbers(ln[5])
    assert ln[6].split()[0] == "GMS2"
    hdr["gms2"] = sum((_numbers(ln[7 + r]) for r in range(2)), [])
    assert [len(hdr[k]) for k in ("dts", "gm", "gms2")] == [27, 6, 10]
    for k in ("dts", "gm", "gms2"):
        assert all(b > a for a, b in zip(hdr[k], hdr[k][1:])), k
    table = {}
    k = 9
    while k < len(ln):
        name = ln[k]
        assert len(name.split()) == 1 and name == name.strip(), name
        mf = _numbers(ln[k + 1])
        dt = sum((_numbers(ln[k + 2 + r]) for r in range(3)), [])
        rows = [_numbers(ln[k + 5 + r]) for r in range(5)]
        assert len(mf) == 2 and mf[0] > 0.0, name
        assert len(dt) == 27, name
        assert [len(r) for r in rows] == [13, 13, 13, 13, 8], name
        f = [[0.0] * 10 for _ in range(6)]
        for m, v in enumerate(sum(rows, [])):
            f[m % 6][m // 6] = v
        assert name not in table, "duplicate entry " + name
        table[name] = dict(hdr, name=name, mlt=mf[0], add=mf[1], dt=dt, f=f)
        k += 10
    assert k == len(ln), "trailing lines"
    return table


# ------------------------------------------------------------ interpolation


def quad_int(x3, x, y3):
    x0, x1, x2 = x3
    return (y3[0] * (x - x1) * (x - x2) / ((x0 - x1) * (x0 - x2))
            + y3[1] * (x - x0) * (x - x2) / ((x1 - x0) * (x1 - x2))
            + y3[2] * (x - x0) * (x - x1) / ((x2 - x0) * (x2 - x1)))


def cub_int(x4, x, y4):
    tot = 0.0
    for i in range(4):
        term = y4[i]
        for j in range(4):
            if j != i:
                term *= (x - x4[j]) / (x4[i] - x4[j])
        tot += term
    return tot


def cub_int_2(x, n, nodes, values):
    k = n - 2
    for m in range(2, n - 2):
        if x < nodes[m]:
            k = m
            break
    return cub_int(nodes[k - 2:k + 2], x, values[k - 2:k + 2])


def table_v(t, i, j):
    return (t["f"][i][j] * (10.0 / t["mlt"]) - 1e-6 * t["add"]) \
        * math.exp(t["gms2"][j])


def fabs_bi_quad_int(t, bt, x, i, j):
    gm, gs = t["gm"], t["gms2"]
    col = [quad_int(gm[i - 2:i + 1], bt,
                    [table_v(t, ii, jj) for ii in (i - 2, i - 1, i)])
           for jj in (j - 2, j - 1, j)]
    return quad_int(gs[j - 2:j + 1], x, col)


def fabs_bi_cub_int(t, bt, x):
    gm, gs = t["gm"], t["gms2"]
    r = 0 if bt < gm[2] else (1 if bt < gm[3] else 2)
    q = 8
    for k in range(2, 8):
        if x < gs[k]:
            q = k
            break
    c = q - 2
    col = [cub_int(gm[r:r + 4], bt, [table_v(t, ii, jj)
                                      for ii in range(r, r + 4)])
           for jj in range(c, c + 4)]
    return cub_int(gs[c:c + 4], x, col)


def absorptive_ratio(t, bt, x):
    """Interpolated A = beta f'_0 / f_e at (B, X = B s^2)."""
    gm, gs = t["gm"], t["gms2"]
    if x >= 2.0:
        return fabs_bi_cub_int(t, bt, x)
    bi = next((k for k in range(1, 5) if bt < gm[k]), 5)
    bj = next((k for k in range(1, 9) if x < gs[k]), 9)

    def q(i, j):
        return fabs_bi_quad_int(t, bt, x, i, j)

    if bj == 1:
        if bi == 1:
            return 0.25 * (q(2, 2) + q(2, 3) + q(3, 2) + q(3, 3))
        if bi <= 4:
            return 0.5 * (q(bi, 2) + q(bi + 1, 2))
        return q(5, 2)
    ip = max(bi, 2)
    if ip == 5:
        return q(5, 9) if bj == 9 else 0.5 * (q(5, bj) + q(5, bj + 1))
    if bj == 9:
        return 0.5 * (q(ip, 9) + q(ip + 1, 9))
    return 0.25 * (q(ip, bj) + q(ip, bj + 1) + q(ip + 1, bj)
                   + q(ip + 1, bj + 1))


def beta_of(kv):
    return math.sqrt(1.0 - 261127.0 / ((1022.0 + kv) * kv + 261127.0))


def atom_bk(t, s, b, kv):
    """(status, elastic, absorptive), both factors in angstrom."""
    if s > t["dts"][26]:
        return 1, 0.0, 0.0
    if s < 0.0:
        return 3, 0.0, 0.0
    if kv <= 0.0 or kv > 10000.0:
        return 4, 0.0, 0.0
    gm, gs = t["gm"], t["gms2"]
    status, bt = 0, b
    if b < 0.0:
        status, bt = 2, 0.0
    elif b > gm[5]:
        status, bt = 2, gm[5]
    x = s * s * b
    fel = cub_int_2(s, 27, t["dts"], t["dt"]) / 1000.0
    if bt < gm[0] or x > gs[9]:
        return status, fel, 0.0
    return status, fel, fel / beta_of(kv) * absorptive_ratio(t, bt, x)


# ------------------------------------------------------------ checks

FAILS = []


def check(ok, what):
    print(("  ok    " if ok else "  FAIL  ") + what)
    if not ok:
        FAILS.append(what)


def closed_gaussian(a, b, s, bf):
    """I(s, B) for f_e = sum a_i exp(-b_i s^2), in closed form."""
    def j(al, be, ga):
        tot = al + be + ga
        return math.pi / tot * np.exp((2 * be + ga) ** 2 * s * s / (4 * tot)
                                      - be * s * s)
    al, be = b[:, None], b[None, :]
    return float((a[:, None] * a[None, :]
                  * (j(al, be, 0.0) - j(al, be, 2.0 * bf))).sum())


def nested_quadrature(fe, s, bf):
    """I(s, B) by adaptive quadrature in s' (mapped to [0, 1)) and the angle
    between s' and s, for an independent check of the production rule."""
    def inner(sp):
        def g(phi):
            c = math.cos(phi)
            d = math.sqrt(max(s * s + sp * sp - 2.0 * s * sp * c, 0.0))
            return float(fe(np.array(d))) * -math.expm1(
                -2.0 * bf * (sp * sp - sp * s * c))
        pts = [0.0, 0.02, 0.1, 0.4] if abs(sp - s) < 0.5 else None
        v, _ = integrate.quad(g, 0.0, math.pi, points=pts, limit=200,
                              epsabs=1e-12, epsrel=1e-9)
        return 2.0 * v * sp * float(fe(np.array(sp)))

    def outer(u):
        sp = u / (1.0 - u)
        return inner(sp) / (1.0 - u) ** 2
    brk = [s / (1.0 + s)] if s > 0 else None
    v, _ = integrate.quad(outer, 0.0, 1.0, points=brk, limit=400,
                          epsabs=1e-11, epsrel=1e-8)
    return v


def check_quadrature():
    print("1. quadrature")
    worst = 0.0
    for z in (1, 14, 29, 79):
        co = gemmi.Element(z).c4322.get_coefs()
        a, b = np.array(co[:5]), np.array(co[5:])

        def fe(s, a=a, b=b):
            s = np.asarray(s, dtype=float)
            return (a * np.exp(-b * (s * s)[..., None])).sum(-1)
        for s in (0.0, 0.3, 1.0, 2.5):
            for bf in (0.1, 0.5, 3.0):
                q = gen.absorptive_integral(fe, s, [bf])[0]
                c = closed_gaussian(a, b, s, bf)
                worst = max(worst, abs(q - c) / abs(closed_gaussian(
                    a, b, 0.0, bf)))
    print("     5-Gaussian factors, quadrature vs closed form: worst %.1e "
          "(relative to I(0, B))" % worst)
    check(worst < 1e-6, "production quadrature = closed Gaussian form")
    worst = 0.0
    for z, s, bf in ((14, 0.0, 0.4632), (14, 0.7, 0.4632), (79, 0.3, 0.2),
                     (79, 1.5, 1.0), (1, 0.5, 1.5), (56, 0.1, 0.1)):
        el = gen.Element(z)
        q = gen.absorptive_integral(el.fe, s, [bf])[0]
        n = nested_quadrature(el.fe, s, bf)
        r = abs(q - n) / abs(gen.absorptive_integral(el.fe, 0.0, [bf])[0])
        worst = max(worst, r)
        print("     %-2s s=%.2f B=%.4f  production %.8f  nested %.8f"
              % (el.name, s, bf, q, n))
    print("     table factors, production vs nested adaptive: worst %.1e"
          % worst)
    check(worst < 1e-5, "production quadrature = nested adaptive quadrature")


def check_nodes(tab):
    print("2. stored nodes")
    worst_v = worst_dt = 0.0
    for z in (1, 6, 14, 26, 56, 79, 98):
        el = gen.Element(z)
        t = tab[el.name]
        a = gen.absorptive_table(el, np.array(t["gm"]), np.array(t["gms2"]))
        scale = np.abs(a * np.exp(-np.array(t["gms2"]))).max()
        for i in range(6):
            for j in range(10):
                d = abs(table_v(t, i, j) - a[i, j]) \
                    * math.exp(-t["gms2"][j]) / scale
                worst_v = max(worst_v, d)
        fe = el.fe(np.array(t["dts"]))
        worst_dt = max(worst_dt, float(np.max(np.abs(
            np.array(t["dt"]) / 1000.0 - fe) / fe)))
    print("     V(i,j) vs A: worst %.1e of the row scale; dt vs 1000 f_e: "
          "worst %.1e" % (worst_v, worst_dt))
    check(worst_v < 1e-5 and worst_dt < 1e-5, "nodes reproduce A and f_e")
    names = [gemmi.Element(z).name for z in range(1, gen.Z_MAX + 1)]
    check(sorted(tab) == sorted(names), "entries H to Cf, each once")


B_TEST = (0.1, 0.13, 0.17, 0.23, 0.3, 0.45, 0.6, 0.85, 1.1, 1.45, 1.9,
          2.4, 3.0)
S_TEST = tuple([0.0, 0.015, 0.04, 0.07] + [0.05 + 0.05 * k + 0.017
                                          for k in range(39)])
ELEMENTS = (1, 2, 3, 6, 8, 11, 14, 19, 26, 29, 32, 38, 42, 47, 55, 56, 64,
            74, 79, 82, 92, 98)


def check_interpolation(tab):
    """Off-node error of f' exp(-B s^2): relative to the forward value at
    the same B everywhere, and relative to the value itself where that is at
    least a fifth of the forward value."""
    print("3. absorptive factor at off-node points (B 0.1..3, s 0..2)")
    rules = (gen._radial_rule(), gen._angular_rule())
    w_fwd = (0.0,)
    w_rel = (0.0,)
    for z in ELEMENTS:
        el = gen.Element(z)
        t = tab[el.name]
        bs = np.array(B_TEST)
        fwd = gen.KABS * gen.absorptive_integral(el.fe, 0.0, bs, rules)
        e_fwd = e_rel = 0.0
        for s in S_TEST:
            direct = gen.KABS * gen.absorptive_integral(el.fe, s, bs, rules)
            for i, bf in enumerate(bs):
                st, _, ab = atom_bk(t, s, bf, 200.0)
                got = ab * beta_of(200.0) * math.exp(-bf * s * s)
                want = direct[i] * math.exp(-bf * s * s)
                d = abs(got - want)
                e1 = d / fwd[i]
                if e1 > w_fwd[0]:
                    w_fwd = (e1, el.name, bf, s)
                e_fwd = max(e_fwd, e1)
                if abs(want) >= 0.2 * fwd[i]:
                    e2 = d / abs(want)
                    e_rel = max(e_rel, e2)
                    if e2 > w_rel[0]:
                        w_rel = (e2, el.name, bf, s)
        print("     %-2s worst %.2f%% of forward, %.2f%% relative"
              % (el.name, 100 * e_fwd, 100 * e_rel))
    print("     overall: %.2f%% of forward (%s B=%.2f s=%.3f); %.2f%% "
          "relative (%s B=%.2f s=%.3f)" % (100 * w_fwd[0], w_fwd[1],
                                           w_fwd[2], w_fwd[3],
                                           100 * w_rel[0], w_rel[1],
                                           w_rel[2], w_rel[3]))
    # The elastic factor follows the International Tables electron fits up
    # to s = 2; for the diffuse atoms (alkali metals above all) they fall up
    # to 20 % below the Hartree-Fock form between s = 1.8 and 2, so that
    # A = beta f'/f_e rises by as much along the line X = 3.6 B across the
    # node grid. The nodes of gen_bk.py (tools/tune_bk_nodes.py) hold Cs, the
    # worst, to 3.2 % and 7.9 %, every element but the alkali atoms and H to
    # 2.8 % and 5 %.
    check(w_fwd[0] < 0.035, "interpolated f' exp(-Bs^2) within 3.5% of the "
          "forward value of the direct integral")
    check(w_rel[0] < 0.09, "within 9% relative where it is over a fifth of "
          "the forward value")


def check_b_dependence(tab):
    print("4. B dependence")
    ok = True
    for z in (1, 14, 29, 79, 98):
        el = gen.Element(z)
        for s in (0.0, 0.5, 1.0):
            i0 = gen.absorptive_integral(el.fe, s, [0.0])[0]
            ib = gen.absorptive_integral(el.fe, s, [0.01, 0.02, 0.05, 0.1,
                                                    0.2])
            ok &= i0 == 0.0 and bool(np.all(np.diff(ib) > 0.0)) \
                and ib[0] > 0.0
        t = tab[el.name]
        st, _, ab = atom_bk(t, 0.5, 0.0, 200.0)
        ok &= st == 0 and ab == 0.0
        vals = [atom_bk(t, 0.0, bf, 200.0)[2] for bf in
                (0.1, 0.15, 0.2, 0.3, 0.5, 0.8)]
        ok &= all(b > a > 0.0 for a, b in zip(vals, vals[1:]))
        print("     %-2s f'(s=0) at B=0.1..0.8: %s" % (
            el.name, " ".join("%.4f" % v for v in vals)))
    check(ok, "f' = 0 at B = 0, grows with B at small B (direct and table)")


def check_elastic(tab):
    """The interpolated elastic factor of the table against the International
    Tables 5-Gaussian electron factors (c4322) and against the Mott formula
    applied to the Hartree-Fock X-ray factors of xraylib (meaningful from
    s = 0.3 on: below, Z - f_x is a small difference of tabulated numbers)."""
    print("5. elastic factor (table, interpolated) vs independent factors")
    ss = np.linspace(0.005, 2.0, 400)
    worst_either = (0.0,)
    print("     max |ratio - 1| in %:      table/c4322               "
          "table/HF   c4322/HF")
    print("                          s<0.1  0.1-1.5  1.5-2           "
          "0.3-2      0.3-2")
    for z in ELEMENTS:
        el = gen.Element(z)
        t = tab[el.name]
        co = gemmi.Element(z).c4322.get_coefs()
        a, b = np.array(co[:5]), np.array(co[5:])
        fc = (a * np.exp(-b * ss[:, None] ** 2)).sum(1)
        fh = gen.C_MOTT * (z - np.array([xraylib.FF_Rayl(z, s) for s in ss])) \
            / ss ** 2
        ft = np.array([atom_bk(t, s, 0.5, 200.0)[1] for s in ss])
        rc, rh, rch = np.abs(ft / fc - 1), np.abs(ft / fh - 1), \
            np.abs(fc / fh - 1)
        hi = ss >= 0.3
        either = np.minimum(rc, rh)[hi]
        if z != 1 and either.max() > worst_either[0]:
            worst_either = (either.max(), el.name, ss[hi][either.argmax()])
        m1, m2, m3 = ss <= 0.1, (ss > 0.1) & (ss <= 1.5), ss > 1.5
        print("     %-2s %20.1f %8.1f %6.1f %18.1f %10.1f"
              % (el.name, 100 * rc[m1].max(), 100 * rc[m2].max(),
                 100 * rc[m3].max(), 100 * rh[hi].max(), 100 * rch[hi].max()))
    print("     worst over 0.3 <= s <= 2 against the nearer reference (H "
          "excluded): %.2f%% (%s, s=%.2f)" % (100 * worst_either[0],
                                             worst_either[1],
                                             worst_either[2]))
    check(worst_either[0] < 0.02, "elastic factor within 2% of c4322 or of "
          "the Hartree-Fock Mott factor over 0.3 <= s <= 2 (H excluded)")
    # the table against c4322 through the reader's interpolation, every
    # element, 0 < s <= 2 (the range the table follows c4322)
    worst_c = (0.0,)
    sc = np.linspace(0.005, 2.0, 400)
    for z in range(1, gen.Z_MAX + 1):
        el = gen.Element(z)
        t = tab[el.name]
        fc = el.fe_c4322(sc)
        ft = np.array([atom_bk(t, s, 0.0, 200.0)[1] for s in sc])
        r = np.abs(ft / fc - 1)
        if r.max() > worst_c[0]:
            worst_c = (r.max(), el.name, sc[r.argmax()])
    print("     table vs c4322 over 0 < s <= 2, all elements: worst %.2f%% "
          "(%s, s=%.3f)" % (100 * worst_c[0], worst_c[1], worst_c[2]))
    check(worst_c[0] < 0.01, "elastic factor within 1% of c4322 for "
          "0 < s <= 2, every element")
    # interpolation error of the elastic column alone, all elements
    worst = (0.0,)
    for z in range(1, gen.Z_MAX + 1):
        el = gen.Element(z)
        t = tab[el.name]
        sg = np.linspace(0.0, t["dts"][26], 900)
        fe = el.fe(sg)
        fi = np.array([cub_int_2(s, 27, t["dts"], t["dt"]) / 1000.0
                       for s in sg])
        r = np.abs(fi / fe - 1)
        if r.max() > worst[0]:
            worst = (r.max(), el.name, sg[r.argmax()])
    print("     interpolation of dt over 0..%.1f, all elements: worst %.2f%% "
          "(%s, s=%.2f)" % (t["dts"][26], 100 * worst[0], worst[1], worst[2]))
    # Above s = 2 the join to the Hartree-Fock form bends f_e more sharply
    # than the nodes 2.0, 2.25, 2.6 resolve (hydrogen worst).
    check(worst[0] < 0.06, "elastic interpolation within 6% (1% up to s = 2, "
          "checked above)")


def check_si_reference(tab):
    print("6. Si reference, B = 0.4632, 200 kV: f'_0 exp(-B s^2)")
    el = gen.Element(14)
    bf, beta = 0.4632, beta_of(200.0)

    def it92_only(s):
        s = np.asarray(s, dtype=float)
        s2 = s * s
        x = el.b * s2[..., None]
        safe = np.where(s2 > 0.0, s2, 1.0)[..., None]
        term = np.where(x < 1e-8, el.b * (1.0 - 0.5 * x), -np.expm1(-x) / safe)
        return gen.C_MOTT * (el.a * term).sum(-1)
    ref = (0.03666, 0.03090, 0.01086)
    fwd = gen.KABS / beta * gen.absorptive_integral(el.fe, 0.0, [bf])[0]
    ok = True
    for s, r in zip((0.0, 0.3, 1.0), ref):
        dw = math.exp(-bf * s * s)
        p = gen.KABS / beta * gen.absorptive_integral(it92_only, s, [bf])[0] \
            * dw
        j = gen.KABS / beta * gen.absorptive_integral(el.fe, s, [bf])[0] * dw
        tb = atom_bk(tab["Si"], s, bf, 200.0)[2] * dw
        print("     s=%.1f  reference %.5f  IT92 only %.5f  with the "
              "high-angle join %.5f (%+.1f%%)  table %.5f"
              % (s, r, p, j, 100 * (j / p - 1), tb))
        ok &= abs(p - r) < 6e-6 and abs(tb - j) < 0.02 * fwd
    check(ok, "Si reference values reproduced by the integral; table "
          "within 2% of the forward value")


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    path = argv[1] if len(argv) > 1 else os.path.join(here, "..", "data",
                                                      "korvexbk.dat")
    tab = read_table(path)
    print("read %s: %d elements" % (path, len(tab)))
    check_quadrature()
    check_nodes(tab)
    check_interpolation(tab)
    check_b_dependence(tab)
    check_elastic(tab)
    check_si_reference(tab)
    print("%d failed" % len(FAILS))
    return 1 if FAILS else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
