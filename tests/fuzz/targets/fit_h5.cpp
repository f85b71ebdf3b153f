// A refinement record ("%s_fit.h5") as talvis's FIT_PAGE reads it: refused
// with one message, or read into a record whose arrays agree with its own
// counts, since the fit page indexes them by those counts.
#include <string>

#include "fuzz_target.hpp"
#include "results/fit_hdf5.hpp"
#include "results/fit_record.hpp"

namespace {

void check_dataset(const kv::fit_dataset_record& d) {
  const std::size_t points = static_cast<std::size_t>(d.num_blocks()) * d.reflections.size() * d.pix_x.size();
  for (const auto* v : {&d.obs, &d.sd, &d.sd_fit, &d.model_start, &d.model_final})
    if (v->size() != points) kvfuzz::fault("a dataset's point array does not hold blocks x reflections x pixels");
  if (d.mask.size() != points) kvfuzz::fault("a dataset's mask does not hold blocks x reflections x pixels");
  if (d.pix_y.size() != d.pix_x.size() || d.pix_ix.size() != d.pix_x.size() || d.pix_iy.size() != d.pix_x.size())
    kvfuzz::fault("a dataset's pixel coordinates differ in length");
  for (const auto* v : {&d.thickness_start, &d.scale_start, &d.scale_final})
    if (v->size() != d.thickness_final.size()) kvfuzz::fault("a dataset's per-block values differ in length");
  const std::size_t grid = static_cast<std::size_t>(d.cal_side) * d.cal_side;
  if (d.cal_side < 0 || d.cal_x.size() != grid || d.cal_y.size() != grid || d.cal_flag.size() != grid)
    kvfuzz::fault("a dataset's calculated grid does not hold side x side points");
  if (d.cal_final.size() != static_cast<std::size_t>(d.num_blocks()) * d.reflections.size() * grid)
    kvfuzz::fault("a dataset's calculated model does not hold blocks x reflections x grid points");
}

}  // namespace

KV_FUZZ_TARGET(fit_h5) {
  const std::string file = kvfuzz::write_input(data, size, "fz_fit.h5");
  kv::fit_record rec;
  bool accepted = false;
  kvfuzz::run_reader([&] {
    rec = kv::read_fit_hdf5(file);
    accepted = true;
  });
  if (!accepted) return 0;
  const std::size_t p = rec.params.size();
  if (rec.covariance.size() != p * p || rec.correlation.size() != p * p)
    kvfuzz::fault("an accepted record's covariance is not parameters x parameters");
  for (const kv::fit_dataset_record& d : rec.datasets) check_dataset(d);
  return 0;
}
