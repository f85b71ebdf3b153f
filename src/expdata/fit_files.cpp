#include "expdata/fit_files.hpp"

#include <cmath>

#include "expdata/dataset_ranges.hpp"
#include "expdata/fed_constraints.hpp"
#include "sim/error.hpp"
#include "sim/linereader.hpp"
#include "sim/qzio.hpp"
#include "sim/runctl.hpp"

namespace kv {

namespace {

constexpr const char* kRule = "# ==================================================\n";

}  // namespace

void fprintf_cstr(const fitpar& p, double value, const char* label, FILE* fp) {
  switch (p.flg) {
    case kFlgFix:
      qz_fprintf(fp, "%g  FIX  %s  #%s\n", value, p.name.c_str(), label);
      break;
    case kFlgAdj:
      qz_fprintf(fp, "%g  ADJ  %s  #%s\n", value, p.name.c_str(), label);
      break;
    case kFlgRst:
      qz_fprintf(fp, "%g  RST  %s  %g  #%s\n", value, p.name.c_str(), p.rst_val, label);
      break;
    case kFlgCst:
      qz_fprintf(fp, "%s  CST  %s  #%s\n", p.expr.c_str(), p.name.c_str(), label);
      break;
    default:
      fatal_out("$$(fprintf_cstr) Invalid flg(=%d). Abort.\n", p.flg);
  }
}

void print_fit_mode_opening(FILE* fp, const std::string& file) {
  qz_fprintf(fp, "# %s\n", file.c_str());
  qz_fprintf(fp, "# data format for korvex ver 3.*\n");
  qz_fprintf(fp, "%s", kRule);
  qz_fprintf(fp, "# job type\n");
  qz_fprintf(fp, "FIT_MODE\n");
  qz_fprintf(fp, "%s", kRule);
}

void print_EPS_CONTROL_PARAMETERS(FILE* fp) {
  qz_fprintf(fp, "EPS_CONTROL_PARAMETERS{\n");
  qz_fprintf(fp, "intensity_scaling  %g", epsilon.intensity_scaling);
  qz_fprintf(fp, "  #Scaling incident beam intensity\n");
  qz_fprintf(fp, "auto_multiplicity_off  %d", epsilon.auto_multiplicity_off);
  qz_fprintf(fp, "  #0:normal 1:manual (for the split-atom method)\n");
  // Every other key the run set away from its default, so that the file
  // runs again under the same tolerances, steps and weights.
  const auto defaults = run_control_keys(Epsilon{});
  const auto now = run_control_keys(epsilon);
  for (std::size_t i = 0; i < now.size(); ++i) {
    const std::string& key = now[i].first;
    if (key == "intensity_scaling" || key == "auto_multiplicity_off" || now[i].second == defaults[i].second) continue;
    qz_fprintf(fp, "%s  %.10g\n", key.c_str(), now[i].second);
  }
  qz_fprintf(fp, "}EPS_CONTROL_PARAMETERS\n");
}

void print_LOW_ORDER_FG(FILE* fp, const csd& cs) {
  qz_fprintf(fp, "#\n");
  qz_fprintf(fp, "# --------------------------------------------------\n");
  qz_fprintf(fp, "# Low-order Fg for electrons\n");
  qz_fprintf(fp, "#  - Angstrom unit without relativistic correction\n");
  qz_fprintf(fp, "#  - lof_type\n");
  qz_fprintf(fp, "#     1: total (ela + inela) Fg.re, Fg.im\n");
  qz_fprintf(fp, "#     2: elastic Fg.re and Fg.im\n");
  qz_fprintf(fp, "#  - The values for symmetrically-equivalent \n");
  qz_fprintf(fp, "#     reflections are automatically generated.\n");
  qz_fprintf(fp, "# --------------------------------------------------\n");
  qz_fprintf(fp, "LOW_ORDER_FG{\n");
  qz_fprintf(fp, "%d  # Number of low-order g\n", cs.num_lofg);
  if (cs.num_lofg != 0) {
    const auto hkl_line = [fp](const Hkl& g) { qz_fprintf(fp, "%d  %d  %d  #hkl\n", g.h, g.k, g.l); };
    switch (cs.lof_type) {
      case 1:
      case 2:
        if (cs.lof_type == 1) {
          qz_fprintf(fp, "%d    #lof_type\n", cs.lof_type);
          qz_fprintf(fp, "# (total Fg)\n");
        } else {
          qz_fprintf(fp, "%d\n", cs.lof_type);
          qz_fprintf(fp, "# (elastic Fg) \n");
        }
        for (int e = 0; e < cs.num_lofg; ++e) {
          qz_fprintf(fp, "#\n");
          hkl_line(cs.lofg_hkl[e]);
          fprintf_cstr(cs.lofg_fp[e][0], cs.lofg_fg[e].re, cs.lof_type == 1 ? "Fg.re [A]" : "Fg_ela.re [A]", fp);
          fprintf_cstr(cs.lofg_fp[e][1], cs.lofg_fg[e].im, cs.lof_type == 1 ? "Fg.im [A]" : "Fg_ela.im [A]", fp);
        }
        break;
      case 3:
      case 4:
        // Both types are read with f_ela and f_inela for every site, so both
        // are written with the two lines.
        if (cs.lof_type == 3) {
          qz_fprintf(fp, "%d\n", cs.lof_type);
          qz_fprintf(fp, "# (elastic ang inelastic f)\n");
        } else {
          qz_fprintf(fp, "# lof_type\n");
          qz_fprintf(fp, "#  (elastic f)\n");
          qz_fprintf(fp, "%d\n", cs.lof_type);
        }
        for (int e = 0; e < cs.num_lofg; ++e) {
          qz_fprintf(fp, "#\n");
          hkl_line(cs.lofg_hkl[e]);
          for (int j = 0; j < cs.num_atom; ++j) {
            fprintf_cstr(cs.lofg_f_fp[e][j][0], cs.lofg_f[e][j].re, "f_ela [A]", fp);
            fprintf_cstr(cs.lofg_f_fp[e][j][1], cs.lofg_f[e][j].im, "f_inela [A]", fp);
          }
        }
        break;
      default:
        fatal_out("$$ Invalid lof_type (=%d). Abort.\n", cs.lof_type);
    }
  }
  qz_fprintf(fp, "}LOW_ORDER_FG\n");
}

void print_CRYSTAL_STRUCTURE_DATA(FILE* fp, const csd& cs) {
  qz_fprintf(fp, "CRYSTAL_STRUCTURE_DATA{\n");
  qz_fprintf(fp, "#\n");
  qz_fprintf(fp, "LATTICE{\n");
  qz_fprintf(fp, "%d    # space group number\n", cs.sp_grp_no);
  qz_fprintf(fp, "# lattice parameter\n");
  static const char* const lp_labels[6] = {"a[A]", "b[A]", "c[A]", "alpha[deg.]", "beta[deg.]", "gamma[deg.]"};
  for (int i = 0; i < 6; ++i) fprintf_cstr(cs.lp_fp[i], cs.lp[i], lp_labels[i], fp);
  qz_fprintf(fp, "}LATTICE\n");
  qz_fprintf(fp, "#\n");
  qz_fprintf(fp, "ATOM{\n");
  qz_fprintf(fp, "%d    # number of independent sites\n", cs.num_atom);
  for (int j = 0; j < cs.num_atom; ++j) {
    const atom& a = cs.atoms[j];
    const std::array<fitpar, kNumAtomPar>& p = cs.atom_fp[j];
    qz_fprintf(fp, "SITE{\n");
    qz_fprintf(fp, "%s\n", a.name.c_str());
    fprintf_cstr(p[kApX], a.x, "x (frac. coord.)", fp);
    fprintf_cstr(p[kApY], a.y, "y (frac. coord.)", fp);
    fprintf_cstr(p[kApZ], a.z, "z (frac. coord.)", fp);
    qz_fprintf(fp, "%d    # B type (0: isotropic, 1:anisotropic)\n", a.bf);
    if (a.bf == 0) {
      fprintf_cstr(p[kApB], a.b_iso, "B [A^{2}]", fp);
    } else if (a.bf == 1) {
      static const char* const labels[6] = {"beta11", "beta22", "beta33", "beta12", "beta13", "beta23"};
      const double beta[6] = {a.beta11, a.beta22, a.beta33, a.beta12, a.beta13, a.beta23};
      for (int k = 0; k < 6; ++k) fprintf_cstr(p[kApBeta11 + k], beta[k], labels[k], fp);
    } else {
      fatal_out("$$ Invalid b_flag. Abort.\n");
    }
    fprintf_cstr(p[kApOcc], a.occ, "occupancy (0-1)", fp);
    qz_fprintf(fp, "%d  # f-table (0:Mott+BK, 1:B&K)\n", a.af);
    qz_fprintf(fp, "}SITE\n");
  }
  qz_fprintf(fp, "}ATOM\n");
  print_LOW_ORDER_FG(fp, cs);
  qz_fprintf(fp, "#\n");
  qz_fprintf(fp, "}CRYSTAL_STRUCTURE_DATA\n");
  qz_fprintf(fp, "%s", kRule);
  qz_fprintf(fp, "%s", kRule);
}

void print_BEAM_SEARCH(FILE* fp, const fed& ed) {
  const beam_search& bs = ed.bs;
  qz_fprintf(fp, "# ----- Beam search -------------------------\n");
  qz_fprintf(fp, "# search method\n");
  qz_fprintf(fp, "#   0: manual\n");
  qz_fprintf(fp, "#   1,2,3: automatic + generalized Bethe approx.\n");
  qz_fprintf(fp, "#          [1:wg, 2:sg, 3:sg-multi] \n");
  qz_fprintf(fp, "#   11,12,13: automatic + simple Bethe approx.\n");
  qz_fprintf(fp, "#             [11:wg, 12:sg, 13:sg-multi] \n");
  qz_fprintf(fp, "BEAM_SEARCH{\n");
  qz_fprintf(fp, "%d  #search method\n", bs.flag_bs);
  const auto limits = [fp, &bs] {
    qz_fprintf(fp, "# num_g_limit  g_max[A^{-1}]  lz_min  lz_max  disksize\n");
    qz_fprintf(fp, "%d  %g  %d  %d  %g\n", bs.num_g_limit, bs.g_max, bs.lz_min, bs.lz_max, bs.disksize);
  };
  switch (bs.flag_bs) {
    case 0: {
      qz_fprintf(fp, "#Manual type\n");
      qz_fprintf(fp, "%d  %d    #num_exact_beam num_bethe_beam\n", ed.num_exact_beam, ed.num_bethe_beam);
      qz_fprintf(fp, "# hkl\n");
      const int n = ed.num_exact_beam + ed.num_bethe_beam;
      for (int i = 0; i < n && i < static_cast<int>(ed.beams.size()); ++i)
        qz_fprintf(fp, "%d  %d  %d\n", ed.beams[i].h, ed.beams[i].k, ed.beams[i].l);
      break;
    }
    case 1:
    case 11:
      qz_fprintf(fp, "#Auto type [wg]\n");
      limits();
      qz_fprintf(fp, "# w_g_bethe_min,  w_g_max,  xi_g_max\n");
      qz_fprintf(fp, "%g  %g  %g\n", bs.w_g_bethe_min, bs.w_g_max, bs.xi_g_max);
      break;
    case 2:
    case 12:
      qz_fprintf(fp, "#Auto type [sg]\n");
      limits();
      qz_fprintf(fp, "# s_g_bethe_min,  s_g_max,  xi_g_max\n");
      qz_fprintf(fp, "%g  %g  %g\n", bs.s_g_bethe_min, bs.s_g_max, bs.xi_g_max);
      break;
    case 3:
    case 13:
      qz_fprintf(fp, "#Auto type [sg-multi]\n");
      limits();
      qz_fprintf(fp, "# s_g_bethe_min,  s_g_max,  xi_g_max\n");
      for (int d = 0; d <= bs.lz_max && d < kNumLaueZones; ++d)
        qz_fprintf(fp, "%g  %g  %g  #d-LZ:\n", bs.s_g_bethe_min_lz[d], bs.s_g_max_lz[d], bs.xi_g_max_lz[d]);
      break;
    default:
      break;
  }
  qz_fprintf(fp, "}BEAM_SEARCH\n");
}

void print_calcpar1(FILE* fp, const fed& ed) {
  qz_fprintf(fp, "INCIDENT_BEAM{\n");
  qz_fprintf(fp, "%d  %d  %d  #Incidence  (upward)\n", ed.incidence.h, ed.incidence.k, ed.incidence.l);
  qz_fprintf(fp, "%d  %d  %d  #Surface normal (upward)\n", ed.normal.h, ed.normal.k, ed.normal.l);
  qz_fprintf(fp, "%g  %g  %g  #ZOLZ base vector\n", ed.zolzbase1[0], ed.zolzbase1[1], ed.zolzbase1[2]);
  fprintf_cstr(ed.tiltH_fp, ed.tiltH, "H_tilt", fp);
  fprintf_cstr(ed.tiltG_fp, ed.tiltG, "G_tilt", fp);
  fprintf_cstr(ed.voltage_fp, ed.voltage, "Accelerating Voltage [kV]", fp);
  qz_fprintf(fp, "}INCIDENT_BEAM\n");
  qz_fprintf(fp, "#\n");
  qz_fprintf(fp, "CALC_KXY_RANGE{\n");
  qz_fprintf(fp, "%d  #0: 0D, 1: 1D, 2: 2D disk, 3: 2D square\n", ed.calc_type);
  qz_fprintf(fp, "%d  #num_cal_pix_side\n", ed.num_cal_pix_side);
  qz_fprintf(fp, "%g    #Disksize\n", ed.disksize);
  qz_fprintf(fp, "}CALC_KXY_RANGE\n");
  print_BEAM_SEARCH(fp, ed);
  qz_fprintf(fp, "#\n");
  qz_fprintf(fp, "INTENSITY_DATA{\n");
  qz_fprintf(fp, "# Intensity file\n");
  qz_fprintf(fp, "%s\n", ed.int_file.c_str());
  qz_fprintf(fp, "%d    # Number of thicknesses\n", ed.num_thick_block);
  qz_fprintf(fp, "%d    # Number of reflections\n", ed.num_reflex);
  qz_fprintf(fp, "}INTENSITY_DATA\n");
}

void print_THICKNESS_BLOCK(FILE* fp, int i, int t, const fed& ed, const fei& ei) {
  (void)i;  // the dataset's records are passed directly
  const thickness_block& b = ed.tb[static_cast<std::size_t>(t)];
  qz_fprintf(fp, "THICKNESS_BLOCK{\n");
  qz_fprintf(fp, "# Thickness No. %d \n", t);
  qz_fprintf(fp, "STW_PAR{\n");
  fprintf_cstr(b.scale_fp, b.scale, "scale_factor", fp);
  fprintf_cstr(b.thickness_fp, b.thickness, "thickness", fp);
  fprintf_cstr(b.thickwidth_fp, b.thickwidth, "thickness_width[plus-minus]", fp);
  qz_fprintf(fp, "# num_thickwidth  0  # num_thickwidth * 2 + 1 --> calc. points\n");
  qz_fprintf(fp, "# thickwidth_type  1  # 0:rectangle, 1:triangle, 2:Gaussian\n");
  qz_fprintf(fp, "#\n");
  qz_fprintf(fp, "# Gaussian convolution:\n");
  qz_fprintf(fp, "#   number of pixels (odd), Gaussian par. (a: exp(-x^2/a^2) )\n");
  qz_fprintf(fp, "#   if num.=0 then no convolution\n");
  qz_fprintf(fp, "%d  %g\n", b.num_avrpix, b.avrpix_par);
  qz_fprintf(fp, "}STW_PAR\n");
  qz_fprintf(fp, "REFLEX_SHIFT_PAR{\n");
  for (int r = 0; r < ed.num_reflex; ++r) {
    const Hkl& g = ei.rg[r];
    qz_fprintf(fp, "#reflex %d\n", r);
    qz_fprintf(fp, "%d  %d  %d  %g  #h k l weight\n", g.h, g.k, g.l, b.weight[r]);
    fprintf_cstr(b.H_shift_fp[r], b.H_shift[r], "H_shift", fp);
    fprintf_cstr(b.G_shift_fp[r], b.G_shift[r], "G_shift", fp);
  }
  qz_fprintf(fp, "}REFLEX_SHIFT_PAR\n");
  qz_fprintf(fp, "}THICKNESS_BLOCK\n");
}

void print_DETECTOR_PAR(FILE* fp, const detector_par& d) {
  qz_fprintf(fp, "#\n");
  qz_fprintf(fp, "DETECTOR_PAR{\n");
  // The width is refined as its variance; a restraint is written back as a width.
  fitpar psf = d.psf_fp;
  if (psf.flg == kFlgRst) psf.rst_val = psf.rst_val > 0.0 ? std::sqrt(psf.rst_val) : 0.0;
  fprintf_cstr(psf, psf_width(d), "psf_width [g1/2] (Gaussian s.d.)", fp);
  fprintf_cstr(d.background_fp, d.background, "background [measured units]", fp);
  if (d.gain > 0.0) qz_fprintf(fp, "gain  %.10g\n", d.gain);
  if (d.read_noise >= 0.0) qz_fprintf(fp, "read_noise  %.10g\n", d.read_noise);
  qz_fprintf(fp, "}DETECTOR_PAR\n");
}

void output_FIT_MODE_file(const std::string& file, const csd& cs, int max_iter, int num_dataset,
                          const std::vector<fed>& eds, const std::vector<fei>& eis) {
  OutputFile out = qz_fopen_chk_wmode(file);
  FILE* fp = out.get();
  print_fit_mode_opening(fp, file);
  print_EPS_CONTROL_PARAMETERS(fp);
  qz_fprintf(fp, "%s", kRule);
  qz_fprintf(fp, "# fitting parameter:\n");
  qz_fprintf(fp, "#  value (or constraint), fitting flag, parameter's name\n");
  qz_fprintf(fp, "#  - constraint:\n");
  qz_fprintf(fp, "#  - fitting flag:   FIX:fix, ADJ:fit, CST:constrained\n");
  qz_fprintf(fp, "#  - parameter's name: \n");
  qz_fprintf(fp, "#\n");
  print_CRYSTAL_STRUCTURE_DATA(fp, cs);
  qz_fprintf(fp, "#\n");
  qz_fprintf(fp, "FIT_CALCULATION_CONDITION{\n");
  qz_fprintf(fp, "ITER_EXP_NUM{\n");
  qz_fprintf(fp, "%d    #Max. number of iteration\n", max_iter);
  qz_fprintf(fp, "%d    #Number of experimental data sets\n", num_dataset);
  qz_fprintf(fp, "}ITER_EXP_NUM\n");
  qz_fprintf(fp, "#\n");
  for (int i = 0; i < num_dataset; ++i) {
    const fed& ed = eds[i];
    qz_fprintf(fp, "DATA_SET{\n");
    qz_fprintf(fp, "# Data set no. %d\n", i);
    print_calcpar1(fp, ed);
    for (int t = 0; t < ed.num_thick_block; ++t) {
      qz_fprintf(fp, "#\n");
      print_THICKNESS_BLOCK(fp, i, t, ed, eis[i]);
    }
    if (ed.det.present) print_DETECTOR_PAR(fp, ed.det);
    qz_fprintf(fp, "}DATA_SET\n");
  }
  qz_fprintf(fp, "}FIT_CALCULATION_CONDITION\n");
  qz_fclose(out);
}

void input_fit_mode_file(const std::string& file, csd& cs, int* max_iter, int* num_dataset,
                         std::vector<fed>& eds, std::vector<fei>& eis) {
  File in = fopen_chk_rmode(file);
  FILE* fp = in.get();
  chk_data("FIT_MODE", fp);
  read_eps_ctrl_params_tlv(fp);
  input_csd_cstr(cs, fp, file);
  chk_data("FIT_CALCULATION_CONDITION{", fp);
  read_ITEM_EXP_NUM(max_iter, num_dataset, fp);
  const lattice_metric lm = bravai(cs.lp);
  eds.assign(static_cast<std::size_t>(*num_dataset), fed{});
  eis.assign(static_cast<std::size_t>(*num_dataset), fei{});
  for (int i = 0; i < *num_dataset; ++i) input_fit_exp_dataset(eds[i], eis[i], fp, lm);
  chk_data("}FIT_CALCULATION_CONDITION", fp);
  check_dataset_names(eds);
  constraint_fed(*num_dataset, eds);
  check_dataset_ranges(eds);
}

void fit_res_output(int num_dataset, const std::vector<fed>& eds, const std::vector<fei>& eis,
                    const double lp[6], const std::string& prefix) {
  for (int i = 0; i < num_dataset; ++i) {
    const fed& ed = eds[i];
    const fei& ei = eis[i];
    const std::string name = strprintf("%s%d.txt", prefix.c_str(), i);
    std::printf("Result: res file      -- %s\n", name.c_str());
    OutputFile out = qz_fopen_chk_wmode(name);
    FILE* fp = out.get();
    qz_fprintf(fp, "FIT_RESULT\n");
    qz_fprintf(fp, "#Dataset no. %d\n", i);
    qz_fprintf(fp, "CR_PAR{\n");
    qz_fprintf(fp, "# lattice parameter\n");
    qz_fprintf(fp, "# a,b,c,alpha,beta,gamma\n");
    qz_fprintf(fp, "%g  %g  %g  %g  %g  %g\n", lp[0], lp[1], lp[2], lp[3], lp[4], lp[5]);
    qz_fprintf(fp, "%d  %d  %d    # incident direction\n", ed.incidence.h, ed.incidence.k, ed.incidence.l);
    qz_fprintf(fp, "%g  %g  %g    # zolzbase1\n", ed.zolzbase1[0], ed.zolzbase1[1], ed.zolzbase1[2]);
    qz_fprintf(fp, "%g  %g    # tiltH tiltG\n", ed.tiltH, ed.tiltG);
    qz_fprintf(fp, "%g    # disksize\n", ed.disksize);
    qz_fprintf(fp, "}CR_PAR\n");
    qz_fprintf(fp, "NUM{\n");
    qz_fprintf(fp, "%d    #num_reflex\n", ed.num_reflex);
    qz_fprintf(fp, "%d    #num_thickness\n", ed.num_thick_block);
    qz_fprintf(fp, "%d  %d    #num_pix, num_pix_side\n", ei.num_cal_pix, ei.num_cal_pix_side);
    qz_fprintf(fp, "}NUM\n");
    const int side = ei.num_cal_pix_side;
    for (int t = 0; t < ed.num_thick_block; ++t) {
      qz_fprintf(fp, "THICKNESS{\n");
      for (int r = 0; r < ed.num_reflex; ++r) {
        const Hkl& g = ei.rg[r];
        qz_fprintf(fp, "RF{\n");
        qz_fprintf(fp, "%d  %d  %d  %g   #h k l\n", g.h, g.k, g.l, ed.tb[t].weight[r]);
        qz_fprintf(fp, "#Obs  Cal  Sig\n");
        qz_fprintf(fp, "#(H, G) = (0,0)\n");
        qz_fprintf(fp, "#(H, G) = (0,1)\n");
        qz_fprintf(fp, "#     .....    \n");
        for (int p = 0; p < ei.num_cal_pix; ++p) {
          qz_fprintf(fp, "%g  %g  %g\n", ei.extr_int(r, t, p), ei.cal_int(r, t, p), ei.extr_sig(r, t, p));
          if ((p + 1) % side == 0) qz_fprintf(fp, "\n");
        }
        qz_fprintf(fp, "}RF\n");
      }
      qz_fprintf(fp, "}THICKNESS\n");
    }
    qz_fclose(out);
  }
}

void output_int_file(const std::string& file, const fei& ei, const std::string& comment) {
  OutputFile out = qz_fopen_chk_wmode(file);
  FILE* fp = out.get();
  qz_fprintf(fp, "FIT_EXPDATA_RAW\n# %s\n", comment.c_str());
  qz_fprintf(fp, "CR{\n1 0 0\n0 1 0\n0 0 1\n0 0 0\n0 0\n}CR\n");
  qz_fprintf(fp, "PAR{\n%d\n%d\n%d %d\n%.12g %.12g %.12g %.12g\n}PAR\n", ei.num_thickness, ei.num_rg, ei.npix, ei.nx,
             ei.xmin, ei.xmax, ei.ymin, ei.ymax);
  for (int t = 0; t < ei.num_thickness; ++t) {
    qz_fprintf(fp, "THICKNESS{\n");
    for (int r = 0; r < ei.num_rg; ++r) {
      qz_fprintf(fp, "RF{\n%d %d %d\n", ei.rg[r].h, ei.rg[r].k, ei.rg[r].l);
      for (int p = 0; p < ei.npix; ++p) {
        qz_fprintf(fp, "%.10g %.10g\n", ei.obs_int(r, t, p), ei.obs_sig(r, t, p));
        if ((p + 1) % ei.nx == 0) qz_fprintf(fp, "\n");
      }
      qz_fprintf(fp, "}RF\n");
    }
    qz_fprintf(fp, "}THICKNESS\n");
  }
  qz_fclose(out);
}

}  // namespace kv
