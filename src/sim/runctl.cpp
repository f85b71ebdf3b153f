#include "sim/runctl.hpp"

#include <cstring>

#include "sim/error.hpp"
#include "sim/linereader.hpp"
#include "sim/qzio.hpp"

namespace kv {

Epsilon epsilon;
Dbg dbg;

namespace {

struct IniFlag {
  const char* name;
  int Dbg::*field;
};

// The order in which the flag names are tested against a line.
constexpr IniFlag kIniFlags[] = {
    {"eigval_dump_flag", &Dbg::eigval_dump_flag},   {"eigvec_dump_flag", &Dbg::eigvec_dump_flag},
    {"sg_dump_flag", &Dbg::sg_dump_flag},           {"betag_dump_flag", &Dbg::betag_dump_flag},
    {"reflex_dump_flag", &Dbg::reflex_dump_flag},   {"reflex_only_flag", &Dbg::reflex_only_flag},
    {"vg_dump_flag", &Dbg::vg_dump_flag},           {"a_mat_dump_flag", &Dbg::a_mat_dump_flag},
    {"b_mat_dump_flag", &Dbg::b_mat_dump_flag},     {"b_cond_dump_flag", &Dbg::b_cond_dump_flag},
    {"bc_chk_flag", &Dbg::bc_chk_flag},             {"all_int_out_flag", &Dbg::all_int_out_flag},
    {"covar_dump_flag", &Dbg::covar_dump_flag},     {"alpha_dump_flag", &Dbg::alpha_dump_flag},
    {"beta_dump_flag", &Dbg::beta_dump_flag},       {"obs_cal_dump_flag", &Dbg::obs_cal_dump_flag},
    {"ideal_cr_cal_flag", &Dbg::ideal_cr_cal_flag}, {"atm_pos_out_flag", &Dbg::atm_pos_out_flag},
    {"vg_sel_chk_flag", &Dbg::vg_sel_chk_flag},     {"process_mon_flag", &Dbg::process_mon_flag},
    {"wg_xig_list_flag", &Dbg::wg_xig_list_flag},   {"print_bij_flag", &Dbg::print_bij_flag},
    {"chk_data_dump_flag", &Dbg::chk_data_dump_flag},
};

struct EpsKey {
  const char* name;
  double Epsilon::*dfield;
  int Epsilon::*ifield;
};

// Substring matching in this order: a longer key that contains a shorter one
// stands before it (w_exponent_coef / w_exponent, bc_invmat_func / invmat_func).
constexpr EpsKey kEpsKeys[] = {
    {"general_eps", &Epsilon::general_eps, nullptr},
    {"eigen_eps", &Epsilon::eigen_eps, nullptr},
    {"inv_eps", &Epsilon::inv_eps, nullptr},
    {"degeneracy_eps", &Epsilon::degeneracy_eps, nullptr},
    {"perturb_step", &Epsilon::perturb_step, nullptr},
    {"tol_chisq_abs", &Epsilon::tol_chisq_abs, nullptr},
    {"tol_chisq_rel", &Epsilon::tol_chisq_rel, nullptr},
    {"tol_parameter", &Epsilon::tol_parameter, nullptr},
    {"tol_lambda", &Epsilon::tol_lambda, nullptr},
    {"marq_lambda_max", &Epsilon::marq_lambda_max, nullptr},
    {"intensity_scaling", &Epsilon::intensity_scaling, nullptr},
    {"bc_accuracy", &Epsilon::bc_accuracy, nullptr},
    {"corr_threshold", &Epsilon::corr_threshold, nullptr},
    {"w_sq_coef", &Epsilon::w_sq_coef, nullptr},
    {"w_exponent_coef", &Epsilon::w_exponent_coef, nullptr},
    {"w_exponent", &Epsilon::w_exponent, nullptr},
    {"scale_rst_chisq", &Epsilon::scale_rst_chisq, nullptr},
    {"e_density_gmax_val", &Epsilon::e_density_gmax_val, nullptr},
    {"vg_select_flag", nullptr, &Epsilon::vg_select_flag},
    {"eigmat_func", nullptr, &Epsilon::eigmat_func},
    {"bc_invmat_func", nullptr, &Epsilon::bc_invmat_func},
    {"invmat_func", nullptr, &Epsilon::invmat_func},
    {"svd_flag", nullptr, &Epsilon::svd_flag},
    {"thickwidth_type", nullptr, &Epsilon::thickwidth_type},
    {"num_thickwidth", nullptr, &Epsilon::num_thickwidth},
    {"cal_range_flag", nullptr, &Epsilon::cal_range_flag},
    {"numh", nullptr, &Epsilon::numh},
    {"auto_multiplicity_off", nullptr, &Epsilon::auto_multiplicity_off},
    {"flag_modified_marquardt", nullptr, &Epsilon::flag_modified_marquardt},
    {"num_threads", nullptr, &Epsilon::num_threads},
    {"forbidden_beam_flag", nullptr, &Epsilon::forbidden_beam_flag},
    {"max_memory_gb", &Epsilon::max_memory_gb, nullptr},
    {"max_output_gb", &Epsilon::max_output_gb, nullptr},
    {"fit_weight_model", nullptr, &Epsilon::fit_weight_model},
    {"fit_global_search", nullptr, &Epsilon::fit_global_search},
    {"fit_beam_check", nullptr, &Epsilon::fit_beam_check},
};

// Tolerances, step sizes, scale factors and limits that are only meaningful
// as positive numbers (a zero or negative tolerance never converges, a zero
// scaling turns every intensity into 0).
constexpr const char* kPositiveKeys[] = {
    "general_eps",   "eigen_eps",     "inv_eps",         "degeneracy_eps", "perturb_step",
    "tol_chisq_abs", "tol_chisq_rel", "tol_parameter",   "tol_lambda",     "marq_lambda_max",
    "intensity_scaling", "bc_accuracy", "max_memory_gb", "max_output_gb",
};

bool must_be_positive(const char* key) {
  for (const char* k : kPositiveKeys)
    if (std::strcmp(k, key) == 0) return true;
  return false;
}

// Switches of the refinement that take 0 or 1 only.
constexpr const char* kSwitchKeys[] = {"fit_weight_model", "fit_global_search", "fit_beam_check"};

bool is_switch(const char* key) {
  for (const char* k : kSwitchKeys)
    if (std::strcmp(k, key) == 0) return true;
  return false;
}

bool known_to_talvis(const EpsKey& k) {
  return std::strcmp(k.name, "e_density_gmax_val") != 0 && std::strcmp(k.name, "invmat_func") != 0 &&
         std::strcmp(k.name, "bc_invmat_func") != 0;
}

void read_eps_block(FILE* fp, bool utility) {
  chk_data("EPS_CONTROL_PARAMETERS{", fp);
  for (;;) {
    std::optional<std::string> line = comment_skip_fgets(128, fp);
    if (!line)
      fatal_out("$$ Data format error: end of file before }EPS_CONTROL_PARAMETERS.\n$$ Abort.\n");
    if (line->find("}EPS_CONTROL_PARAMETERS") != std::string::npos) {
      enter_block(fp, "}EPS_CONTROL_PARAMETERS");
      return;
    }
    const EpsKey* hit = nullptr;
    for (const EpsKey& k : kEpsKeys) {
      if (utility && !known_to_talvis(k)) continue;
      if (line->find(k.name) != std::string::npos) {
        hit = &k;
        break;
      }
    }
    if (!hit) {
      std::printf("$$ The next line could not be recognized.\n%s\n", rm_cr_copy(*line).c_str());
      continue;
    }
    if (hit->dfield) {
      const double v = second_double(*line);
      if (must_be_positive(hit->name)) require_positive(v, hit->name, fp);
      epsilon.*(hit->dfield) = v;
    } else {
      const int v = second_int(*line);
      if (is_switch(hit->name) && v != 0 && v != 1)
        fatal_out("$$ %s = %d: it must be 0 or 1.\n%s$$ Abort.\n", hit->name, v, place_note(fp).c_str());
      epsilon.*(hit->ifield) = v;
      if (hit->ifield == &Epsilon::eigmat_func) epsilon.eigmat_func_given = true;
      if (hit->ifield == &Epsilon::bc_invmat_func) epsilon.bc_invmat_func_given = true;
    }
  }
}

}  // namespace

void read_ini_file() {
  dbg = Dbg{};
  File fp = fopen_plain_file("korvex.ini");
  if (!fp) {
    std::printf("No korvex.ini in the working folder: no diagnostic dumps (this is the usual case).\n");
    return;
  }
  std::printf("Reading korvex.ini\n");
  std::fflush(stdout);
  start_reading(fp.get(), "korvex.ini");
  for (;;) {
    std::optional<std::string> line = comment_skip_fgets(80, fp.get());
    if (!line) fatal_out("\n$$ No INI_PARAM_END command in korvex.ini. Abort.\n");
    const IniFlag* hit = nullptr;
    for (const IniFlag& f : kIniFlags) {
      if (line->find(f.name) != std::string::npos) {
        hit = &f;
        break;
      }
    }
    if (hit) {
      dbg.*(hit->field) = second_int(*line);
    } else if (line->find("INI_PARAM_END") != std::string::npos) {
      break;
    } else {
      std::printf("%s is ignored.\n", rm_cr_copy(*line).c_str());
    }
  }
}

void check_job_size(const JobSize& size, const char* job) {
  constexpr double kGB = 1e9;
  if (size.memory_bytes > epsilon.max_memory_gb * kGB)
    fatal_out("$$ The %s needs about %.3g GB of memory, more than the limit of %g GB.\n"
              "$$ Reduce the request, or raise the limit with max_memory_gb in EPS_CONTROL_PARAMETERS.\n"
              "$$ Abort.\n",
              job, size.memory_bytes / kGB, epsilon.max_memory_gb);
  if (size.output_bytes > epsilon.max_output_gb * kGB)
    fatal_out("$$ The %s would write about %.3g GB of output, more than the limit of %g GB.\n"
              "$$ Reduce the request, or raise the limit with max_output_gb in EPS_CONTROL_PARAMETERS.\n"
              "$$ Abort.\n",
              job, size.output_bytes / kGB, epsilon.max_output_gb);
}

void read_eps_ctrl_params(FILE* fp) {
  epsilon = Epsilon{};
  read_eps_block(fp, false);
}

void read_eps_ctrl_params_tlv(FILE* fp) {
  epsilon = Epsilon{};
  epsilon.e_density_gmax_val = 0.0;
  read_eps_block(fp, true);
}

RunControl program_run_control() { return RunControl{epsilon, dbg}; }

std::vector<std::pair<std::string, double>> run_control_keys(const Epsilon& e) {
  std::vector<std::pair<std::string, double>> out;
  for (const EpsKey& k : kEpsKeys)
    out.emplace_back(k.name, k.dfield ? e.*(k.dfield) : static_cast<double>(e.*(k.ifield)));
  return out;
}

}  // namespace kv
