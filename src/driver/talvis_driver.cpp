#include "driver/talvis_driver.hpp"

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "expdata/scans.hpp"
#include "expimage/import_job.hpp"
#include "input/cif_input.hpp"
#include "input/fields.hpp"
#include "jobs/fit_skeleton.hpp"
#include "results/h5_file.hpp"
#include "sim/error.hpp"
#include "sim/linereader.hpp"
#include "sim/qzio.hpp"
#include "sim/script_folder.hpp"
#include "vis/asf_menu.hpp"
#include "vis/script_inputs.hpp"
#include "vis/spawn.hpp"
#include "vis/tlv_jobs.hpp"

namespace kv {

namespace {

const char* version_line() { return "talvis version " KV_VERSION " (C++20 build)\n"; }

std::string ask_script_file() {
  std::printf("Script-file:");
  std::printf("  (\"int\" for the interactive mode)\n");
  std::printf(">>");
  std::fflush(stdout);
  std::optional<std::string> name = fget_1s(stdin);
  if (!name || name->empty()) error_exit(stdout, "(talvis) no script file was given.\n usage: talvis script_file.");
  return *name;
}

// A result file name goes into a script line, where blanks, commas and tabs
// separate fields and a leading '%' or '#' makes a comment. Such a name could
// not be read back as written, so it is refused here.
void check_script_name(const std::string& name) {
  bool ok = !name.empty() && name[0] != '#' && name[0] != '%' && name.rfind("COMMENT{", 0) != 0;
  for (char c : name)
    if (c == ' ' || c == ',' || c == '\t' || c == '\r' || c == '\n') ok = false;
  if (!ok)
    error_exit(stdout,
               "(talvis) the file name \"%s\" cannot be written into a script "
               "(it holds a blank, comma, tab or line end, or begins with %% or #)",
               name.c_str());
}

// Writes the script, reports it and runs a second talvis on it, which asks
// its own questions on the same console.
void write_script_and_run(const std::string& result_file, const std::vector<std::string>& lines) {
  check_script_name(result_file);
  const std::string script = remove_extention(result_file) + "_tlv.txt";
  {
    OutputFile fp = qz_fopen_chk_wmode(script);
    for (const std::string& line : lines) qz_fprintf(fp.get(), "%s\n", line.c_str());
    qz_fclose(fp);
  }
  std::printf("%s generated.\n", script.c_str());
  std::printf("Usage>> talvis %s\n\n", script.c_str());
  run_tool({self_executable(), script}, std::nullopt, false);
}

std::vector<std::string> sim_page_script(const std::string& result_file, const char* mode, const char* command) {
  const std::string base = remove_extention(result_file);
  return {"TALVIS_SCRIPT",
          "# script for talvis.",
          mode,
          "HTML_OPEN",
          base + "_.html",
          "#",
          std::string("# ") + command,
          "# rs_file gamma_coef mag(int) cont_reverse_flag",
          command,
          result_file + " 0.5 1 0",
          "HTML_CLOSE"};
}

std::vector<std::string> fit_page_script(const std::string& result_file, const char* mode, const char* command) {
  return {"TALVIS_SCRIPT",
          "# script for talvis.",
          mode,
          "#",
          "VIS_PARAMS",
          "# gamma_coef mag(integer) cont_reverse_flag(1/0) preset_max_val",
          "1.0  2  1",
          "#",
          command,
          result_file};
}

void run_script(FILE* fp) {
  std::puts("\n##### talvis_script #####\n");
  const std::optional<std::string> mode = fget_1s(fp);
  const std::string m = mode ? *mode : std::string();
  if (m == "SIM_VISUAL_MODE") {
    std::printf("1: whole patterns / 2: individual reflections   >>");
    std::fflush(stdout);
    const int flag = fget_i(stdin);
    if (flag == 1)
      job_sim_visual_mode(fp);
    else if (flag == 2)
      job_sim_visual_reflex_mode(fp);
    else
      error_exit(stdout, "(talvis) invalid number (flag=%d)", flag);
  } else if (m == "SIM_COHERENT_VISUAL_MODE") {
    job_sim_coherent_visual_mode(fp);
  } else if (m == "TS_SCAN_MODE") {
    job_ts_scan_mode(fp);
  } else if (m == "TS_SCAN_VIS_MODE") {
    job_ts_scan_vis(fp);
  } else if (m == "FIT_SHIFT_SCAN_MODE") {
    job_fit_shift_scan_mode(fp);
  } else if (m == "DISPSURF_VISUAL_MODE") {
    job_dispsurf_visual_mode(fp);
  } else if (m == "BLOCH_VISUAL_MODE") {
    job_bloch_visual_mode(fp);
  } else if (m == "TFRINGE_VISUAL_MODE") {
    job_tfringe_visual_mode(fp);
  } else if (m == "FIT_VISUAL_MODE") {
    job_fit_visual_mode(fp);
  } else if (m == "FITEXP_VISUAL_MODE") {
    job_fitexp_visual_mode(fp);
  } else {
    error_exit(stdout, "(talvis) invalid script file (buf=%s)", printable(m).c_str());
  }
}

}  // namespace

void opening_title_tlv() {
  std::printf("#####\n");
  std::printf("#####  talvis: CBED pictures, HTML pages, plots and scans of korvex results\n");
  std::printf("#####  [Single CPU version]\n");
  std::printf("#####\n");
}

void simres_talvis_scr_output(const std::string& result_file) {
  write_script_and_run(result_file, sim_page_script(result_file, "SIM_VISUAL_MODE", "SIM_VISUALIZE"));
}

void simchrres_talvis_scr_output(const std::string& result_file) {
  write_script_and_run(result_file,
                       sim_page_script(result_file, "SIM_COHERENT_VISUAL_MODE", "SIM_COHERENT_VISUALIZE"));
}

void fitres_talvis_scr_output(const std::string& result_file) {
  write_script_and_run(result_file, fit_page_script(result_file, "FIT_VISUAL_MODE", "FIT_VISUALIZE"));
}

void fitexp_talvis_scr_output(const std::string& result_file) {
  write_script_and_run(result_file, fit_page_script(result_file, "FITEXP_VISUAL_MODE", "FITEXP_VISUALIZE"));
}

bool talvis_jobs(const std::string& file) {
  File fp = fopen_chk_rmode(file);
  const std::optional<std::string> first = fget_1s(fp.get());
  const std::string tok = first ? *first : std::string();
  if (tok == "TALVIS_SCRIPT") {
    register_script_inputs(file);
    const ScriptFolder folder(fp.get(), file);
    run_script(fp.get());
    return true;
  }
  fp.reset();
  if (tok == "SIM_RESULT")
    simres_talvis_scr_output(file);
  else if (tok == "SIM_COHERENT_RESULT")
    simchrres_talvis_scr_output(file);
  else if (tok == "FIT_RESULT")
    fitres_talvis_scr_output(file);
  else if (tok == "FIT_EXPDATA_BGS" || tok == "FIT_EXPDATA_RAW")
    fitexp_talvis_scr_output(file);
  else
    error_exit(stdout, "(talvis) invalid script file (buf=%s)", printable(tok).c_str());
  return false;
}

bool talvis_interactive() {
  std::printf("\n");
  std::printf("  ***********************************\n");
  std::printf("  ***** talvis: interactive mode *****\n");
  std::printf("  ***********************************\n");
  std::printf("\n");
  std::printf(" 1. atomic scattering factor test\n");
  std::printf(" 2. ASSIST\n");
  std::printf(" 3. TMP\n");
  std::printf(">>");
  std::fflush(stdout);
  const int choice = fget_i(stdin);
  switch (choice) {
    case 1: {
      const int status = run_asf_test();
      if (status != 0) fatal(Channel::out, std::string(), status);
      return false;
    }
    case 2:
      std::printf("## ASSIST mode\n");
      std::printf("  Sorry, now under developing.\n");
      return true;
    case 3:
      std::printf("## TMP mode\n");
      std::printf("  Sorry, now under developing.\n");
      return true;
    default:
      fatal_out("$$ Invalid number. Abort.\n");
  }
}

int talvis_main(int argc, char** argv) {
  hdf5_no_exit_cleanup();
  // Unbuffered input: a second talvis started on the same console must find
  // the answers that this run has not read.
  std::setvbuf(stdin, nullptr, _IONBF, 0);
  // "talvis cif FILE.cif": the crystal block of a CIF and nothing else on
  // standard output, so that it can be redirected into a parameter file.
  // A refusal goes to standard error, so that it never ends up in the file
  // the block is redirected into.
  if (argc == 3 && std::string(argv[1]) == "cif") {
    std::string block;
    try {
      const CifCrystal cif = read_cif_crystal(argv[2]);
      // The block carries the reader's notes as comments; the warnings
      // among them also go to standard error, where they are seen.
      for (const std::string& n : cif.notes)
        if (n.rfind("$$", 0) == 0) std::fprintf(stderr, "%s\n", n.c_str());
      block = cif_crystal_block(cif);
    } catch (const FatalError& e) {
      throw FatalError(e.text(), Channel::err, e.status());
    }
    std::printf("%s", block.c_str());
    return 0;
  }
  // "talvis import IMAGE SETUP_FILE": a measured pattern made into a dataset.
  if (argc == 4 && std::string(argv[1]) == "import") {
    talvis_import(argv[2], argv[3]);
    return 0;
  }
  std::printf("%s", version_line());
  // "talvis fitfile SIM_PARAMETER_FILE MEASURED_FILE": a fit-mode file with
  // every parameter FIX, for the user to mark what to refine.
  if (argc == 4 && std::string(argv[1]) == "fitfile") {
    register_data_tables();
    write_fit_skeleton(argv[2], argv[3]);
    return 0;
  }
  opening_title_tlv();
  std::string name;
  if (argc < 2)
    name = ask_script_file();
  else if (argc == 2)
    name = argv[1];
  else
    error_exit(stdout, "(talvis) Invalid input.\n usage: talvis script_file.");

  const bool farewell = (name == "int" || name == "INT") ? talvis_interactive() : talvis_jobs(name);
  if (farewell) std::printf("\nThank you. See you again!\n");
  return 0;
}

}  // namespace kv
