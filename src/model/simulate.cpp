#include "model/simulate.hpp"

#include <algorithm>
#include <cmath>

#include "bloch/potential.hpp"
#include "crystal/structure_factor.hpp"
#include "numeric/lapack.hpp"
#include "numeric/solver_control.hpp"
#include "sim/error.hpp"

namespace kv {

namespace {

constexpr double kPi = 3.141592653589793;

// K_t = (H g1 + G g2) / 2, in reciprocal-lattice coordinates.
Vec3 tilt_vector(const sd& s, double H, double G) {
  Vec3 k{};
  for (int i = 0; i < 3; ++i) k[i] = 0.5 * (H * s.zolzbase1[i] + G * s.zolzbase2[i]);
  return k;
}

void add_point(sd& s, int ih, int ig, int flag, double H, double G) {
  s.kp.push_back(k_point{ih, ig, flag, H, G});
  s.tilt.push_back(tilt_vector(s, H, G));
}

// One thread's work area of a tilt loop: the engine scratch and the
// reflection x thickness result of one tilt.
template <class M>
struct tilt_area {
  work_cal_int w;
  M out;
};

template <class M>
std::vector<tilt_area<M>> tilt_areas(const sd& s, int threads, int eigmat_func) {
  std::vector<tilt_area<M>> areas(static_cast<std::size_t>(threads));
  for (tilt_area<M>& a : areas) {
    a.w = alloc_work_cal_int(s.num_exact_beam + s.num_bethe_beam, s.num_g, 0);
    // The split solver's scratch for the exact beams (grown by a tilt whose
    // re-selection makes more of them).
    if (eigmat_func == 3) a.w.eig.sw = alloc_split_work(s.num_exact_beam);
    a.out = M(s.num_g, s.num_thickness);
  }
  return areas;
}

}  // namespace

void calc_kxy_tilt(sd& s, const lattice_metric& lm, const Epsilon& eps) {
  s.zolzbase2 = zolz_ort_base(s.incidence, s.zolzbase1, lm);
  s.kp.clear();
  s.tilt.clear();
  const int n = s.num_cal_pix_side;
  const double d = s.disksize, H0 = s.tiltH, G0 = s.tiltG;
  const double step = n > 1 ? 2.0 * d / (n - 1) : 0.0;
  switch (s.calc_type) {
    case 0:
      add_point(s, 0, 0, 1, H0, G0);
      s.num_k_points = s.num_k_points_effective = 1;
      return;
    case 1:
      s.Hbgn = -d;
      s.Hend = d;
      s.Gbgn = s.Gend = 0;
      for (int i = 0; i < n; ++i) add_point(s, i - n / 2, 0, 1, H0 - d + i * step, G0);
      s.num_k_points = s.num_k_points_effective = n > 0 ? n : 0;
      return;
    case 2:
    case 3: {
      s.Hbgn = s.Gbgn = -d;
      s.Hend = s.Gend = d;
      int effective = 0;
      for (int j = 0; j < n; ++j) {
        const double G = G0 - d + j * step;
        for (int i = 0; i < n; ++i) {
          const double H = H0 - d + i * step;
          if (s.calc_type == 2) {
            const int flag = std::sqrt((H - H0) * (H - H0) + (G - G0) * (G - G0)) < d + eps.general_eps;
            effective += flag;
            add_point(s, i, j, flag, H, G);
          } else {
            ++effective;
            add_point(s, i - n / 2, j - n / 2, 1, H, G);
          }
        }
      }
      s.num_k_points = n > 0 ? n * n : 0;
      s.num_k_points_effective = effective;
      return;
    }
    default:
      fatal_out("$$ (calc_kxy_tilt) calc_type=%d is invalid. Abort.\n", s.calc_type);
  }
}

std::vector<int> computed_tilts(const sd& s) {
  std::vector<int> todo;
  todo.reserve(static_cast<std::size_t>(std::max(s.num_k_points_effective, 0)));
  for (int k = 0; k < s.num_k_points; ++k)
    if (s.kp[k].flag == 1) todo.push_back(k);
  return todo;
}

CMatrix condition_potential_matrix(const sd& s, csd& c, const lattice_metric& lm, int* error_flag,
                                   bool show_progress, int threads, bool share_ranks) {
  const int n = s.num_exact_beam + s.num_bethe_beam;
  CMatrix vg(n, n);
  *error_flag = 0;
  potential_matrix_csd(s.num_exact_beam, s.num_bethe_beam, s.beams, c, s.voltage, lm, vg, error_flag,
                       show_progress, threads, share_ranks);
  return vg;
}

engine_setup make_engine_setup(csd& c, const sd& s, const CMatrix& vg, const lattice_metric& lm,
                               const RunControl& rc) {
  engine_setup job;
  job.kv = s.voltage;
  job.incidence = s.incidence;
  job.normal = s.normal;
  double evd = 0;
  pre_calc_intensity(s.voltage, s.incidence, s.normal, lm, &job.abs_u, &job.abs_n, &job.cos_phi, &job.lambda,
                     &evd);
  job.K = calc_abs_K(c, s.voltage, lm);
  job.lm = lm;
  job.bs = s.bs;
  job.n_e0 = s.num_exact_beam;
  job.n_b0 = s.num_bethe_beam;
  job.beams = &s.beams;
  job.vg = &vg;
  job.ug = make_ug_table(s.voltage, vg);
  job.num_g = s.num_g;
  job.cal_g = s.cal_g.data();
  job.num_thickness = s.num_thickness;
  job.thickness = s.thickness.data();
  job.rc = rc;
  return job;
}

void calc_initial_phase(const sd& s, double lambda, complex* phase, const lattice_metric& lm) {
  for (int k = 0; k < s.num_k_points; ++k) {
    const Vec3& K = s.tilt[k];
    const double q2 = sq_abs(K, lm);
    const double kr = K[0] * s.probe[0] + K[1] * s.probe[1] + K[2] * s.probe[2];
    const double phi =
        kPi * (s.defocus * lambda * q2 + 0.5 * s.cs * lambda * lambda * lambda * q2 * q2 + 2.0 * kr);
    phase[k] = c_exp(complex{0.0, phi});
  }
}

int simulation_threads(const RunControl& rc, int n) {
  return std::max(1, std::min(tilt_loop_threads(rc), std::max(n, 1)));
}

std::vector<double> simulate_tilts(const engine_setup& job, const sd& s, const std::vector<int>& tilts,
                                   int threads, loop_progress& progress) {
  const int n = static_cast<int>(tilts.size());
  const int slot = s.num_g * s.num_thickness;
  // The tilt threads are the parallelism: BLAS stays on the calling thread.
  blas_single_thread();
  std::vector<tilt_area<RMatrix>> areas = tilt_areas<RMatrix>(s, threads, job.rc.epsilon.eigmat_func);
  const double scaling = job.rc.epsilon.intensity_scaling;
  // Each tilt writes only its own slot of reflection x thickness values.
  std::vector<double> out(static_cast<std::size_t>(n) * slot);
  parallel_for_progress(n, threads, progress, [&](int tid, int j) {
    tilt_area<RMatrix>& a = areas[tid];
    calc_intensity_with_perturb_ug(s.tilt[tilts[j]], job, a.w, a.out);
    double* o = &out[static_cast<std::size_t>(j) * slot];
    for (int g = 0; g < s.num_g; ++g)
      for (int t = 0; t < s.num_thickness; ++t) o[g * s.num_thickness + t] = a.out[g][t] * scaling;
  });
  return out;
}

std::vector<double> simulate_tilts_coherent(const engine_setup& job, const sd& s, const complex* phase,
                                            const std::vector<int>& tilts, int threads, loop_progress& progress) {
  const int n = static_cast<int>(tilts.size());
  const int slot = 2 * s.num_g * s.num_thickness;  // real and imaginary parts
  blas_single_thread();
  std::vector<tilt_area<CMatrix>> areas = tilt_areas<CMatrix>(s, threads, job.rc.epsilon.eigmat_func);
  std::vector<double> out(static_cast<std::size_t>(n) * slot);
  parallel_for_progress(n, threads, progress, [&](int tid, int j) {
    const int k = tilts[j];
    tilt_area<CMatrix>& a = areas[tid];
    calc_intensity_ug_coherent(s.tilt[k], phase[k], job, a.w, a.out);
    double* o = &out[static_cast<std::size_t>(j) * slot];
    for (int g = 0; g < s.num_g; ++g)
      for (int t = 0; t < s.num_thickness; ++t) {
        o[2 * (g * s.num_thickness + t)] = a.out[g][t].re;
        o[2 * (g * s.num_thickness + t) + 1] = a.out[g][t].im;
      }
  });
  return out;
}

namespace {

// The beams, reflections, thicknesses and grid of a result.
sim_result result_frame(const sd& s) {
  sim_result r;
  r.num_exact_beam = s.num_exact_beam;
  r.num_bethe_beam = s.num_bethe_beam;
  r.beams = s.beams;
  for (int g = 0; g < s.num_g; ++g) r.reflections.push_back(s.beams[s.cal_g[g]]);
  r.thickness.assign(s.thickness.begin(), s.thickness.begin() + s.num_thickness);
  r.tilts = s.kp;
  r.tilt_vectors = s.tilt;
  return r;
}

// The condition with its tilt grid laid, when the caller's has none.
sd with_grid(const sd& s, const lattice_metric& lm, const Epsilon& eps) {
  sd g = s;
  if (g.kp.empty()) calc_kxy_tilt(g, lm, eps);
  return g;
}

}  // namespace

namespace {

// What both simulations set up before their tilt loop: the crystal copied,
// the grid laid, the potential matrix and the engine's constants, the
// tilts to compute and the frame of the result.
struct prepared_simulation {
  csd crystal;
  lattice_metric lm;
  sd cond;
  CMatrix vg;
  engine_setup job;
  std::vector<int> todo;
  sim_result result;

  prepared_simulation(const csd& c, const sd& s, const RunControl& rc)
      : crystal(c), lm(bravai(crystal.lp.data())), cond(with_grid(s, lm, rc.epsilon)) {
    int error_flag = 0;
    vg = condition_potential_matrix(cond, crystal, lm, &error_flag, false, tilt_loop_threads(rc));
    job = make_engine_setup(crystal, cond, vg, lm, rc);
    // The solvers a job of this condition would use: the run control's when
    // it set them, else those chosen for the beam count.
    choose_job_solvers(job.rc.epsilon, cond.num_exact_beam);
    todo = computed_tilts(cond);
    result = result_frame(cond);
    result.threads = simulation_threads(rc, static_cast<int>(todo.size()));
  }
  prepared_simulation(const prepared_simulation&) = delete;
  prepared_simulation& operator=(const prepared_simulation&) = delete;
};

}  // namespace

sim_result simulate(const csd& crystal, const sd& cond, const RunControl& rc, const progress_callback& progress) {
  prepared_simulation p(crystal, cond, rc);
  const sd& s = p.cond;
  callback_progress report(progress);
  const std::vector<double> slots = simulate_tilts(p.job, s, p.todo, p.result.threads, report);
  sim_result& r = p.result;
  r.intensity = Tensor3<double>(s.num_g, s.num_thickness, s.num_k_points);
  const int slot = s.num_g * s.num_thickness;
  for (std::size_t i = 0; i < p.todo.size(); ++i)
    for (int g = 0; g < s.num_g; ++g)
      for (int t = 0; t < s.num_thickness; ++t)
        r.intensity(g, t, p.todo[i]) = slots[i * slot + g * s.num_thickness + t];
  return std::move(r);
}

sim_result simulate_coherent(const csd& crystal, const sd& cond, const RunControl& rc,
                             const progress_callback& progress) {
  prepared_simulation p(crystal, cond, rc);
  const sd& s = p.cond;
  CVector phase = alloc_vector<complex>(static_cast<std::size_t>(s.num_k_points));
  calc_initial_phase(s, p.job.lambda, phase.data(), p.lm);
  callback_progress report(progress);
  const std::vector<double> slots =
      simulate_tilts_coherent(p.job, s, phase.data(), p.todo, p.result.threads, report);
  sim_result& r = p.result;
  r.amplitude = Tensor3<complex>(s.num_g, s.num_thickness, s.num_k_points);
  const int slot = 2 * s.num_g * s.num_thickness;
  for (std::size_t i = 0; i < p.todo.size(); ++i)
    for (int g = 0; g < s.num_g; ++g)
      for (int t = 0; t < s.num_thickness; ++t) {
        const double* v = &slots[i * slot + 2 * (g * s.num_thickness + t)];
        r.amplitude(g, t, p.todo[i]) = complex{v[0], v[1]};
      }
  return std::move(r);
}

}  // namespace kv
