// The BEAM_SEARCH block: readers of every method's parameter lines, the
// manual beam list, and the whole-block selections the jobs call.
#include <climits>
#include <cmath>
#include <cstdio>
#include <string>

#include "beams/beam_select.hpp"
#include "sim/error.hpp"
#include "sim/linereader.hpp"
#include "sim/runctl.hpp"

namespace kv {

namespace {

// A number read for an integer field: truncated toward zero; outside the
// int range it is refused.
int to_int_field(double x, const char* field, FILE* fp) { return int_field(x, {}, field, fp); }

// Line A: num_g_limit, g_max, lz_min, lz_max (and an ignored disk size).
// Returns how many numbers the line held.
int fget_search_line_a(beam_search* bs, FILE* fp) {
  const std::string line = need_line(kLineCap, fp);
  double v[5];
  const int n = str_to_fs(5, line, v, fp);
  bs->num_g_limit = to_int_field(v[0], "num_g_limit", fp);
  bs->g_max = v[1];
  bs->lz_min = to_int_field(v[2], "lz_min", fp);
  bs->lz_max = to_int_field(v[3], "lz_max", fp);
  return n;
}

void print_exact_bethe(int n_exact, int n_bethe) {
  std::printf("Exact = %d, Bethe = %d\n", n_exact, n_bethe);
  std::printf("%s", last_left_out_report().c_str());
}

// Manual list: the two counts, the lists, and the per-tilt re-selection
// switched off (a hand-picked beam set is used as it is at every tilt).
void read_manual(FILE* fp, int* n_exact, int* n_bethe, BeamList* beams) {
  int ne = 0, nb = 0;
  fget_2i(&ne, &nb, fp);
  take_left_out_report();  // a hand-picked list left nothing out
  print_exact_bethe(ne, nb);
  *beams = fget_beams(ne, nb, fp);
  *n_exact = ne;
  *n_bethe = nb;
  std::printf("$$ vg_select_flag is set to 0.\n");
  epsilon.vg_select_flag = 0;
}

using search_fn = void (*)(int*, int*, BeamList*, BeamList*, const beam_search&, const Hkl&,
                           const Vec3&, double, double, double, csd&);
using reader_fn = void (*)(beam_search*, FILE*);

void progress(const char* text) {
  std::printf("%s", text);
  std::fflush(stdout);
}

// One automatic selection: the method's parameter lines are read, the search
// is announced and run, and its exact and Bethe lists are merged.
struct AutoSelection {
  beam_search& bs;
  const Hkl& incidence;
  const Vec3& g1;
  double tiltH, tiltG, kv;
  csd& c;
  FILE* fp;
  int* n_exact;
  int* n_bethe;
  BeamList* beams;

  void operator()(reader_fn read, const char* announce, search_fn search) const {
    read(&bs, fp);
    progress(announce);
    BeamList exact, bethe;
    int ne = 0, nb = 0;
    search(&ne, &nb, &exact, &bethe, bs, incidence, g1, tiltH, tiltG, kv, c);
    print_exact_bethe(ne, nb);
    *beams = beam_merge(ne, nb, exact, bethe);
    *n_exact = ne;
    *n_bethe = nb;
  }
};

}  // namespace

void check_num_g_limit(const beam_search& bs) {
  if (bs.num_g_limit < 1)
    fatal_out("$$ num_g_limit=%d is invalid: each beam list needs room for at least 000. Abort.\n",
              bs.num_g_limit);
}

void check_laue_zone_range(const beam_search& bs) {
  if (bs.lz_min < 0 || bs.lz_max > kNumLaueZones - 1)
    fatal_out(
        "$$ Laue zones %d to %d are invalid for beam_search %d: per-zone thresholds exist for zones "
        "0 to %d only. Abort.\n",
        bs.lz_min, bs.lz_max, bs.flag_bs, kNumLaueZones - 1);
}

void fget_beam_search_wg(beam_search* bs, FILE* fp) {
  fget_search_line_a(bs, fp);
  check_num_g_limit(*bs);
  fget_3d(&bs->w_g_bethe_min, &bs->w_g_max, &bs->xi_g_max, fp);
}

void fget_beam_search_sg(beam_search* bs, FILE* fp) {
  fget_search_line_a(bs, fp);
  check_num_g_limit(*bs);
  fget_3d(&bs->s_g_bethe_min, &bs->s_g_max, &bs->xi_g_max, fp);
}

void fget_beam_search_sg_multi(beam_search* bs, FILE* fp) {
  if (fget_search_line_a(bs, fp) < 4) fatal_out("$$ Invalid format for beam_search. Abort.\n");
  check_num_g_limit(*bs);
  check_laue_zone_range(*bs);
  for (int n = 0; n <= bs->lz_max; ++n)
    fget_3d(&bs->s_g_bethe_min_lz[n], &bs->s_g_max_lz[n], &bs->xi_g_max_lz[n], fp);
}

BeamList fget_beams(int n_exact, int n_bethe, FILE* fp) {
  if (n_exact < 1 || n_bethe < 0)
    fatal_out(
        "$$ Invalid beam counts Exact = %d, Bethe = %d: a manual list needs at least one exact beam "
        "and no negative count. Abort.\n",
        n_exact, n_bethe);
  BeamList list;
  // Each beam is a line "h k l" of at least 6 bytes; a count the rest of
  // the file cannot hold is refused before anything is read.
  const long long n = static_cast<long long>(n_exact) + n_bethe;
  check_count_fits(n, 6, "number of manual beams", fp);
  for (long long i = 0; i < n; ++i) list.push_back(fget_counted_hkl(fp, n, "beam"));
  return list;
}

void select_beams(beam_search& bs, const Hkl& incidence, const Vec3& g1, double tiltH, double tiltG,
                  double kv, csd& c, FILE* fp, int* n_exact, int* n_bethe, BeamList* beams) {
  const AutoSelection select{bs, incidence, g1, tiltH, tiltG, kv, c, fp, n_exact, n_bethe, beams};
  switch (bs.flag_bs) {
    case 0:
    case 10:
      read_manual(fp, n_exact, n_bethe, beams);
      return;
    case 1:
    case 11:
      select(fget_beam_search_wg, "Beam search (wg)... ", simple_beam_search_wg);
      return;
    case 2:
    case 12:
      select(fget_beam_search_sg, "Beam search (sg)... ", simple_beam_search_sg);
      return;
    case 3:
    case 13:
      select(fget_beam_search_sg_multi, "Beam search (sg)... ", beam_search_sg_multi);
      return;
    default:
      fatal_out("Invalid flag_bs\n");
  }
}

namespace {

void sphere_search(int* n_exact, int* n_bethe, BeamList* exact, BeamList* bethe,
                   const beam_search& bs, const Hkl&, const Vec3&, double, double, double kv,
                   csd& c) {
  beam_search_sphere(n_exact, n_bethe, exact, bethe, bs, kv, c);
}

}  // namespace

void select_beams_3d(beam_search& bs, const Hkl& incidence, const Vec3& g1, double tiltH,
                     double tiltG, double kv, csd& c, FILE* fp, int* n_exact, int* n_bethe,
                     BeamList* beams) {
  const AutoSelection select{bs, incidence, g1, tiltH, tiltG, kv, c, fp, n_exact, n_bethe, beams};
  switch (bs.flag_bs) {
    case 0:
      read_manual(fp, n_exact, n_bethe, beams);
      return;
    case 1:
      select(fget_beam_search_wg, "Beam search (wg)... ", sphere_search);
      return;
    case 2:
      select(fget_beam_search_sg, "Beam search (sg)... ", sphere_search);
      return;
    case 3:
    case 13:
      select(fget_beam_search_sg_multi, "Beam search (sg)... ", beam_search_sg_multi);
      return;
    default:
      fatal_err("Flag_bs = %d is invalid for 3D Density calc.\n", bs.flag_bs);
  }
}

void read_beams_no_search(beam_search& bs, FILE* fp, int* n_exact, int* n_bethe, BeamList* beams) {
  switch (bs.flag_bs) {
    case 0:
    case 10:
      read_manual(fp, n_exact, n_bethe, beams);
      return;
    case 1:
    case 11:
      fget_beam_search_wg(&bs, fp);
      break;
    case 2:
    case 12:
      fget_beam_search_sg(&bs, fp);
      break;
    case 3:
    case 13:
      fget_beam_search_sg_multi(&bs, fp);
      break;
    default:
      fatal_err("Invalid flag_bs %d\n", bs.flag_bs);
  }
  *n_exact = 0;
  *n_bethe = 0;
  beams->clear();
}

}  // namespace kv
