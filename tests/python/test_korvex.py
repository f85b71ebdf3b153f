"""The Python module against the programs: simulate() gives the numbers of the
SIM_MODE result files, run() runs a job as the program does, a refinement's
record reads back as arrays, and a refusal raises korvex.Error with the
program's message and leaves the interpreter usable."""
import os
import re
import shutil
import subprocess

import numpy as np
import pytest

import korvex

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXAMPLES = os.path.join(ROOT, "examples")


def sim_result(path):
    """Intensities of a SIM_RESULT file: {(h, k, l): array over the grid}."""
    text = open(path).read()
    out = {}
    for m in re.finditer(r"RF\{\n# hkl\n(-?\d+)\t(-?\d+)\t(-?\d+)\n(.*?)\}RF", text, re.S):
        out[tuple(int(m.group(i)) for i in (1, 2, 3))] = np.array([float(v) for v in m.group(4).split()])
    return out


@pytest.fixture
def si111(tmp_path):
    shutil.copy(os.path.join(EXAMPLES, "si_111_200kv.dat"), tmp_path)
    return tmp_path / "si_111_200kv.dat"


def test_simulate_gives_the_numbers_of_the_result_files(si111, tmp_path):
    r = korvex.simulate(str(si111))
    assert list(tmp_path.iterdir()) == [si111]  # nothing written
    job = korvex.run(si111.name, workdir=str(tmp_path))
    assert job["status"] == 0
    assert str(tmp_path / "si_111_200kv_rs0.txt") in job["paths"]
    assert "Wall time" in job["log"]
    # The job's HDF5 export holds the same intensities [reflection, thickness, tilt].
    h5 = korvex.read_h5(str(tmp_path / "si_111_200kv.h5"))
    np.testing.assert_array_equal(h5["intensity"], np.transpose(r["intensity"], (1, 0, 2)))
    np.testing.assert_array_equal(h5["tilt/H"], r["H"])
    assert h5["thickness@unit"] == "angstrom" and h5["@job"] == "SIM_MODE"
    T, G, K = r["intensity"].shape
    assert (T, G) == (len(r["thickness"]), len(r["hkl"]))
    assert K == r["side"] ** 2 == len(r["H"])
    for t in range(T):
        files = sim_result(tmp_path / f"si_111_200kv_rs{t}.txt")
        for g, hkl in enumerate(map(tuple, r["hkl"])):
            # The files print six significant digits.
            np.testing.assert_allclose(r["intensity"][t, g], files[hkl], rtol=6e-6, atol=1e-9)
    # Tilts in mrad follow from those in g1/2 units by one factor.
    inside = r["H"] != 0
    ratio = r["H_mrad"][inside] / r["H"][inside]
    np.testing.assert_allclose(ratio, ratio[0], rtol=1e-12)
    assert r["vg"].dtype == np.complex128 and abs(r["vg"][0]) > 0
    # F_g of the beams as korvex's own listing prints them (Fg_re, Fg_im).
    listing = {}
    for line in (tmp_path / "si_111_200kv_fg0.txt").read_text().splitlines():
        p = line.split()
        if len(p) >= 12 and p[0].isdigit():
            listing[(int(p[1]), int(p[2]), int(p[3]))] = complex(float(p[9]), float(p[10]))
    for hkl, fg in zip(map(tuple, r["beams"][:5]), r["fg"][:5]):
        assert fg == pytest.approx(listing[hkl], rel=1e-5, abs=1e-5)


def test_threads_progress_and_thickness_override(si111):
    calls = []
    one = korvex.simulate(str(si111), num_threads=1)
    two = korvex.simulate(str(si111), num_threads=2, progress=lambda done, total: calls.append((done, total)))
    assert two["threads"] == 2
    np.testing.assert_array_equal(one["intensity"], two["intensity"])
    assert calls and calls[-1][0] == calls[-1][1] == int(two["inside"].sum())
    thin = korvex.simulate(str(si111), thickness=[100.0])
    assert thin["intensity"].shape[0] == 1 and thin["thickness"][0] == 100.0


def test_a_refusal_raises_the_programs_message_and_the_interpreter_goes_on(tmp_path, si111):
    bad = tmp_path / "bad.dat"
    bad.write_text("SIM_MODE\nEPS_CONTROL_PARAMETERS{\n}EPS_CONTROL_PARAMETERS\nCRYSTAL_STRUCTURE_DATA{\nLATTICE{\n999\n")
    with pytest.raises(korvex.Error) as e:
        korvex.simulate(str(bad))
    assert "$$" in str(e.value)
    with pytest.raises(korvex.Error) as e:
        korvex.run("missing.dat", workdir=str(tmp_path))
    assert "missing.dat" in str(e.value)
    # Still usable.
    assert korvex.simulate(str(si111))["intensity"].size > 0


def test_refinement_from_a_fit_mode_file_reads_back_as_arrays(tmp_path):
    tool = os.path.join(ROOT, "tools", "make_fit_example.py")
    korvex_exe = os.environ.get("KORVEX_EXE", "korvex")
    subprocess.run(["/usr/bin/python3", tool, "--korvex", korvex_exe, "--dir", str(tmp_path), "--name", "si",
                    "--side", "9", "--gmax", "1.2", "--max-iter", "8"], check=True, capture_output=True)
    job = korvex.run("si.dat", workdir=str(tmp_path))
    fit = korvex.read_fit(str(tmp_path / "si_fit.h5"))
    table = {}
    out = job["output"]
    for line in out[out.index("$$ Refined parameters"):].splitlines()[2:]:
        parts = line.split()
        if len(parts) != 4 or parts[0] not in fit["names"]:
            break
        table[parts[0]] = float(parts[2])
    assert set(table) == set(fit["names"])
    for name, value in zip(fit["names"], fit["final"]):
        assert value == pytest.approx(table[name], rel=1e-7)
    assert fit["covariance"].shape == (len(fit["names"]),) * 2
    np.testing.assert_allclose(np.sqrt(np.diag(fit["covariance"])), fit["su"], rtol=1e-9)
    d = fit["datasets"][0]
    m = d["mask"] == 1
    chisq = (((d["obs"] - d["model_final"]) / d["sd_fit"])[m] ** 2).sum()
    assert chisq == pytest.approx(fit["chisq"], rel=1e-6)
    # The FIT_RESULT file of the end holds the calculated disks of the record.
    res = korvex.read_fit_result(str(tmp_path / "si_fit_res0.txt"), str(tmp_path / "si_int.txt"))
    assert res["hkl"].tolist() == d["hkl"].tolist()
    cal = res["calculated"]
    on = cal > 0
    assert on.sum() > 0
    np.testing.assert_allclose(cal[on], d["cal_final"][on], rtol=1e-5)
    np.testing.assert_allclose(res["H"], d["cal_x"], atol=1e-9)


def test_the_example_script_runs_and_draws(tmp_path):
    script = os.path.join(EXAMPLES, "python", "si110_pattern_and_fit.py")
    env = dict(os.environ)
    r = subprocess.run(["/usr/bin/python3", script, str(tmp_path)], env=env, capture_output=True, text=True)
    assert r.returncode == 0, r.stdout + r.stderr
    for png in ("si110_pattern.png", "si110_fit_observed_calculated.png"):
        assert (tmp_path / png).stat().st_size > 1000


def test_a_condition_built_in_python_and_the_result_readers(tmp_path):
    si = korvex.crystal_block(space_group=227, cell=(5.431020511,) * 3 + (90, 90, 90),
                              sites=[("Si", 0.125, 0.125, 0.125, 0.4632, 1.0)])
    condition = dict(zone=(1, 1, 0), g1=(2, -2, 0), voltage=200, thickness=[800.0], side=11,
                     reflections=[(0, 0, 0), (1, -1, 1), (2, -2, 0)])
    r = korvex.simulate_crystal(si, **condition)
    assert list(tmp_path.iterdir()) == []
    (tmp_path / "obj.dat").write_text(korvex.sim_parameters(si, **condition))
    korvex.run("obj.dat", workdir=str(tmp_path))
    f = korvex.read_result(str(tmp_path / "obj_rs0.txt"))
    assert f["hkl"].tolist() == r["hkl"].tolist()
    assert f["thickness"] == 800.0 and f["side"] == 11
    np.testing.assert_allclose(f["intensity"], r["intensity"][0], rtol=6e-6, atol=1e-9)
    np.testing.assert_array_equal(f["inside"], r["inside"])
    # The same disk written in mrad is the same condition.
    mrad = korvex.simulate_crystal(si, **dict(condition, unit="mrad", disk=float(r["H_mrad"].max())))
    np.testing.assert_allclose(mrad["intensity"], r["intensity"], rtol=1e-9, atol=1e-12)

    # A crystal from a CIF file, through the programs' CIF reader.
    cif = korvex.simulate_crystal(korvex.crystal_block(cif=os.path.join(ROOT, "tests", "fuzz", "seeds", "cif", "si.cif")),
                                  **condition)
    assert cif["intensity"].shape == r["intensity"].shape
    assert cif["intensity"][0, 0, 60] > 0

    m = korvex.read_measured(os.path.join(EXAMPLES, "fit", "si110_fit_int.txt"))
    assert m["intensity"].shape == (1, 5, 169) and m["nx"] == 13
    assert m["hkl"][1].tolist() == [1, -1, 1]
    assert m["H"].min() == pytest.approx(-0.5) and m["G"].max() == pytest.approx(0.5)
    assert (m["sd"] > 0).all()


def test_a_refinement_built_from_arrays_recovers_thickness_and_scale(tmp_path):
    sim = tmp_path / "si_sim.dat"
    shutil.copy(os.path.join(EXAMPLES, "fit", "si110_fit_sim.dat"), sim)
    r = korvex.simulate(str(sim))  # a 15 x 15 square of tilts at 1200 A
    obs = 0.2 * r["intensity"]
    sd = np.sqrt(np.maximum(obs, 1.0))
    d = float(r["H"].max())
    korvex.write_measured(str(tmp_path / "meas.txt"), obs, sd, r["hkl"].tolist(), r["side"], (-d, d, -d, d))
    back = korvex.read_measured(str(tmp_path / "meas.txt"))
    np.testing.assert_allclose(back["intensity"], obs, rtol=1e-9)
    fit = korvex.refine(str(sim), str(tmp_path / "meas.txt"), adjust=["thick", "scale"], start={"thick": 1150.0})
    final = dict(zip(fit["names"], fit["final"]))
    assert final["thick"] == pytest.approx(1200.0, abs=0.5)
    assert final["scale"] == pytest.approx(0.2, rel=1e-3)
    assert fit["reduced_chisq"] < 1e-3
    with pytest.raises(ValueError):
        korvex.refine(str(sim), str(tmp_path / "meas.txt"), adjust=["no_such_parameter"])
    with pytest.raises(ValueError):
        korvex.write_measured(str(tmp_path / "bad.txt"), obs, sd[:, :1], r["hkl"].tolist(), r["side"], (-d, d, -d, d))


def test_coherent_amplitudes_match_their_result_file(tmp_path):
    shutil.copy(os.path.join(EXAMPLES, "si_110_200kv_coherent.dat"), tmp_path)
    text = (tmp_path / "si_110_200kv_coherent.dat").read_text()
    r = korvex.simulate(str(tmp_path / "si_110_200kv_coherent.dat"))
    assert r["amplitude"].dtype == np.complex128
    korvex.run("si_110_200kv_coherent.dat", workdir=str(tmp_path))
    f = korvex.read_result(str(tmp_path / "si_110_200kv_coherent_rs0.txt"))
    assert f["hkl"].tolist() == r["hkl"].tolist()
    # The file holds the amplitudes times sqrt(intensity_scaling), six digits.
    scale = np.sqrt(10000.0) if "intensity_scaling" not in text else np.sqrt(
        float(re.search(r"intensity_scaling\s+(\S+)", text).group(1)))
    np.testing.assert_allclose(f["amplitude"], r["amplitude"][0] * scale, rtol=2e-5, atol=1e-5)


def flagged_values(text):
    """{name: value} of the parameter lines "value FIX name" of a crystal block."""
    out = {}
    for line in text.splitlines():
        p = line.split()
        if len(p) == 3 and p[1] in ("FIX", "ADJ", "RST"):
            out[p[2]] = float(p[0])
    return out


def test_the_export_describes_itself_and_holds_the_crystal_beams_and_input(tmp_path):
    src = os.path.join(EXAMPLES, "quartz_001_200kv.dat")
    shutil.copy(src, tmp_path)
    job = korvex.run("quartz_001_200kv.dat", workdir=str(tmp_path))
    assert job["status"] == 0
    path = tmp_path / "quartz_001_200kv.h5"
    h5 = korvex.read_h5(str(path))
    datasets = [k for k in h5 if "@" not in k]
    assert {"crystal/sites/xyz", "beams/Fg", "run_control/value", "input/parameter_file"} <= set(datasets)
    for k in datasets:
        assert f"{k}@unit" in h5 and f"{k}@description" in h5, k
    # The crystal as the parameter file gives it (b tied to a by its constraint).
    text = open(src).read()
    v = flagged_values(text)
    np.testing.assert_allclose(h5["crystal/cell_lengths"], [v["a"], v["a"], v["c"]])
    np.testing.assert_allclose(h5["crystal/cell_angles"], [v["alpha"], v["beta"], v["gamma"]])
    assert int(h5["crystal/space_group"][0]) == 154
    assert h5["crystal/sites/name"].split() == ["Si", "O"]
    for i, s in enumerate(("si", "o")):
        np.testing.assert_allclose(h5["crystal/sites/xyz"][i], [v["x_" + s], v["y_" + s], v["z_" + s]])
        np.testing.assert_allclose(h5["crystal/sites/beta"][i],
                                   [v[f"b{ij}_{s}"] for ij in ("11", "22", "33", "12", "13", "23")])
        assert h5["crystal/sites/anisotropic"][i] == 1 and h5["crystal/sites/occupancy"][i] == v["occ_" + s]
    assert h5["input/parameter_file"] == text
    keys = h5["run_control/name"].split()
    assert h5["run_control/value"][keys.index("intensity_scaling")] == h5["@intensity_scaling"]
    # The beams' structure factors are those simulate() gives for the same file.
    r = korvex.simulate(src)
    np.testing.assert_array_equal(h5["beams/hkl"], r["beams"])
    # (The potential matrix meets symmetry equivalents in another order: the last bit may differ.)
    np.testing.assert_allclose(h5["beams/Fg"][:, 0] + 1j * h5["beams/Fg"][:, 1], r["fg"], rtol=1e-13, atol=1e-13)
    assert h5["beams/exact"].sum() == r["num_exact_beam"]
    # The project's reader lists every dataset with its unit and the crystal.
    out = subprocess.run(["/usr/bin/python3", os.path.join(ROOT, "tools", "h5_cbed.py"), "--describe", str(path)],
                         capture_output=True, text=True)
    assert out.returncode == 0, out.stdout + out.stderr
    assert "space group 154" in out.stdout and "NO UNIT" not in out.stdout


def test_every_dataset_of_the_other_jobs_exports_has_its_unit(tmp_path):
    for name in ("si_110_tfringe.dat", "si_001_potential_proj.dat"):
        shutil.copy(os.path.join(EXAMPLES, "jobs", name), tmp_path)
        assert korvex.run(name, workdir=str(tmp_path))["status"] == 0
        h5 = korvex.read_h5(str(tmp_path / name.replace(".dat", ".h5")))
        missing = [k for k in h5 if "@" not in k and f"{k}@unit" not in h5]
        assert not missing, (name, missing)
        assert "crystal/sites/B" in h5 and "input/parameter_file" in h5
