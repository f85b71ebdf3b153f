#!/usr/bin/python3
"""Synthetic CBED measurement of silicon (or copper, --crystal cu) [110] at 200 kV
for the refinement job.

korvex simulates the pattern at known ("true") values of the 111 and 220
structure factors, the Debye-Waller factor B, the thickness and the scale; the
tool adds Poisson noise at a given seed, displaces every reflection's disk by
a known shift (whole grid steps), and writes

  <name>_int.txt   the measured intensities and deviations (FIT_EXPDATA_RAW)
  <name>.dat       the fit-mode file that refines f111_re, f220_re, B,
                   thickness and scale from a start several per cent off
  <name>_true.txt  the true values, one "name value" line each

Measured point u of reflection r holds the simulated value at u + shift_r, so
the fit-mode file carries H_shift, G_shift = shift_r (FIX).

Detector effects: --psf-steps blurs every simulated disk with the discrete
Gaussian of that standard deviation (in grid steps; the disk's edges
continued) and --background adds a constant, a fraction of the mean expected
count, before the noise; --detector adj writes a DETECTOR_PAR block that
refines both from 0. --sigma observed writes the deviations of the observed
counts (sqrt of the count, 1 at least) instead of the expected ones.
"""
import argparse
import math
import os
import subprocess
import sys

import numpy as np

# The crystals the tool can measure: cubic F lattices along [110], so that the
# reflections 000, 1-11, -11-1, 2-20 and -220 stand in the zero-order zone of
# each. The true low-order F_g (angstrom, lof_type 2) of copper are its
# independent-atom values (korvex, B = 0.55 A^2) changed by -0.5 % (111) and
# +0.2 % (220), as bonding would; the thickness is about three extinction
# distances of 111 in each crystal.
CRYSTALS = {
    "si": {"label": "silicon", "sg": 227, "a": 5.431020511, "element": "Si", "xyz": 0.125, "b_key": "b_si",
           "true": {"f111_re": -18.21877, "f220_re": -14.45013, "b": 0.4632, "thickness": 1200.0}},
    "cu": {"label": "copper", "sg": 225, "a": 3.6149, "element": "Cu", "xyz": 0.0, "b_key": "b_cu",
           "true": {"f111_re": 11.1717 * 0.995, "f220_re": 7.020571 * 1.002, "b": 0.55, "thickness": 600.0}},
}
CRYSTAL = CRYSTALS["si"]
TRUE = {}
REFLEXES = [(0, 0, 0), (1, -1, 1), (-1, 1, -1), (2, -2, 0), (-2, 2, 0)]
SHIFTS = [(0, 0), (1, 0), (0, -1), (-1, 1), (1, 1)]  # grid steps per reflection (H, G)


def crystal_block(f111, f220, b, b_flag, fg_flag, split=False):
    if split:
        sites = "2\n" + "".join(site(f"{CRYSTAL['b_key']}{k}", b, b_flag, 0.5) for k in (1, 2))
    else:
        sites = "1\n" + site(CRYSTAL["b_key"], b, b_flag, 1.0)
    return f"""CRYSTAL_STRUCTURE_DATA{{
LATTICE{{
{CRYSTAL["sg"]}
{CRYSTAL["a"]:.10g} FIX a
a CST b
a CST c
90.0 FIX alpha
90.0 FIX beta
90.0 FIX gamma
}}LATTICE
ATOM{{
{sites}}}ATOM
LOW_ORDER_FG{{
2
2
1 1 1
{f111:.10g} {fg_flag} f111_re
0.0 FIX f111_im
2 2 0
{f220:.10g} {fg_flag} f220_re
0.0 FIX f220_im
}}LOW_ORDER_FG
}}CRYSTAL_STRUCTURE_DATA
"""


def site(b_name, b, b_flag, occ):
    el, x = CRYSTAL["element"], CRYSTAL["xyz"]
    return (f"SITE{{\n{el}\n{x} FIX x_{b_name}\n{x} FIX y_{b_name}\n{x} FIX z_{b_name}\nISO\n"
            f"{b:.10g} {b_flag} {b_name}\n{occ} FIX occ_{b_name}\n0\n}}SITE\n")


def beam_block(args):
    return (f"BEAM_SEARCH{{\n2\n{args.num_g_limit} {args.gmax} 0 0\n{args.sg_bethe_min} {args.sg_max} 20000.0\n"
            "}BEAM_SEARCH\n")


def sim_file(args, side, disk):
    return ("SIM_MODE\n% synthetic measurement: the true values\n"
            "EPS_CONTROL_PARAMETERS{\nintensity_scaling 10000.0\n}EPS_CONTROL_PARAMETERS\n"
            + crystal_block(TRUE["f111_re"], TRUE["f220_re"], TRUE["b"], "FIX", "FIX")
            + "SIM_CALCULATION_CONDITION{\nINCIDENT_BEAM{\n1 1 0\n1 1 0\n2 -2 0\n0.0\n0.0\n200.0\n}INCIDENT_BEAM\n"
            + f"CALC_KXY_RANGE{{\n3\n{side}\n{disk}\n}}CALC_KXY_RANGE\n" + beam_block(args)
            + "OUTPUT_REFLEX{\n%d\n" % len(REFLEXES) + "".join("%d %d %d\n" % g for g in REFLEXES)
            + "}OUTPUT_REFLEX\n" + f"OUTPUT_THICKNESS{{\n1\n{TRUE['thickness']}\n}}OUTPUT_THICKNESS\n"
            + "}SIM_CALCULATION_CONDITION\n")


def read_sim_result(path, num_g, npts):
    """Intensities [reflection][point] of a SIM_RESULT file (rows of G, H fastest)."""
    lines = [l.strip() for l in open(path) if l.strip() and not l.startswith("#")]
    out, i = [], 0
    while i < len(lines):
        if lines[i] == "RF{":
            hkl = tuple(int(v) for v in lines[i + 1].split())
            vals = [float(v) for v in lines[i + 2:i + 2 + npts]]
            out.append((hkl, np.array(vals)))
            i += 2 + npts
        else:
            i += 1
    return dict(out)


def write_int_file(path, data, sig, n, step):
    half = (n - 1) / 2 * step
    with open(path, "w") as f:
        f.write(f"FIT_EXPDATA_RAW\n# synthetic {CRYSTAL['label']} [110] measurement\nCR{{\n")
        f.write("1 0 0\n0 1 0\n0 0 1\n0 0 0\n0.0 0.0\n}CR\n")
        f.write(f"PAR{{\n1\n{len(REFLEXES)}\n{n * n} {n}\n{-half:.12g} {half:.12g} {-half:.12g} {half:.12g}\n}}PAR\n")
        f.write("THICKNESS{\n")
        for r, g in enumerate(REFLEXES):
            f.write("RF{\n%d %d %d\n" % g)
            for p in range(n * n):
                f.write(f"{data[r][p]:.10g} {sig[r][p]:.10g}\n")
                if (p + 1) % n == 0:
                    f.write("\n")
            f.write("}RF\n")
        f.write("}THICKNESS\n")


def discrete_gaussian(v, half):
    """exp(-v) I_k(v), k = -half .. half: the kernel of variance v."""
    out = []
    for k in range(-half, half + 1):
        k = abs(k)
        term = (v / 2) ** k / math.factorial(k)
        s, m = 0.0, 0
        while term > 1e-300 and (m < 10 or term > 1e-18 * s):
            s += term
            m += 1
            term *= (v / 2) ** 2 / (m * (m + k))
        out.append(math.exp(-v) * s)
    return np.array(out)


def blur(grid, steps):
    if steps <= 0:
        return grid
    v = steps * steps
    half = int(math.ceil(8 * steps)) + 10
    w = discrete_gaussian(v, half)
    n = grid.shape[0]
    idx = lambda i: min(max(i, 0), n - 1)
    tmp = np.array([[sum(w[k + half] * grid[y, idx(x + k)] for k in range(-half, half + 1)) for x in range(n)]
                    for y in range(n)])
    return np.array([[sum(w[k + half] * tmp[idx(y + k), x] for k in range(-half, half + 1)) for x in range(n)]
                     for y in range(n)])


def fit_file(args, name, side, disk, start, step):
    eps = ("EPS_CONTROL_PARAMETERS{\nintensity_scaling 10000.0\n"
           f"perturb_step {args.perturb_step}\ntol_chisq_abs {args.tol_chisq_abs}\n"
           f"tol_chisq_rel {args.tol_chisq_rel}\ntol_parameter {args.tol_parameter}\n"
           f"svd_flag {args.svd_flag}\n")
    for key in ("weight_model", "global_search", "beam_check"):
        if getattr(args, key) is not None:
            eps += f"fit_{key} {getattr(args, key)}\n"
    eps += "}EPS_CONTROL_PARAMETERS\n"
    b_flag = "FIX" if args.wrong_b else "ADJ"
    s = (f"FIT_MODE\n% refinement of the synthetic {CRYSTAL['label']} [110] measurement\n" + eps
         + crystal_block(start["f111_re"], start["f220_re"], start["b"], b_flag, "ADJ", args.split_site)
         + f"FIT_CALCULATION_CONDITION{{\nITER_EXP_NUM{{\n{args.max_iter}\n1\n}}ITER_EXP_NUM\n"
         + "DATA_SET{\nINCIDENT_BEAM{\n1 1 0\n1 1 0\n2 -2 0\n0.0 FIX tH\n0.0 FIX tG\n200.0 FIX kv\n}INCIDENT_BEAM\n"
         + f"CALC_KXY_RANGE{{\n2\n{side}\n{disk}\n}}CALC_KXY_RANGE\n" + beam_block(args)
         + f"INTENSITY_DATA{{\n{name}_int.txt\n1\n{len(REFLEXES)}\n}}INTENSITY_DATA\n"
         + "THICKNESS_BLOCK{\nSTW_PAR{\n"
         + f"{start['scale']:.10g} ADJ scale\n{start['thickness']:.10g} ADJ thick\n0.0 FIX thick_width\n0 1.0\n}}STW_PAR\n"
         + "REFLEX_SHIFT_PAR{\n")
    for r, (g, (sx, sy)) in enumerate(zip(REFLEXES, SHIFTS)):
        s += "%d %d %d 1.0\n" % g + f"{sx * step:.12g} FIX H_shift{r}\n{sy * step:.12g} FIX G_shift{r}\n"
    s += "}REFLEX_SHIFT_PAR\n}THICKNESS_BLOCK\n"
    if args.detector != "none":
        f = "ADJ" if args.detector == "adj" else "FIX"
        s += f"DETECTOR_PAR{{\n0.0 {f} psf\n0.0 {f} bg\n}}DETECTOR_PAR\n"
    s += "}DATA_SET\n}FIT_CALCULATION_CONDITION\n"
    return s


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--korvex", default="korvex")
    ap.add_argument("--dir", default=".")
    ap.add_argument("--name", default="si110_fit")
    ap.add_argument("--crystal", choices=sorted(CRYSTALS), default="si")
    ap.add_argument("--side", type=int, default=13, help="measured points along one side")
    ap.add_argument("--disk", type=float, default=0.5, help="disk half-width of the measurement (tilt units)")
    ap.add_argument("--gmax", type=float, default=1.5)
    ap.add_argument("--num-g-limit", type=int, default=400)
    ap.add_argument("--sg-bethe-min", type=float, default=0.02)
    ap.add_argument("--sg-max", type=float, default=0.08)
    ap.add_argument("--counts", type=float, default=1000.0, help="counts at the brightest point of 000")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--noise-free", action="store_true")
    ap.add_argument("--fg-off", type=float, default=0.03)
    ap.add_argument("--b-off", type=float, default=0.10)
    ap.add_argument("--t-off", type=float, default=0.10)
    ap.add_argument("--scale-off", type=float, default=0.05)
    ap.add_argument("--wrong-b", action="store_true", help="B fixed at its start value (b-off from the truth)")
    ap.add_argument("--split-site", action="store_true",
                    help="the site as two half-occupied sites at one position, each with its own B (ADJ)")
    ap.add_argument("--max-iter", type=int, default=30)
    ap.add_argument("--perturb-step", type=float, default=1e-4)
    ap.add_argument("--tol-chisq-abs", type=float, default=1e-3)
    ap.add_argument("--tol-chisq-rel", type=float, default=1e-9)
    ap.add_argument("--tol-parameter", type=float, default=1e-3)
    ap.add_argument("--svd-flag", type=int, default=1)
    ap.add_argument("--sigma", choices=("expected", "observed"), default="expected")
    ap.add_argument("--psf-steps", type=float, default=0.0, help="Gaussian point spread (s.d., grid steps)")
    ap.add_argument("--background", type=float, default=0.0, help="background, fraction of the mean count")
    ap.add_argument("--detector", choices=("none", "fix", "adj"), default="none")
    ap.add_argument("--thick", type=float, default=None, help="true thickness (angstrom)")
    ap.add_argument("--weight-model", type=int, default=None)
    ap.add_argument("--global-search", type=int, default=None)
    ap.add_argument("--beam-check", type=int, default=None)
    args = ap.parse_args()

    global CRYSTAL
    CRYSTAL = CRYSTALS[args.crystal]
    TRUE.update(CRYSTAL["true"])
    if args.thick is not None:
        TRUE["thickness"] = args.thick
    n = args.side
    smax = 1
    N = n + 2 * smax
    step = 2 * args.disk / (n - 1)
    disk_sim = (N - 1) / 2 * step
    os.makedirs(args.dir, exist_ok=True)
    sim_name = args.name + "_sim.dat"
    with open(os.path.join(args.dir, sim_name), "w") as f:
        f.write(sim_file(args, N, disk_sim))
    r = subprocess.run([args.korvex, sim_name], cwd=args.dir, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if r.returncode != 0:
        sys.stderr.write(r.stdout.decode(errors="replace"))
        sys.exit("korvex failed on the simulation")
    sim = read_sim_result(os.path.join(args.dir, args.name + "_sim_rs0.txt"), len(REFLEXES), N * N)

    grids = [blur(sim[g].reshape(N, N), args.psf_steps) for g in REFLEXES]
    scale = args.counts / grids[0].max()
    means = [scale * grid[smax + sy:smax + sy + n, smax + sx:smax + sx + n].reshape(-1)
             for grid, (sx, sy) in zip(grids, SHIFTS)]
    bg = args.background * float(np.mean(np.concatenate(means)))
    rng = np.random.default_rng(args.seed)
    data, sig = [], []
    for mean in means:
        mean = mean + bg
        obs = mean if args.noise_free else rng.poisson(mean).astype(float)
        # The stated noise: the Poisson deviation of the expected (or the
        # observed) count, 1 count at least, so that an empty point keeps a
        # finite weight.
        data.append(obs)
        sig.append(np.sqrt(np.maximum(obs if args.sigma == "observed" else mean, 1.0)))
    write_int_file(os.path.join(args.dir, args.name + "_int.txt"), data, sig, n, step)

    true = dict(TRUE, scale=scale, psf=args.psf_steps * step, bg=bg)
    start = {"f111_re": true["f111_re"] * (1 - args.fg_off), "f220_re": true["f220_re"] * (1 + args.fg_off),
             "b": true["b"] * (1 + args.b_off), "thickness": true["thickness"] * (1 + args.t_off),
             "scale": true["scale"] * (1 + args.scale_off)}
    fit_disk = (N - 1) / 2 * step
    with open(os.path.join(args.dir, args.name + ".dat"), "w") as f:
        f.write(fit_file(args, args.name, N, fit_disk, start, step))
    with open(os.path.join(args.dir, args.name + "_true.txt"), "w") as f:
        for k in ("f111_re", "f220_re", "b", "thickness", "scale"):
            name = CRYSTAL["b_key"] if k == "b" else k
            f.write(f"{name} {true[k]:.12g} {start[k]:.12g}\n")
        if args.detector != "none":
            # psf: the refined variance psf_width^2 (g1/2 squared); bg in counts.
            f.write(f"psf {true['psf'] ** 2:.12g} 0\nbg {true['bg']:.12g} 0\n")
    print(f"wrote {args.name}.dat, {args.name}_int.txt, {args.name}_true.txt in {args.dir}")


if __name__ == "__main__":
    main()
