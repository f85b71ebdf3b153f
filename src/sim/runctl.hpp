#pragma once
// The two process-wide run-control records: `epsilon` (tolerances, scale
// factors, algorithm switches; the EPS_CONTROL_PARAMETERS block) and `dbg`
// (base name and debug flags; korvex.ini). Both are written once at start-up.
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace kv {

struct Epsilon {
  double general_eps = 1e-10;
  double eigen_eps = 1e-8;
  double inv_eps = 1e-8;
  double degeneracy_eps = 1e-8;
  double perturb_step = 0.001;
  double tol_chisq_abs = 0.01;
  double tol_chisq_rel = 0.001;
  double tol_parameter = 0.01;
  double tol_lambda = 10.0;
  double marq_lambda_max = 1e6;
  double intensity_scaling = 10000.0;
  double bc_accuracy = 1.0;
  double corr_threshold = 0.5;
  double w_sq_coef = 1.0;
  double w_exponent_coef = 0.0;
  double w_exponent = 4.0;
  double scale_rst_chisq = 1.0;
  double e_density_gmax_val = 12.0;
  int vg_select_flag = 1;
  int eigmat_func = 0;
  // Whether the parameter file set eigmat_func; when it did not, the
  // simulation jobs choose the solver by the number of exact beams.
  bool eigmat_func_given = false;
  int invmat_func = 0;
  int bc_invmat_func = 0;
  // Whether the parameter file set bc_invmat_func; when it did not, the
  // simulation jobs solve the entrance condition by LAPACK.
  bool bc_invmat_func_given = false;
  int svd_flag = 1;
  int num_thickwidth = 0;
  int thickwidth_type = 2;
  int cal_range_flag = 0;
  int numh = 20;
  int auto_multiplicity_off = 0;
  int flag_modified_marquardt = 1;
  // Threads of the tilt loops: 0 every available core, 1 strictly serial.
  int num_threads = 0;
  // 1: the automatic beam searches keep reflections whose structure factor
  // vanishes (glide and screw extinctions), ranked by s_g alone.
  int forbidden_beam_flag = 0;
  // Limits on what one job may hold in memory and write to disk (GB, 10^9
  // bytes); a job whose estimate exceeds one is refused before it starts.
  double max_memory_gb = 4.0;
  double max_output_gb = 2.0;
  // Refinement: 1 takes each point's variance from the model (gain I_model
  // + read_noise^2, re-evaluated between Levenberg-Marquardt runs until the
  // weights settle); 0 from the measured value (w_sq_coef s^2 +
  // w_exponent_coef |I|^w_exponent).
  int fit_weight_model = 1;
  // Refinement: 1 scans the thickness and runs short fits from the best
  // starts before the refinement; 0 refines from the start as given.
  int fit_global_search = 1;
  // Refinement: 1 evaluates the refined model once more with widened
  // beam-search limits and reports the parameter changes this implies.
  int fit_beam_check = 1;
};

struct Dbg {
  FILE* dump_stream = nullptr;
  std::string base_name;
  // The text of the parameter file the job reads, as it was when the run
  // started: the numeric exports keep a copy beside the results.
  std::string parameter_text;
  int eigval_dump_flag = 0;
  int eigvec_dump_flag = 0;
  int sg_dump_flag = 0;
  int betag_dump_flag = 0;
  int reflex_dump_flag = 0;
  int reflex_only_flag = 0;
  int vg_dump_flag = 0;
  int a_mat_dump_flag = 0;
  int b_mat_dump_flag = 0;
  int b_cond_dump_flag = 0;
  int bc_chk_flag = 0;
  int all_int_out_flag = 0;
  int covar_dump_flag = 0;
  int alpha_dump_flag = 0;
  int beta_dump_flag = 0;
  int obs_cal_dump_flag = 0;
  int ideal_cr_cal_flag = 0;
  int atm_pos_out_flag = 0;
  int vg_sel_chk_flag = 0;
  int process_mon_flag = 0;
  int wg_xig_list_flag = 0;
  int print_bij_flag = 1;
  int chk_data_dump_flag = 0;
};

// The run-control values of one computation: the tolerances and switches of
// EPS_CONTROL_PARAMETERS and the debug flags. The library's computations take
// them as a value, so that computations with different values may run side
// by side in one process.
struct RunControl {
  Epsilon epsilon;
  Dbg dbg;
};

// The programs' view of the parameter file: korvex and talvis fill these
// two records once at start-up and hand copies of them (program_run_control)
// to the computations.
extern Epsilon epsilon;
extern Dbg dbg;

// A copy of the programs' two records.
RunControl program_run_control();

// Every EPS_CONTROL_PARAMETERS key with its value in e, in the block's order.
std::vector<std::pair<std::string, double>> run_control_keys(const Epsilon& e);

// Fills the dbg flags from korvex.ini in the working directory.
void read_ini_file();
// Sets the epsilon defaults, then reads the EPS_CONTROL_PARAMETERS block.
void read_eps_ctrl_params(FILE* fp);
// talvis's variant: knows neither e_density_gmax_val, invmat_func nor
// bc_invmat_func and leaves those fields at 0.
void read_eps_ctrl_params_tlv(FILE* fp);

// What a job will hold in memory and write, estimated before it starts.
struct JobSize {
  double memory_bytes = 0.0;
  double output_bytes = 0.0;
};
// Refuses a job whose estimate exceeds max_memory_gb or max_output_gb, with
// the estimate and the key that raises the limit in the message.
void check_job_size(const JobSize& size, const char* job);

}  // namespace kv
