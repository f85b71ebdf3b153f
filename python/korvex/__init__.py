"""korvex from Python: the library under the korvex and talvis programs.

    import korvex
    r = korvex.simulate("examples/si_110_200kv.dat")     # numpy arrays, nothing written
    r["intensity"].shape                                 # (thickness, reflection, tilt)
    korvex.run("si110_fit.dat", workdir="fit")           # any job, as the program runs it
    fit = korvex.read_fit("fit/si110_fit_fit.h5")        # refined values, s.u., covariance

A refusal raises korvex.Error with the program's own message.
"""
import os
import re
import tempfile

from ._korvex import (Error, fit_file, read_fit, read_fit_result, read_measured, read_result, run, simulate,
                      write_measured)

__all__ = ["Error", "crystal_block", "fit_file", "read_fit", "read_fit_result", "read_h5", "read_measured", "read_result", "refine", "run",
           "simulate", "simulate_crystal", "sim_parameters", "write_measured"]


def crystal_block(cif=None, space_group=None, cell=None, sites=(), low_order=()):
    """The CRYSTAL_STRUCTURE_DATA block of a parameter file, every parameter FIX:
    from a CIF file (read by the programs' own CIF reader), or from a space-group
    number, a cell (a, b, c in A; alpha, beta, gamma in degrees) and sites
    (name, x, y, z, B in A^2, occupancy). low_order: (h, k, l, Fg_ela.re,
    Fg_ela.im) entries in A (lof_type 2)."""
    lines = ["CRYSTAL_STRUCTURE_DATA{"]
    if cif is not None:
        lines += ["CIF{", os.path.abspath(cif), "}CIF"]
    else:
        if space_group is None or cell is None:
            raise ValueError("a crystal needs a CIF file, or a space group and a cell")
        names = ("a", "b", "c", "alpha", "beta", "gamma")
        lines += ["LATTICE{", str(int(space_group))] + [f"{float(v)!r} FIX {n}" for v, n in zip(cell, names)]
        lines += ["}LATTICE", "ATOM{", str(len(sites))]
        for i, (name, x, y, z, b, occ) in enumerate(sites):
            lines += ["SITE{", str(name)] + [f"{float(v)!r} FIX {n}_{i}" for v, n in
                                             ((x, "x"), (y, "y"), (z, "z"))]
            lines += ["ISO", f"{float(b)!r} FIX b_{i}", f"{float(occ)!r} FIX occ_{i}", "0", "}SITE"]
        lines += ["}ATOM"]
    lines += ["LOW_ORDER_FG{", str(len(low_order))]
    if low_order:
        lines.append("2")
        for h, k, l, re, im in low_order:
            tag = "".join(str(v) if v >= 0 else "m" + str(-v) for v in (int(h), int(k), int(l)))
            lines += [f"{int(h)} {int(k)} {int(l)}", f"{float(re)!r} FIX f{tag}_re", f"{float(im)!r} FIX f{tag}_im"]
    lines += ["}LOW_ORDER_FG", "}CRYSTAL_STRUCTURE_DATA"]
    return "\n".join(lines) + "\n"


def _with_unit(value, unit):
    return f"{float(value)!r}" + (" mrad" if unit == "mrad" else "")


def sim_parameters(crystal, zone, g1, voltage, thickness, normal=None, tilt=(0.0, 0.0), disk=0.5, side=15,
                   calc_type=2, unit="g1/2", reflections=None, beam_search=(2, 400, 1.5, 0, 0, 0.02, 0.08, 20000.0),
                   run_control=None):
    """The text of a SIM_MODE parameter file. Tilts and the disk size are in
    units of g1/2, or in mrad with unit="mrad". beam_search: (method, number
    limit, g_max, lowest and highest Laue zone, Bethe and exact limits, xi_g_max)
    of an automatic search. reflections: the output reflections, or None for
    every exact beam. run_control: extra EPS_CONTROL_PARAMETERS keys."""
    normal = zone if normal is None else normal
    m, n, gmax, lz0, lz1, b0, b1, xi = beam_search
    eps = ["EPS_CONTROL_PARAMETERS{"] + [f"{k} {v}" for k, v in (run_control or {}).items()]
    eps.append("}EPS_CONTROL_PARAMETERS")
    refl = ["OUTPUT_REFLEX{", str(0 if reflections is None else len(reflections))]
    refl += [f"{h} {k} {l}" for h, k, l in (reflections or [])] + ["}OUTPUT_REFLEX"]
    text = ["SIM_MODE"] + eps + [crystal.rstrip("\n")] + [
        "SIM_CALCULATION_CONDITION{", "INCIDENT_BEAM{", "%d %d %d" % tuple(zone), "%d %d %d" % tuple(normal),
        "%r %r %r" % tuple(float(v) for v in g1), _with_unit(tilt[0], unit), _with_unit(tilt[1], unit),
        f"{float(voltage)!r}", "}INCIDENT_BEAM", "CALC_KXY_RANGE{", str(int(calc_type)), str(int(side)),
        _with_unit(disk, unit), "}CALC_KXY_RANGE", "BEAM_SEARCH{", str(int(m)), f"{int(n)} {gmax} {int(lz0)} {int(lz1)}",
        f"{b0} {b1} {xi}", "}BEAM_SEARCH"] + refl + [
        "OUTPUT_THICKNESS{", str(len(thickness))] + [f"{float(t)!r}" for t in thickness] + [
        "}OUTPUT_THICKNESS", "}SIM_CALCULATION_CONDITION"]
    return "\n".join(text) + "\n"


def simulate_crystal(crystal, zone, g1, voltage, thickness, num_threads=None, progress=None, **condition):
    """simulate() of a crystal block (crystal_block()) and a condition given
    in Python (the arguments of sim_parameters()), through the programs' own
    readers. Writes no file in the working folder."""
    text = sim_parameters(crystal, zone, g1, voltage, thickness, **condition)
    with tempfile.TemporaryDirectory(prefix="korvex_") as d:
        path = os.path.join(d, "python_condition.dat")
        with open(path, "w") as f:
            f.write(text)
        return simulate(path, num_threads=num_threads, progress=progress)


def refine(sim_parameter_file, measured_file, adjust, start=None):
    """A refinement from a SIM_MODE file and a measured file (write_measured()
    makes one from arrays): the fit-mode file of fit_file(), the parameters
    named in `adjust` marked ADJ (start values from `start`, a dict), korvex
    run on it beside the measured file; returns read_fit() of its record."""
    path = fit_file(sim_parameter_file, measured_file)
    with open(path) as f:
        text = f.read()
    for name in adjust:
        value = None if start is None else start.get(name)
        pattern = re.compile(r"^(\S+)(\s+)FIX(\s+)" + re.escape(name) + r"(\s)", re.M)
        if not pattern.search(text):
            raise ValueError(f"no parameter {name} in {path}")
        v = r"\1" if value is None else repr(float(value))
        text = pattern.sub(v + r"\2ADJ\3" + name.replace("\\", "\\\\") + r"\4", text, count=1)
    with open(path, "w") as f:
        f.write(text)
    folder, name = os.path.split(path)
    run(name, workdir=folder)
    return read_fit(os.path.join(folder, name.split(".")[0] + "_fit.h5"))


def read_h5(path):
    """Every dataset and attribute of an HDF5 file the programs wrote (a job's
    NAME.h5, a refinement's NAME_fit.h5) as a flat dict of numpy arrays and
    values keyed by their paths ("tilt/H", "intensity"), attributes under
    "@name" ("@voltage_kV", "tilt/H@unit")."""
    import h5py

    out = {}
    with h5py.File(path, "r") as f:
        for k, v in f.attrs.items():
            out["@" + k] = v.decode() if isinstance(v, bytes) else v

        def visit(name, obj):
            for k, v in obj.attrs.items():
                out[name + "@" + k] = v.decode() if isinstance(v, bytes) else v
            if isinstance(obj, h5py.Dataset):
                v = obj[()]
                out[name] = v.decode() if isinstance(v, bytes) else v

        f.visititems(visit)
    return out
