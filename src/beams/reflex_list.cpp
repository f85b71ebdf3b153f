#include "beams/reflex_list.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <string>

#include "beams/beam_select.hpp"
#include "input/crystal_data.hpp"
#include "sim/error.hpp"
#include "sim/qzio.hpp"
#include "sim/runctl.hpp"

namespace kv {

namespace {

int trunc_index(double x) {
  if (std::isnan(x)) return 0;
  return static_cast<int>(std::trunc(std::clamp(x, static_cast<double>(INT_MIN),
                                                static_cast<double>(INT_MAX))));
}

void print_search_parameters(FILE* fp, const beam_search& bs) {
  switch (bs.flag_bs) {
    case 0:
    case 10:
      qz_fprintf(fp, "# beam_search --> manual\n");
      break;
    case 1:
    case 11:
      qz_fprintf(fp, "# beam_search par.: \n");
      qz_fprintf(fp, " wgbmin=%lg, wgmax=%lg, xigmax=%lg, lz:%d-%d, gmax=%lg\n", bs.w_g_bethe_min,
                 bs.w_g_max, bs.xi_g_max, bs.lz_min, bs.lz_max, bs.g_max);
      break;
    case 2:
    case 12:
      qz_fprintf(fp, "# beam_search par.: \n");
      qz_fprintf(fp, " sgbmin=%lg, sgmax=%lg, xigmax=%lg, lz:%d-%d, gmax=%lg\n", bs.s_g_bethe_min,
                 bs.s_g_max, bs.xi_g_max, bs.lz_min, bs.lz_max, bs.g_max);
      break;
    case 3:
    case 13:
      qz_fprintf(fp, "# beam_search ---> multi sg\n");
      break;
    default:
      break;
  }
}

// Each line of text as a comment line after the rows, so that readers of the
// table pass over it.
void write_comment_lines(FILE* fp, const std::string& text) {
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    qz_fprintf(fp, "# %s\n", text.substr(at, end - at).c_str());
    at = end + 1;
  }
}

}  // namespace

void print_rfinfo(int row, int bethe_flag, const Hkl& g, fg_table& table, csd& c,
                  const Hkl& incidence, const Vec3& g1, double kv, const lattice_metric& lm, FILE* fp) {
  const int nlz = g.h * incidence.h + g.k * incidence.k + g.l * incidence.l;
  double x = 0, y = 0;
  proj_to_zolz(g, incidence, g1, lm, &x, &y);
  const double abs_g = std::sqrt(sq_abs(hkl2rhkl(g), lm));
  int warn = 0;
  const complex fg = structure_factor_ext_tbl(g, kv, lm, c, table, &warn);
  const complex ela = calc_Fg_ela(g, kv, lm, c);
  const complex inela = calc_Fg_inela(g, kv, lm, c);
  qz_fprintf(fp,
             "%d\t%3d\t%3d\t%3d\t%d\t%f\t%f\t%d\t%f\t%f\t%f\t%f"
             "\t%f\t%f\t%f\t%f\n",
             row, g.h, g.k, g.l, nlz, x, y, bethe_flag, abs_g, fg.re, fg.im, c_abs(fg), ela.re,
             ela.im, inela.re, inela.im);
}

void reflex_dump_csd(int index, int n_exact, int n_bethe, const BeamList& beams, csd& c,
                     const beam_search& bs, const Hkl& incidence, const Vec3& g1, double kv,
                     const lattice_metric& lm, const std::string& left_out) {
  const int size = static_cast<int>(beams.size());
  n_exact = std::clamp(n_exact, 0, size);
  n_bethe = std::clamp(n_bethe, 0, size - n_exact);

  const std::string name = strprintf("%s_fg%d.txt", dbg.base_name.c_str(), index);
  OutputFile fp = qz_fopen_chk_wmode(name);
  std::printf("reflex output ==> %s\n", name.c_str());

  fg_table table;
  stock_lofg_tbl(table, kv, lm, c);

  print_search_parameters(fp.get(), bs);
  qz_fprintf(fp.get(), "# [%d %d %d]\n", incidence.h, incidence.k, incidence.l);
  qz_fprintf(fp.get(), "# Exact= %d  Bethe= %d\n", n_exact, n_bethe);
  qz_fprintf(fp.get(), "i\th\tk\tl\tnlz\tx\ty\tBethe\tg\tFg_re\tFg_im\tFg_abs");
  qz_fprintf(fp.get(), "\tFgela_re\tFgela_im\tFginela_re\tFginela_im\n");

  const Hkl zero{0, 0, 0};
  const Hkl g1_int{trunc_index(g1[0]), trunc_index(g1[1]), trunc_index(g1[2])};
  if (find_n_g(n_exact, zero, beams) >= 0)
    print_rfinfo(0, 0, zero, table, c, incidence, g1, kv, lm, fp.get());
  // g1 is listed second, numbered 1, and the beam at position 1 takes g1's
  // position as its number. A g1 that truncates to 000 is not looked up: 000
  // has its row already.
  const int p = g1_int == zero ? -1 : find_n_g(n_exact, g1_int, beams);
  if (p >= 0) print_rfinfo(1, 0, g1_int, table, c, incidence, g1, kv, lm, fp.get());
  for (int i = 0; i < n_exact; ++i) {
    if (beams[i] == zero || (p >= 0 && beams[i] == g1_int)) continue;
    const int row = (i == 1 && p >= 0) ? p : i;
    print_rfinfo(row, 0, beams[i], table, c, incidence, g1, kv, lm, fp.get());
  }
  for (int i = n_exact; i < n_exact + n_bethe; ++i)
    print_rfinfo(i, 1, beams[i], table, c, incidence, g1, kv, lm, fp.get());
  write_comment_lines(fp.get(), left_out);
  qz_fclose(fp);

  if (dbg.reflex_only_flag == 1) fatal(Channel::out, "$$ reflex_only_flag=1. exit.\n", 0);
}

}  // namespace kv
