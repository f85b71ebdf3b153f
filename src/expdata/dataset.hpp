#pragma once
// Measured CBED data: the experimental dataset of a fit-mode file (DATA_SET
// block: geometry, beam set, intensity file, and for each specimen thickness the
// scale, thickness and disk-shift parameters) and the measured intensity
// file it names (intensities and standard deviations on a square grid of
// points across every reflection's disk). Besides the readers this holds the
// averaging kernel, the statistical weight of a point, and the bilinear
// carrying of measured values to the points of a calculated disk.
#include <cstdio>
#include <string>
#include <vector>

#include "beams/beam_search.hpp"
#include "crystal/lattice.hpp"
#include "input/crystal_data.hpp"
#include "numeric/matrix.hpp"

namespace kv {

inline constexpr std::size_t kFileNameMax = 255;  // characters of an intensity-file name
inline constexpr int kMaxDataPixSide = 4096;       // grid points along one side of a disk

// One point of a measured or calculated grid: column, row, flag and its
// (H, G) position.
struct pix_point {
  int ix = 0, iy = 0;
  int flag = 0;  // measured: 1 when its deviation is not negative; calculated: 1 when compared
  double x = 0.0, y = 0.0;
};

// One specimen thickness of a dataset with its own scale and disk shifts.
struct thickness_block {
  double scale = 0.0, thickness = 0.0, thickwidth = 0.0;  // thickwidth: plus-minus range
  fitpar scale_fp, thickness_fp, thickwidth_fp;
  int num_avrpix = 0;         // side of the averaging kernel (0 or 1: none)
  double avrpix_par = 0.0;    // its Gaussian (a > 0) or sinc-squared (a < 0) parameter
  RMatrix avrpix_wt;          // the normalised kernel, empty without averaging
  std::vector<double> weight;           // per reflection (REFLEX_SHIFT_PAR, default 1)
  std::vector<double> H_shift, G_shift; // per reflection: disk shift of the measurement
  std::vector<fitpar> H_shift_fp, G_shift_fp;
};

// The detector's response of a dataset (the optional DETECTOR_PAR block) and
// its counting statistics. The point spread is a Gaussian of standard
// deviation psf_width (units of g1/2) on the calculated grid; it is refined
// through its variance psf_var = psf_width^2, whose derivative does not
// vanish at zero width. The background is added to every calculated point,
// in the measured file's units. A measured value I has the variance
// gain I + read_noise^2; either one not given (gain 0, read_noise negative)
// is estimated from the measured file's deviations.
struct detector_par {
  bool present = false;  // the block was written (and is written back)
  double psf_var = 0.0;  // psf_width^2, (g1/2)^2
  fitpar psf_fp;         // flag and name of psf_width; value and restraint as variances
  double background = 0.0;
  fitpar background_fp;
  double gain = 0.0, read_noise = -1.0;
};

// An experimental dataset (one DATA_SET block).
struct fed {
  Hkl incidence;
  Hkl normal;
  Vec3 zolzbase1{};
  double tiltH = 0.0, tiltG = 0.0, voltage = 0.0;
  fitpar tiltH_fp, tiltG_fp, voltage_fp;
  // Tilts and disk size written in mrad, converted to units of g1/2 at the
  // dataset's voltage and the crystal's starting cell.
  bool tiltH_mrad = false, tiltG_mrad = false, disk_mrad = false;
  beam_search bs;
  int num_exact_beam = 0, num_bethe_beam = 0;
  BeamList beams;  // manual lists only; empty for the automatic searches
  int num_thick_block = 0;
  std::vector<thickness_block> tb;
  int calc_type = 0;
  int num_cal_pix_side = 0;
  double disksize = 0.0;
  std::string int_file;
  int num_reflex = 0;
  detector_par det;
};

// The measured intensities of a dataset and everything compared with them.
struct fei {
  int num_rg = 0;  // reflections of the intensity file
  BeamList rg;
  int num_thickness = 0;
  int npix = 0, nx = 0;
  double xmin = 0.0, xmax = 0.0, ymin = 0.0, ymax = 0.0;  // origin added
  std::vector<pix_point> pix;
  Tensor3<double> obs_int, obs_sig;  // [reflection][thickness][point]; sig < 0: ignore
  int num_cal_pix = 0, num_cal_pix_side = 0;
  std::vector<pix_point> cal_pix;
  Tensor3<double> cal_int;             // [reflection][thickness][calculated point]
  Tensor3<double> extr_int, extr_sig;  // measured values carried to the calculated points
};

// ---- Dataset block --------------------------------------------------------
// lm is the metric of the crystal read before the datasets; it turns tilts
// and disk sizes written in mrad into units of g1/2.
void input_fit_exp_dataset(fed& ed, fei& ei, FILE* fp, const lattice_metric& lm);
// Converts the tilts (with their RST restraint numbers) and the disk size
// written in mrad into units of g1/2 and clears the flags.
void apply_dataset_units(fed& ed, const lattice_metric& lm);
void read_INCIDENT_BEAM(fed& ed, FILE* fp);
void read_CALC_KXY_RANGE(fed& ed, fei& ei, FILE* fp);
void read_BEAM_SEARCH(fed& ed, FILE* fp);
void read_INTENSITY_DATA(fed& ed, fei& ei, FILE* fp);
void read_THICKNESS_BLOCK(fed& ed, int t, FILE* fp);
void read_STW_block(fed& ed, int t, FILE* fp);
void read_REFLEX_SHIFT_PAR(fed& ed, int t, FILE* fp);
// The DETECTOR_PAR block after its opening marker: psf_width and background
// as parameter lines, then optional "gain g" and "read_noise r" lines.
void read_DETECTOR_PAR_body(fed& ed, FILE* fp);
// The point spread's standard deviation in units of g1/2 (0 for a
// negative variance).
double psf_width(const detector_par& d);
// The beam selection of a dataset: method number, then the list or the
// search parameters (no search is run).
void fget_ed_beams(fed& ed, FILE* fp);
// The ITER_EXP_NUM block of a fit-mode file.
void read_ITEM_EXP_NUM(int* max_iter, int* num_dataset, FILE* fp);
// Sets up the calculated-point table and the calculated, extracted-intensity
// and extracted-deviation arrays for side x side points.
void alloc_ei_cal(fei& ei, int side);

// ---- Intensity file -------------------------------------------------------
void read_int_file(fei& ei, const std::string& file);

// ---- Kernel, weights and carrying ------------------------------------------
// Fills K (n x n) with the normalised averaging kernel and writes it to
// "convlt.dat"; n of 0 or 1 builds nothing.
void calc_avrpix_wt(int n, RMatrix& K, double a);
// w / s^2 for s > 0, else 0.
double eval_weight(double s, double w);

// The grid cell that holds (x, y): the indices of its four corners (column
// step first, row step second: i00, i10, i01, i11 with i10 one column on)
// and the fractions. Returns false when (x, y) lies outside the grid.
struct grid_cell {
  int i00 = 0, i10 = 0, i01 = 0, i11 = 0;
  double fx = 0.0, fy = 0.0;
};
bool find_mat_ii_obs(double x, double y, int npix, int nx, double xmin, double xmax, double ymin,
                     double ymax, grid_cell* cell);
// Carries the measured intensity and deviation of one reflection and
// thickness (obs, sig: npix values each) to every flagged calculated point,
// with the measured pattern shifted by (dx, dy).
void calc_extr_obs_int(double dx, double dy, int npix, int nx, double xmin, double xmax, double ymin,
                       double ymax, const double* obs, const double* sig, int num_cal_pix,
                       const pix_point* cal_pix, double* extr_int, double* extr_sig);

// ---- Release ---------------------------------------------------------------
void free_ed(fed& ed);
void free_ei(fei& ei);
void free_fed_vector(std::vector<fed>& eds);
void free_fei_vector(std::vector<fei>& eis);

}  // namespace kv
