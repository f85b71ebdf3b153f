#include "fit/fit_report.hpp"

#include <cmath>

namespace kv {

fit_start_state capture_fit_start(fit_problem& fp, const double* x0) {
  fit_start_state s;
  for (const fed& ed : *fp.eds) {
    s.thickness.emplace_back();
    s.scale.emplace_back();
    for (const thickness_block& b : ed.tb) {
      s.thickness.back().push_back(b.thickness);
      s.scale.back().push_back(b.scale);
    }
  }
  s.model = model_at_points(fp, x0);
  return s;
}

namespace {

fit_dataset_record dataset_record(const fed& ed, const fei& ei) {
  fit_dataset_record d;
  d.int_file = ed.int_file;
  d.voltage = ed.voltage;
  d.incidence = ed.incidence;
  for (int k = 0; k < 3; ++k) d.g1[k] = ed.zolzbase1[k];
  d.tilt_centre[0] = ed.tiltH;
  d.tilt_centre[1] = ed.tiltG;
  d.disksize = ed.disksize;
  d.reflections.assign(ei.rg.begin(), ei.rg.begin() + ei.num_rg);
  d.nx = ei.nx;
  for (int p = 0; p < ei.npix; ++p) {
    const pix_point& q = ei.pix[p];
    d.pix_x.push_back(q.x);
    d.pix_y.push_back(q.y);
    d.pix_ix.push_back(q.ix);
    d.pix_iy.push_back(q.iy);
  }
  const int B = ed.num_thick_block, R = ei.num_rg, P = ei.npix;
  const std::size_t n = static_cast<std::size_t>(B) * R * P;
  d.obs.assign(n, 0.0);
  d.sd.assign(n, -1.0);
  d.mask.assign(n, 0);
  d.sd_fit.assign(n, -1.0);
  d.model_start.assign(n, 0.0);
  d.model_final.assign(n, 0.0);
  for (const thickness_block& b : ed.tb) {
    d.thickness_final.push_back(b.thickness);
    d.scale_final.push_back(b.scale);
  }
  for (int b = 0; b < B; ++b)
    for (int r = 0; r < R; ++r)
      for (int p = 0; p < P; ++p) {
        d.obs[d.at(b, r, p)] = ei.obs_int(r, b, p);
        d.sd[d.at(b, r, p)] = ei.obs_sig(r, b, p);
      }
  d.cal_side = ei.num_cal_pix_side;
  const int K = ei.num_cal_pix;
  for (int k = 0; k < K; ++k) {
    d.cal_x.push_back(ei.cal_pix[k].x);
    d.cal_y.push_back(ei.cal_pix[k].y);
    d.cal_flag.push_back(ei.cal_pix[k].flag);
  }
  d.cal_final.assign(static_cast<std::size_t>(B) * R * K, 0.0);
  for (int b = 0; b < B; ++b)
    for (int r = 0; r < R; ++r)
      for (int k = 0; k < K; ++k) d.cal_final[(static_cast<std::size_t>(b) * R + r) * K + k] = ei.cal_int(r, b, k);
  return d;
}

}  // namespace

fit_record make_fit_record(fit_problem& fp, const fit_outcome& o, const fit_start_state& start,
                           const std::vector<double>& r_start, const std::vector<double>& r_end,
                           const std::string& base_name, std::vector<std::pair<std::string, std::string>> inputs) {
  fit_record rec;
  rec.base_name = base_name;
  for (int k = 0; k < 6; ++k) rec.cell[k] = fp.cs->lp[k];
  for (std::size_t i = 0; i < fp.eds->size(); ++i) {
    fit_dataset_record d = dataset_record((*fp.eds)[i], (*fp.eis)[i]);
    d.thickness_start = start.thickness[i];
    d.scale_start = start.scale[i];
    d.r_start = r_start[i];
    d.r_final = r_end[i];
    rec.datasets.push_back(std::move(d));
  }
  const std::vector<double> final_model = model_at_points(fp, o.final_x.data());
  for (std::size_t n = 0; n < fp.pts.size(); ++n) {
    const measured_point& p = fp.pts[n];
    fit_dataset_record& d = rec.datasets[p.dataset];
    const std::size_t i = d.at(p.block, p.reflex, p.pix);
    d.mask[i] = 1;
    d.model_start[i] = start.model[n];
    d.model_final[i] = final_model[n];
    d.sd_fit[i] = p.sqrt_weight > 0 ? 1.0 / p.sqrt_weight : -1.0;
  }
  const int P = fp.num_params();
  for (int j = 0; j < P; ++j)
    rec.params.push_back(fit_param_record{fp.params[j].name, fp.params[j].fp->flg, o.start[j], o.final_x[j], o.sigma[j]});
  rec.covariance.assign(static_cast<std::size_t>(P) * P, 0.0);
  rec.correlation.assign(static_cast<std::size_t>(P) * P, 0.0);
  for (int j = 0; j < P; ++j)
    for (int k = 0; k < P; ++k) {
      rec.correlation[static_cast<std::size_t>(j) * P + k] = o.corr[j][k];
      rec.covariance[static_cast<std::size_t>(j) * P + k] = o.corr[j][k] * o.sigma[j] * o.sigma[k];
    }
  for (const fit_iteration& it : o.history)
    rec.history.push_back(fit_iteration_record{it.iteration, it.chisq, it.reduced, it.lambda});
  rec.chisq = o.chisq;
  rec.reduced = o.reduced;
  rec.dof = o.dof;
  rec.stop_reason = o.stop_reason;
  rec.corr_threshold = fp.rc.epsilon.corr_threshold;
  rec.run_control = run_control_keys(fp.rc.epsilon);
  rec.inputs = std::move(inputs);
  return rec;
}

}  // namespace kv
