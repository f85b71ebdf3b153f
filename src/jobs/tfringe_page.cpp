#include "jobs/tfringe_page.hpp"

#include <cmath>
#include <vector>

#include "bloch/bloch_analysis.hpp"
#include "results/hdf5_export.hpp"
#include "jobs/simulation.hpp"
#include "sim/qzio.hpp"
#include "sim/runctl.hpp"

namespace kv {

void tfringe_export_and_script(const Vec3& kt, const engine_setup& job, const sd& s, const csd& c,
                               const std::string& base_name) {
  work_cal_int w = alloc_work_cal_int(job.n_e0 + job.n_b0, job.num_g, 0);
  const double kn = solve_bloch_tilt(kt, job, w);
  const double amp_scale = std::sqrt(epsilon.intensity_scaling);
  Tensor3<complex> amplitude(s.num_g, s.num_thickness, 1);
  std::vector<std::vector<double>> intensity(s.num_g, std::vector<double>(s.num_thickness));
  for (int t = 0; t < s.num_thickness; ++t)
    for (int r = 0; r < s.num_g; ++r) {
      const complex a = psi_limited_ug(w.pos[r], s.thickness[t], w.n_e, w.n_branch, w.branch.data(), kn,
                                       w.beta_sel.data(), w.eigval.data(), w.c, w.alpha.data());
      // Scaled as in the text files.
      amplitude(r, t, 0) = complex{a.re * amp_scale, a.im * amp_scale};
      intensity[r][t] = c_norm2(a) * epsilon.intensity_scaling;
    }
  const double kt3[3] = {kt[0], kt[1], kt[2]};
  write_tfringe_hdf5(base_name, s, c, amplitude, intensity, kt3);

  const std::string script = base_name + "_tlv.txt";
  OutputFile sc = qz_fopen_chk_wmode(script);
  qz_fprintf(sc.get(), "TALVIS_SCRIPT\n# script for talvis.\nTFRINGE_VISUAL_MODE\n#\nHTML_OPEN\n%s_.html\n#\n",
             base_name.c_str());
  qz_fprintf(sc.get(), "# TFRINGE_VISUAL: base name, intensity file, amplitude file\nTFRINGE_VISUAL\n");
  qz_fprintf(sc.get(), "%s\n%s_int.txt\n%s_re_im.txt\nHTML_CLOSE\n", base_name.c_str(), base_name.c_str(),
             base_name.c_str());
  qz_fclose(sc);
  std::printf("\n>> talvis %s_tlv.txt\n", base_name.c_str());
}

}  // namespace kv
