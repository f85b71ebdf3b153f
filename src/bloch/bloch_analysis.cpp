#include "bloch/bloch_analysis.hpp"

#include <cmath>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "numeric/eigen.hpp"
#include "numeric/lapack.hpp"
#include "sim/error.hpp"
#include "sim/gnuplot_quote.hpp"
#include "sim/parallel.hpp"
#include "sim/progress.hpp"
#include "sim/qzio.hpp"
#include "sim/runctl.hpp"

namespace kv {

namespace {

constexpr double kTwoPi = 6.283185307179586;

// exp(2 pi i g.r) with g integer indices and r fractional coordinates.
complex phase_factor(const Hkl& g, const Vec3& r) {
  const double a = kTwoPi * (g.h * r[0] + g.k * r[1] + g.l * r[2]);
  return complex{std::cos(a), std::sin(a)};
}

// The map point x x1 + y x2, in fractional coordinates.
Vec3 map_point(const rxy_map& m, double x, double y) {
  Vec3 r{};
  for (int c = 0; c < 3; ++c) r[c] = x * m.x1[c] + y * m.x2[c];
  return r;
}

}  // namespace

double solve_bloch_tilt(const Vec3& kt, const engine_setup& job, work_cal_int& w) {
  const double kz = calc_K_z(job.K, kt, job.lm);
  const double kn = kz * job.cos_phi + inner_product_uvw_hkl(job.normal, kt) / job.abs_n;
  calc_sg_beta_g(kt, kz, kn, job.K, job.abs_u, job.incidence, job.abs_n, job.normal, job.n_e0, job.n_b0,
                 *job.beams, job.lm, w.sg.data(), w.beta.data(), job.rc.dbg);
  vg_select_info_ug(job.n_e0, job.n_b0, &w.n_e, &w.n_b, w.idx.data(), *job.vg, *job.beams, w.sg.data(),
                    job.bs, job.incidence, job.kv, job.rc.epsilon.vg_select_flag);
  vg_select_trans_ug(job.n_e0, job.n_b0, w.n_e, w.n_b, w.idx.data(), w.beta.data(), w.beta_sel.data(),
                     job.num_g, job.cal_g, w.pos.data());
  build_structure_matrix(job, w);
  // Beam-search modes above 9 ask for the classical Bethe potentials.
  bethe_reduce(job, w);
  eigmat(w.n_e, w.b, w.eigval.data(), w.c, w.eig, solver_control_of(job.rc));
  upper_b_cond(w.n_e, w.beta_sel.data(), w.c, w.alpha.data(), w, job.rc);
  limited_branch(job.rc.epsilon.bc_accuracy, w);
  return kn;
}

complex calc_projpot(const Vec3& r, int n, const BeamList& beams, const CMatrix& vg) {
  complex sum{0, 0};
  for (int g = 0; g < n; ++g) sum += vg[g][0] * phase_factor(beams[g], r);
  return sum;
}

complex calc_inv_fourier(const Vec3& r, int n, const BeamList& beams, const complex* c) {
  complex sum{0, 0};
  for (int g = 0; g < n; ++g) sum += c[g] * phase_factor(beams[g], r);
  return sum;
}

complex calc_bloch_state_func_ug(int j, const Vec3& r, int n, const BeamList& beams, const Vec3& kt,
                                 const double* beta_sel, const CMatrix& c) {
  complex sum{0, 0};
  for (int g = 0; g < n; ++g) sum += (1.0 / std::sqrt(beta_sel[g])) * c[g][j] * phase_factor(beams[g], r);
  const double a = kTwoPi * (kt[0] * r[0] + kt[1] * r[1] + kt[2] * r[2]);
  return complex{std::cos(a), std::sin(a)} * sum;
}

double map_coord(double b, double e, int i, int n) { return n > 1 ? b + (e - b) * i / (n - 1) : b; }

namespace {

// The lines of one point in the three files of the dispersion-surface job.
struct point_lines {
  std::string ds, amp, in, kin;
};

point_lines disp_surf_lines(const ds_point& q, const engine_setup& job, int branch_begin, int branch_end,
                            work_cal_int& w) {
  point_lines out;
  const double kn = solve_bloch_tilt(q.kt, job, w);
  out.ds = strprintf("%g\t%g\t%.12lg", q.H, q.G, std::fabs(kn));
  for (int j = branch_begin - 1; j < branch_end; ++j) {
    const complex l = w.eigval[j];
    out.ds += strprintf("\t%.12lg\t%lg\t%lg\t%lg\t%lg", std::fabs(l.re / (2 * kn) + kn), std::fabs(l.im / (2 * kn)),
                        l.re, l.im, c_norm2(w.alpha[j]));
  }
  out.ds += "\n";
  // Without the crystal potential the eigenvalues are the diagonal terms
  // 2 K s_g / beta_g: the wave vector of each beam on its own sphere, on the
  // same k_z scale as the branches.
  out.kin = strprintf("%g\t%g", q.H, q.G);
  for (int g = 0; g < job.n_e0; ++g)
    out.kin += strprintf("\t%.12lg", std::fabs(2.0 * job.K * w.sg[g] / w.beta[g] / (2 * kn) + kn));
  out.kin += "\n";
  out.amp = strprintf("%g\t%g", q.H, q.G);
  for (int i = 0; i < job.num_g; ++i) {
    const int b = w.pos[i];
    for (int j = branch_begin - 1; j < branch_end; ++j) {
      const complex ec = b >= 0 ? w.alpha[j] * w.c[b][j] : complex{0, 0};
      const double sb = b >= 0 ? std::sqrt(w.beta_sel[b]) : 1.0;
      out.amp += strprintf("\t%lg\t%lg", c_abs(ec) / sb, c_arg(ec));
    }
  }
  out.amp += "\n";
  out.in = strprintf("%g\t%g", q.H, q.G);
  for (int i = 0; i < job.num_g; ++i)
    for (int t = 0; t < job.num_thickness; ++t)
      out.in += strprintf("\t%g", psi_to_intensity_limited_ug(w.pos[i], job.thickness[t], w.n_e, w.n_branch,
                                                               w.branch.data(), kn, w.beta_sel.data(),
                                                               w.eigval.data(), w.c, w.alpha.data()) *
                                       job.rc.epsilon.intensity_scaling);
  out.in += "\n";
  return out;
}

}  // namespace

void calc_disp_surf_ug(const std::vector<ds_point>& points, const engine_setup& job_in, int branch_begin,
                       int branch_end, const std::string& s) {
  // The beams of the job at every tilt: no per-tilt re-selection.
  epsilon.vg_select_flag = 0;
  engine_setup job = job_in;
  job.rc.epsilon.vg_select_flag = 0;
  std::printf("(calc_disp_surf_ug) vg_select_flag is set to 0.\n");
  const std::string ds_name = s + "_ds.txt", amp_name = s + "_amp.txt", int_name = s + "_int.txt";
  OutputFile ds = qz_fopen_chk_wmode(ds_name);
  qz_fprintf(ds.get(), "# Dispersion surface\n# kn, excitation(=eps^2)\n");
  OutputFile amp = qz_fopen_chk_wmode(amp_name);
  qz_fprintf(amp.get(),
             "# Amplitudes of reflections Cg (multiplied by excitation)\n"
             "# (Amplitude and Phase (rad),  g:reflection, j:branch)\n");
  const BeamList& beams = *job.beams;
  for (int i = 0; i < job.num_g; ++i) {
    const Hkl& g = beams[job.cal_g[i]];
    qz_fprintf(amp.get(), "# g %d: %d %d %d\n", i, g.h, g.k, g.l);
  }
  OutputFile in = qz_fopen_chk_wmode(int_name);
  qz_fprintf(in.get(), "# Diffracted intensities\n");
  for (int i = 0; i < job.num_g; ++i) {
    const Hkl& g = beams[job.cal_g[i]];
    qz_fprintf(in.get(), "# g %d: %d %d %d\n", i, g.h, g.k, g.l);
  }
  for (int t = 0; t < job.num_thickness; ++t) qz_fprintf(in.get(), "# thickness %d: %g[A]\n", t, job.thickness[t]);
  const std::string kin_name = s + "_ds_kin.txt";
  OutputFile kin = qz_fopen_chk_wmode(kin_name);
  qz_fprintf(kin.get(), "# Kinematic k_z of every exact beam (free-electron sphere of each beam)\n");
  for (int g = 0; g < job.n_e0; ++g)
    qz_fprintf(kin.get(), "# g %d: %d %d %d\n", g, beams[g].h, beams[g].k, beams[g].l);
  qz_fprintf(kin.get(), "kxy(H)\tkxy(G)");
  for (int g = 0; g < job.n_e0; ++g) qz_fprintf(kin.get(), "\tkz(g%d)", g);
  qz_fprintf(kin.get(), "\n");

  qz_fprintf(ds.get(), "kxy(H)\tkxy(G)\tKz");
  for (int j = branch_begin; j <= branch_end; ++j)
    qz_fprintf(ds.get(), "\tRe(kz%d)\tIm(kz%d)\tRe(gamma%d)\tIm(gamma%d)\tSq(eps%d)", j, j, j, j, j);
  qz_fprintf(ds.get(), "\n");
  qz_fprintf(amp.get(), "kxy(H)\tkxy(G)");
  for (int i = 0; i < job.num_g; ++i)
    for (int j = branch_begin; j <= branch_end; ++j) qz_fprintf(amp.get(), "\tA(eC)g%dj%d\tP(eC)g%dj%d", i, j, i, j);
  qz_fprintf(amp.get(), "\n");
  qz_fprintf(in.get(), "kxy(H)\tkxy(G)");
  for (int i = 0; i < job.num_g; ++i)
    for (int t = 0; t < job.num_thickness; ++t) qz_fprintf(in.get(), "\tg%dt%d", i, t);
  qz_fprintf(in.get(), "\n");

  // The points are solved in blocks on every thread; each point's three
  // lines are formatted by the thread that solved it and written in point
  // order, so the files do not depend on the thread count.
  const int count = static_cast<int>(points.size());
  const int threads = std::max(1, std::min(tilt_loop_threads(), std::max(count, 1)));
  blas_single_thread();
  std::printf("Tilt loop: %d thread%s\n", threads, threads == 1 ? "" : "s");
  std::vector<work_cal_int> areas;
  for (int t = 0; t < threads; ++t) areas.push_back(alloc_work_cal_int(job.n_e0 + job.n_b0, job.num_g, 0));
  const int block = 64 * threads;
  std::vector<point_lines> lines(static_cast<std::size_t>(std::min(block, std::max(count, 1))));
  for (int first = 0; first < count; first += block) {
    const int n = std::min(block, count - first);
    parallel_for(n, threads, [&](int tid, int i) {
      lines[i] = disp_surf_lines(points[first + i], job, branch_begin, branch_end, areas[tid]);
    });
    for (int i = 0; i < n; ++i) {
      progress_indicator(first + i, count);
      qz_fprintf(ds.get(), "%s", lines[i].ds.c_str());
      qz_fprintf(amp.get(), "%s", lines[i].amp.c_str());
      qz_fprintf(in.get(), "%s", lines[i].in.c_str());
      qz_fprintf(kin.get(), "%s", lines[i].kin.c_str());
    }
  }
  std::printf("100%%\n");
  qz_fclose(ds);
  qz_fclose(amp);
  qz_fclose(in);
  qz_fclose(kin);

  OutputFile sc = qz_fopen_chk_wmode(s + "_tlv.txt");
  qz_fprintf(sc.get(), "TALVIS_SCRIPT\nDISPSURF_VISUAL_MODE\nHTML_OPEN\n%s_.html\nDISPSURF_VISUAL\n", s.c_str());
  qz_fprintf(sc.get(), "%d  #branch_begin\n%d  #branch_end\n%d  #num_rf_amp\n%d  #num_thick\n", branch_begin,
             branch_end, job.num_g, job.num_thickness);
  qz_fprintf(sc.get(), "%s\n%s\n%s\n%s\nHTML_CLOSE\n", s.c_str(), ds_name.c_str(), amp_name.c_str(),
             int_name.c_str());
  qz_fclose(sc);
  std::printf("\n>> talvis %s_tlv.txt\n", s.c_str());
}

void calc_bloch_state_ug(const Vec3& kt, const engine_setup& job_in, const rxy_map& map, int branch_begin,
                         int branch_end, const std::string& s, FILE* log) {
  // The beams of the job at every tilt: no per-tilt re-selection.
  epsilon.vg_select_flag = 0;
  engine_setup job = job_in;
  job.rc.epsilon.vg_select_flag = 0;
  work_cal_int w = alloc_work_cal_int(job.n_e0 + job.n_b0, job.num_g, 0);
  solve_bloch_tilt(kt, job, w);
  const int n_e = w.n_e;
  const int N = job.n_e0 + job.n_b0;

  OutputFile sc = qz_fopen_chk_wmode(s + "_tlv.txt");
  qz_fprintf(sc.get(), "TALVIS_SCRIPT\nBLOCH_VISUAL_MODE\nHTML_OPEN\n%s_.html\nBLOCH_VISUAL\n%s\n", s.c_str(),
             s.c_str());

  const std::string kn_name = s + "_kn.txt";
  OutputFile kn = qz_fopen_chk_wmode(kn_name);
  qz_fprintf(kn.get(), "%% kn\n%% branch_i\tRe_eigenvalue\tIm_eigenvalue\teps^2\n");
  for (int j = 0; j < n_e; ++j)
    qz_fprintf(kn.get(), "%d: %g %g %g\n", j + 1, w.eigval[j].re, w.eigval[j].im, c_norm2(w.alpha[j]));
  qz_fclose(kn);
  if (log) qz_fprintf(log, " k_n ==> %s\n", kn_name.c_str());

  const std::string pp_name = s + "_pp.txt";
  OutputFile pp = qz_fopen_chk_wmode(pp_name);
  qz_fprintf(pp.get(), "# Projected potential (formed by %d-beams)\n#nx ny\n#%d %d\n", N, map.nx, map.ny);
  qz_fprintf(pp.get(), "#x\ty\t\tpotential.re[V]\tpotential.im[V]\n");
  std::printf("Proj. potential\n");
  for (int i = 0; i < map.nx; ++i) {
    progress_indicator(i, map.nx);
    const double x = map_coord(map.x_range[0], map.x_range[1], i, map.nx);
    for (int k = 0; k < map.ny; ++k) {
      const double y = map_coord(map.y_range[0], map.y_range[1], k, map.ny);
      const complex v = calc_projpot(map_point(map, x, y), N, *job.beams, *job.vg);
      qz_fprintf(pp.get(), "%g\t%g\t%g\t%g\n", x, y, v.re, v.im);
    }
    qz_fprintf(pp.get(), "\n");
  }
  std::printf("100%%.\n");
  qz_fclose(pp);
  if (log) qz_fprintf(log, " Projected potential: ==> %s\n", pp_name.c_str());
  qz_fprintf(sc.get(), "%s_pp.txt\n%d    # branch_begin\n%d    # branch_end\n", s.c_str(), branch_begin,
             branch_end);

  for (int jb = branch_begin; jb <= branch_end; ++jb) {
    const int j = jb - 1;
    const double eps2 = c_norm2(w.alpha[j]);
    const std::string name = s + "_b" + std::to_string(jb) + ".txt";
    OutputFile bf = qz_fopen_chk_wmode(name);
    if (log) qz_fprintf(log, " Prob. density (branch %d): ==> %s\n", jb, name.c_str());
    qz_fprintf(sc.get(), "%s\n%d    # branch\n%g    # eps^2\n", name.c_str(), jb, eps2);
    qz_fprintf(bf.get(), "# Bloch state: branch %d)\n# branch:%d, eigen_val:%g, excitation(eps^2):%g\n", jb, jb,
               w.eigval[j].re, eps2);
    qz_fprintf(bf.get(), "# nx ny\n# %d %d\n#x\ty\tdensity\tangle\tre\tim\n", map.nx, map.ny);
    std::printf("Branch %d\n", jb);
    for (int i = 0; i < map.nx; ++i) {
      progress_indicator(i, map.nx);
      const double x = map_coord(map.x_range[0], map.x_range[1], i, map.nx);
      for (int k = 0; k < map.ny; ++k) {
        const double y = map_coord(map.y_range[0], map.y_range[1], k, map.ny);
        const complex b =
            calc_bloch_state_func_ug(j, map_point(map, x, y), n_e, *job.beams, kt, w.beta_sel.data(), w.c);
        qz_fprintf(bf.get(), "%g\t%g\t%g\t%g\t%g\t%g\n", x, y, c_norm2(b), c_arg(b), b.re, b.im);
      }
      qz_fprintf(bf.get(), "\n");
    }
    std::printf("100%%.\n");
    qz_fclose(bf);
  }
  qz_fprintf(sc.get(), "HTML_CLOSE\n");
  qz_fclose(sc);
  std::printf("\n>> talvis %s_tlv.txt\n", s.c_str());
}

void calc_tfringe_ug(const Vec3& kt, const engine_setup& job, const std::string& s) {
  const std::string int_name = s + "_int.txt", plt_name = s + ".plt", reim_name = s + "_re_im.txt";
  OutputFile in = qz_fopen_chk_wmode(int_name);
  OutputFile plt = qz_fopen_chk_wmode(plt_name);
  qz_fprintf(plt.get(), "#\n");
  OutputFile reim = qz_fopen_chk_wmode(reim_name);
  work_cal_int w = alloc_work_cal_int(job.n_e0 + job.n_b0, job.num_g, 0);
  const double kn = solve_bloch_tilt(kt, job, w);

  qz_fprintf(in.get(), "#thickness");
  qz_fprintf(reim.get(), "#thickness");
  qz_fprintf(plt.get(),
             "set xlabel \"thickness [A]\"\nset ylabel \"Intensity\"\nset title \"Thickness fringes\"\n"
             "set term png\nset output %s\nplot ",
             gp_quote(s + "_out.png").c_str());
  const BeamList& beams = *job.beams;
  for (int r = 0; r < job.num_g; ++r) {
    const Hkl& g = beams[job.cal_g[r]];
    qz_fprintf(in.get(), "\t%d_%d_%d", g.h, g.k, g.l);
    qz_fprintf(reim.get(), "\t%d_%d_%d", g.h, g.k, g.l);
    qz_fprintf(plt.get(), "%s using 1:%d title \"%d %d %d\" with lines ", gp_quote(int_name).c_str(), r + 2, g.h,
               g.k, g.l);
    if (r + 1 < job.num_g) qz_fprintf(plt.get(), ",\\\n");
  }
  qz_fprintf(in.get(), "\n");
  qz_fprintf(reim.get(), "\n");
  qz_fprintf(plt.get(), "\n");

  const double amp_scale = std::sqrt(job.rc.epsilon.intensity_scaling);
  for (int t = 0; t < job.num_thickness; ++t) {
    const double th = job.thickness[t];
    qz_fprintf(in.get(), "%lg", th);
    qz_fprintf(reim.get(), "%lg", th);
    for (int r = 0; r < job.num_g; ++r) {
      const complex a = psi_limited_ug(w.pos[r], th, w.n_e, w.n_branch, w.branch.data(), kn, w.beta_sel.data(),
                                       w.eigval.data(), w.c, w.alpha.data());
      qz_fprintf(in.get(), "\t%lg", c_norm2(a) * job.rc.epsilon.intensity_scaling);
      qz_fprintf(reim.get(), "\t%lg\t%lg", a.re * amp_scale, a.im * amp_scale);
    }
    qz_fprintf(in.get(), "\n");
    qz_fprintf(reim.get(), "\n");
  }
  qz_fprintf(plt.get(), "#pause -1 \n");
  qz_fclose(in);
  qz_fclose(plt);
  qz_fclose(reim);
  std::printf("\n==> SEE %s\n", plt_name.c_str());
}

}  // namespace kv
