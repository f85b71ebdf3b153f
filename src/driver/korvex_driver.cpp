#include "driver/korvex_driver.hpp"

#include <cstdio>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>

#include "fit/fit_job.hpp"
#include "jobs/jobs.hpp"
#include "results/h5_file.hpp"
#include "sim/error.hpp"
#include "sim/linereader.hpp"
#include "sim/mpi_ranks.hpp"
#include "sim/parallel.hpp"
#include "sim/qzio.hpp"
#include "sim/run_lock.hpp"
#include "sim/runctl.hpp"
#include "sim/stale_temporaries.hpp"

namespace kv {

namespace {

using JobFn = void (*)(FILE*, FILE*, const std::string&);

struct JobMode {
  const char* token;
  const char* title;
  JobFn run;
  bool spread_over_ranks = false;  // tilts shared out among the MPI ranks (every rank runs the job)
};

constexpr JobMode kModes[] = {
    {"SIM_MODE", "##### Many-beam dynamical simulation #####\n", qz_simulation, true},
    {"SIM_COHERENT_MODE", "##### Many-beam dyn. sim. of coherent CBED patterns #####\n", qz_sim_coherent, true},
    {"DISPSURF_MODE", "##### Calculation of dispersion surface #####\n", qz_dispersion_surface},
    {"BLOCH_MODE", "##### Calculation of Bloch states #####\n", qz_bloch_state},
    {"TFRINGE_MODE", "##### Calculation of thickness fringes #####\n", qz_tfringe},
    {"E_DENSITY_PROJ_MODE", "##### Calculation of projected electron density #####\n",
     qz_electron_density_proj},
    {"POTENTIAL_REIM_PROJ_MODE", "##### Calculation of projected potential #####\n", qz_potential_reim_proj},
    {"E_DENSITY_3D_UNITCELL_MODE", "##### Calculation of 3D electron density #####\n",
     qz_electron_density_3d_unitcell},
    {"POTENTIAL_REIM_3D_UNITCELL_MODE", "##### Calculation of 3D electrostatic potential #####\n",
     qz_potential_reim_3d_unitcell},
    {"FIT_MODE", "##### Refinement against measured CBED intensities #####\n", qz_fit, true},
};

const char* version_line() { return "#####  korvex version " KV_VERSION " (C++20 build)\n"; }

// The banner's line on the processors used: one thread, or how many.
std::string cpu_line(int threads) {
  if (threads <= 1) return "#####  [Single CPU version]\n";
  return "#####  [Multi-thread version: " + std::to_string(threads) + " threads]\n";
}

void write_banner(FILE* fp, int threads) {
  std::fprintf(fp,
               "#####\n"
               "#####  korvex: many-beam Bloch-wave simulation of\n"
               "#####          convergent-beam electron diffraction\n"
               "%s"
               "#####\n",
               cpu_line(threads).c_str());
}

// The thread count a run of this parameter file asks for, read ahead of the
// job from a num_threads line of its EPS_CONTROL_PARAMETERS block, so that
// the banner can say it. Anything unreadable means the default (every
// core); the job's own reading reports problems.
int planned_threads(const std::string& parameter_file) {
  int requested = 0;
  File fp = fopen_plain_file(parameter_file);
  if (fp) {
    char line[256];
    bool in_block = false;
    while (std::fgets(line, sizeof line, fp.get())) {
      const std::string l(line);
      if (l.find("EPS_CONTROL_PARAMETERS{") != std::string::npos) in_block = true;
      if (l.find("}EPS_CONTROL_PARAMETERS") != std::string::npos) break;
      const std::size_t at = l.find("num_threads");
      if (in_block && l[0] != '#' && l[0] != '%' && at != std::string::npos) {
        const std::string rest = l.substr(at + std::strlen("num_threads"));  // the tokens view into it
        const std::vector<std::string_view> t = split_tokens(rest);
        if (!t.empty() && is_number(t[0])) {
          const double v = std::strtod(std::string(t[0]).c_str(), nullptr);
          if (v > -1e6 && v < 1e6) requested = static_cast<int>(v);
        }
      }
    }
  }
  return requested < 0 ? 1 : resolve_thread_count(requested);
}

void ending_title(FILE* log) {
  std::fprintf(log,
               "\n"
               "If you publish results obtained with this program, please cite the\n"
               "many-beam Bloch-wave method and the refinement procedure you used.\n"
               "\nSee you again!!!\n");
}

// Characters a result name cannot carry into the talvis script: its token
// separators (blank, comma, tab), control characters, and ';', which ends a
// command in the plot programs that the script's pages are made with.
bool fits_in_script(unsigned char c) {
  if (c < 0x20 || c == 0x7f) return false;
  return c != ' ' && c != ',' && c != ';';
}

// The base name becomes every output file's name and stands in the scripts
// written for talvis; a name those scripts cannot hold is refused before
// anything is written.
void check_base_name(const std::string& base_name, const std::string& parameter_file) {
  for (const char ch : base_name) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (!fits_in_script(c))
      fatal_out("$$ The parameter file name \"%s\" holds the character '%s', which the scripts written for "
                "talvis cannot hold.\n$$ Rename the file without blanks, commas, semicolons and control characters. "
                "Abort.\n",
                printable(parameter_file).c_str(), printable(std::string(1, ch)).c_str());
  }
  if (base_name[0] == '%' || base_name[0] == '#')
    fatal_out("$$ The parameter file name \"%s\" begins with '%c', which starts a comment in the scripts "
              "written for talvis. Abort.\n",
              printable(parameter_file).c_str(), base_name[0]);
}

std::string ask_parameter_file() {
  std::printf("Parameter file (with file extension) >>");
  std::fflush(stdout);
  std::optional<std::string> name = fget_1s(stdin);
  if (!name || name->empty())
    fatal_out("\n$$ Data format error: no parameter file name was given.\n$$ Abort.\n");
  return *name;
}


// The whole text of an open file; the stream is left at its start.
std::string stream_text(FILE* fp) {
  std::string text;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, fp)) > 0) text.append(buf, n);
  std::rewind(fp);
  return text;
}

}  // namespace

void qz_job(const std::string& parameter_file_name, const std::string& base_name, FILE* log) {
  dbg.base_name = base_name;
  File fp = fopen_chk_rmode(parameter_file_name);
  dbg.parameter_text = stream_text(fp.get());
  std::optional<std::string> token = fget_1s(fp.get());
  if (!token) fatal_out("$$ Data format error: %s holds no job mode.\n$$ Abort.\n", parameter_file_name.c_str());
  read_eps_ctrl_params(fp.get());
  for (const JobMode& mode : kModes) {
    if (*token == mode.token) {
      // Jobs that do not share out their tilts run whole on rank 0 alone.
      if (!mode.spread_over_ranks && !rank_writes_files()) return;
      qz_fprintf_stdo(log, "%s", mode.title);
      mode.run(fp.get(), log, base_name);
      return;
    }
  }
  std::string valid;
  for (const JobMode& mode : kModes) valid += std::string(valid.empty() ? "" : ", ") + mode.token;
  fatal_out("##### Job mode %s is not supported. Abort.\n"
            "$$ The first word of %s must be one of: %s (upper case, exactly as written here).\n",
            token->c_str(), parameter_file_name.c_str(), valid.c_str());
}

int korvex_main(int argc, char** argv) {
  hdf5_no_exit_cleanup();
  std::printf("\n#####  Welcome to KORVEX\n");
  std::printf("%s", version_line());
  // Named on the command line, the parameter file tells the banner how many
  // threads the run uses; asked for afterwards, the default is announced.
  const int banner_threads = argc == 2 ? planned_threads(argv[1]) : resolve_thread_count(0);
  write_banner(stdout, banner_threads);
  read_ini_file();

  std::string parameter_file;
  if (argc == 1) {
    parameter_file = ask_parameter_file();
  } else if (argc == 2) {
    parameter_file = argv[1];
  } else {
    fatal_out("Usage: korvex parameter_file (with extension)\n");
  }
  if (parameter_file.size() > 255)
    fatal_out("$$ File name longer than 255 characters: %s\n$$ Abort.\n", parameter_file.c_str());

  const std::string base_name = remove_extention(parameter_file);
  if (base_name.empty())
    fatal_out("$$ The parameter file name \"%s\" gives an empty base name: the output files are "
              "named from the file's own name before its first dot. Abort.\n",
              printable(parameter_file).c_str());
  check_base_name(base_name, parameter_file);
  const std::string log_name = base_name + "_log.txt";
  mark_input_file(parameter_file);
  // Held until the run ends, on the rank that writes the files.
  std::optional<RunLock> lock;
  if (rank_writes_files()) {
    lock.emplace(base_name);
    // What a killed run of this base name left half-written.
    if (const int n = remove_stale_temporaries(base_name))
      std::printf("$$ Removed %d unfinished temporary file%s that an earlier run of %s left behind.\n", n,
                  n == 1 ? "" : "s", base_name.c_str());
  }
  File log = open_log_file(log_name);
  std::fprintf(log.get(), "%s", version_line());
  write_banner(log.get(), banner_threads);
  qz_fprintf_stdo(log.get(), "parameter_file: %s\n", parameter_file.c_str());

  const auto start = std::chrono::steady_clock::now();
  try {
    qz_job(parameter_file, base_name, log.get());
  } catch (const FatalError& e) {
    // The log keeps the reason the run ended, after what it had printed so far.
    std::fputs(e.text().c_str(), log.get());
    std::fflush(log.get());
    throw;
  }
  const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
  qz_fprintf_stdo(log.get(), "Wall time: %.2f s\n", wall.count());

  ending_title(log.get());
  close_log_file(log, log_name);
  std::printf("See \"%s\".  See you again!!\n\n", log_name.c_str());
  return 0;
}

}  // namespace kv
