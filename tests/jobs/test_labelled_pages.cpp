// A CBED run seen the way a user sees it: the HDF5 export beside the text
// results, the labelled pages of both talvis answers, and the pattern page
// opened in a real browser.
#include <cairo.h>
#include <gtest/gtest.h>
#include <hdf5.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>

#include "jobs/sim_files.hpp"
#include "support/run_program.hpp"
#include "support/vis_files.hpp"

using namespace kvtest;
namespace fs = std::filesystem;

namespace {

// A 2-D disk of 11 x 11 tilts for silicon [001], two thicknesses.
void run_small_sim(const ScratchDir& d) {
  SimCondition c;
  c.calc_type = 2;
  c.n = 11;
  const RunResult k = run_korvex(d, "si.dat", "SIM_MODE\n" + eps_block() + si_crystal() + sim_condition(c));
  ASSERT_EQ(k.status, 0) << k.out << k.err;
}

std::vector<hsize_t> dims_of(hid_t f, const char* name) {
  const hid_t ds = H5Dopen2(f, name, H5P_DEFAULT);
  EXPECT_GE(ds, 0) << name;
  const hid_t sp = H5Dget_space(ds);
  std::vector<hsize_t> dims(static_cast<std::size_t>(H5Sget_simple_extent_ndims(sp)));
  H5Sget_simple_extent_dims(sp, dims.data(), nullptr);
  H5Sclose(sp);
  H5Dclose(ds);
  return dims;
}

template <class T>
std::vector<T> read_all(hid_t f, const char* name, hid_t type) {
  std::size_t n = 1;
  for (hsize_t v : dims_of(f, name)) n *= v;
  std::vector<T> out(n);
  const hid_t ds = H5Dopen2(f, name, H5P_DEFAULT);
  EXPECT_GE(H5Dread(ds, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, out.data()), 0);
  H5Dclose(ds);
  return out;
}

double attr_double(hid_t f, const char* name) {
  double v = 0;
  const hid_t a = H5Aopen(f, name, H5P_DEFAULT);
  EXPECT_GE(H5Aread(a, H5T_NATIVE_DOUBLE, &v), 0) << name;
  H5Aclose(a);
  return v;
}

TEST(LabelledPages, ExportHoldsTheResultFilesNumbersAndConditions) {
  ScratchDir d;
  run_small_sim(d);
  ASSERT_TRUE(fs::exists(d / "si.h5"));
  const ResultFile r0 = read_result(d.read("si_rs0.txt")), r1 = read_result(d.read("si_rs1.txt"));
  const hid_t f = H5Fopen((d / "si.h5").c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
  ASSERT_GE(f, 0);
  const std::size_t ng = r0.hkl.size(), nk = 121;
  EXPECT_EQ(dims_of(f, "intensity"), (std::vector<hsize_t>{ng, 2, nk}));
  EXPECT_EQ(dims_of(f, "hkl"), (std::vector<hsize_t>{ng, 3}));
  EXPECT_EQ(dims_of(f, "tilt/kx_mrad"), (std::vector<hsize_t>{nk}));
  const std::vector<double> in = read_all<double>(f, "intensity", H5T_NATIVE_DOUBLE);
  const std::vector<int> hkl = read_all<int>(f, "hkl", H5T_NATIVE_INT);
  const std::vector<double> t = read_all<double>(f, "thickness", H5T_NATIVE_DOUBLE);
  EXPECT_EQ(t, (std::vector<double>{500, 1500}));
  for (std::size_t i = 0; i < ng; ++i) {
    EXPECT_EQ((std::vector<int>{hkl[3 * i], hkl[3 * i + 1], hkl[3 * i + 2]}), r0.hkl[i]);
    for (std::size_t k = 0; k < nk; ++k) {
      // The text files keep six digits.
      EXPECT_NEAR(in[(i * 2 + 0) * nk + k], r0.values[i][k], 1e-5 * (1 + r0.values[i][k]));
      EXPECT_NEAR(in[(i * 2 + 1) * nk + k], r1.values[i][k], 1e-5 * (1 + r1.values[i][k]));
    }
  }
  EXPECT_DOUBLE_EQ(attr_double(f, "voltage_kV"), 200.0);
  EXPECT_NEAR(attr_double(f, "wavelength_A"), 0.025079, 1e-6);
  // A 0.5 (g1/2) disk for g1 = 220 at 200 kV: 0.5 x |220|/2 x lambda.
  EXPECT_NEAR(attr_double(f, "convergence_semiangle_mrad"), 0.5 * 0.5 * std::sqrt(8.0) / 5.4309 * 25.079, 0.01);
  H5Fclose(f);
}

// The pages of both answers, each with a labelled picture per thickness.
void make_pages(const ScratchDir& d) {
  run_small_sim(d);
  const RunResult whole = run_program(TALVIS_EXE, {"si_tlv.txt"}, d.path(), "1\n");
  ASSERT_EQ(whole.status, 0) << whole.out;
  const RunResult reflex = run_program(TALVIS_EXE, {"si_tlv.txt"}, d.path(), "2\n");
  ASSERT_EQ(reflex.status, 0) << reflex.out;
}

TEST(LabelledPages, BothAnswersKeepTheirOwnLabelledPage) {
  ScratchDir d;
  make_pages(d);
  for (const char* page : {"si_pattern.html", "si_reflex.html"}) {
    ASSERT_TRUE(fs::exists(d / page)) << page;
    const std::vector<std::string> imgs = img_sources(d.read(page));
    ASSERT_EQ(imgs.size(), 2u) << page;
    for (const std::string& img : imgs) EXPECT_TRUE(png_is_valid(d / img)) << img;
    EXPECT_NE(d.read(page).find("si.h5"), std::string::npos);
  }
  EXPECT_NE(img_sources(d.read("si_pattern.html"))[0], img_sources(d.read("si_reflex.html"))[0]);
}

TEST(LabelledPages, FigureStyleAndItsErrors) {
  ScratchDir d;
  run_small_sim(d);
  std::string script = d.read("si_tlv.txt");
  script.replace(script.find("SIM_VISUALIZE"), 0, "FIGURE_STYLE\ngrey 64\n");
  d.write("g_tlv.txt", script);
  ASSERT_EQ(run_program(TALVIS_EXE, {"g_tlv.txt"}, d.path(), "1\n").status, 0);
  script.replace(script.find("grey 64"), 7, "rainbow 64");
  d.write("b_tlv.txt", script);
  const RunResult bad = run_program(TALVIS_EXE, {"b_tlv.txt"}, d.path(), "1\n");
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.out.find("FIGURE_STYLE"), std::string::npos) << bad.out;
}


TEST(LabelledPages, PatternPageLoadsInABrowserAndIsNotBlank) {
  const std::string chromium = kvtest::find_on_path("chromium");
  if (chromium.empty()) GTEST_SKIP() << "chromium is not installed: the browser check of the pages is skipped";
  ScratchDir d;
  make_pages(d);
  EXPECT_EQ(kvtest::browser_image_count(chromium, d.path(), "si_pattern.html"), "images=2 loaded=2");

  const std::vector<std::string> common = {"--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars"};
  std::vector<std::string> args = common;
  args.push_back("--screenshot=" + (d / "shot.png").string());
  args.push_back("--window-size=1000,1000");
  args.push_back("file://" + (d / "si_pattern.html").string());
  const RunResult shot = run_program(chromium, args, d.path());
  ASSERT_TRUE(fs::exists(d / "shot.png")) << shot.err;
  cairo_surface_t* s = cairo_image_surface_create_from_png((d / "shot.png").c_str());
  ASSERT_EQ(cairo_surface_status(s), CAIRO_STATUS_SUCCESS);
  // The screenshot shows the picture: many colours, bright disks among
  // them (a page whose picture failed shows a few flat colours).
  std::set<std::uint32_t> colours;
  int bright = 0;
  const int w = cairo_image_surface_get_width(s), h = cairo_image_surface_get_height(s);
  const int stride = cairo_image_surface_get_stride(s);
  const unsigned char* data = cairo_image_surface_get_data(s);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const std::uint32_t p = reinterpret_cast<const std::uint32_t*>(data + y * stride)[x] & 0xffffffu;
      colours.insert(p);
      bright += ((p >> 8) & 0xff) > 150;  // green channel: the upper half of viridis
    }
  cairo_surface_destroy(s);
  EXPECT_GT(colours.size(), 200u);
  EXPECT_GT(bright, 200);
}

}  // namespace

namespace {

TEST(TfringePage, ExportScriptAndLabelledPlots) {
  ScratchDir d;
  fs::copy_file(fs::path(KV_EXAMPLES_DIR) / "jobs" / "si_110_tfringe.dat", d / "tf.dat");
  const RunResult k = run_program(KORVEX_EXE, {"tf.dat"}, d.path());
  ASSERT_EQ(k.status, 0) << k.out;
  // The export holds the intensities of the text file at full precision.
  const std::vector<std::vector<double>> rows = numeric_rows(d.read("tf_int.txt"));
  const hid_t f = H5Fopen((d / "tf.h5").c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
  ASSERT_GE(f, 0);
  const std::vector<hsize_t> dims = dims_of(f, "intensity");
  ASSERT_EQ(dims.size(), 2u);
  ASSERT_EQ(dims[1], rows.size());
  ASSERT_EQ(dims[0] + 1, rows[0].size());
  const std::vector<double> in = read_all<double>(f, "intensity", H5T_NATIVE_DOUBLE);
  const std::vector<double> t = read_all<double>(f, "thickness", H5T_NATIVE_DOUBLE);
  for (std::size_t j = 0; j < rows.size(); ++j) {
    EXPECT_NEAR(t[j], rows[j][0], 1e-9);
    for (std::size_t r = 0; r < dims[0]; ++r)
      EXPECT_NEAR(in[r * dims[1] + j], rows[j][r + 1], 1e-5 * (1 + rows[j][r + 1]));
  }
  EXPECT_EQ(dims_of(f, "amplitude"), (std::vector<hsize_t>{dims[0], dims[1], 2}));
  H5Fclose(f);

  ASSERT_TRUE(fs::exists(d / "tf_tlv.txt"));
  const RunResult t2 = run_program(TALVIS_EXE, {"tf_tlv.txt"}, d.path());
  ASSERT_EQ(t2.status, 0) << t2.out;
  const std::string plt = d.read("tf_tfr.plt");
  EXPECT_NE(plt.find("noenhanced"), std::string::npos);
  EXPECT_NE(plt.find("set title '0 0 0'"), std::string::npos);
  EXPECT_NE(plt.find("Si  [1 1 0]  200 kV"), std::string::npos) << plt;
  EXPECT_EQ(img_sources(d.read("tf_.html")), (std::vector<std::string>{"tf_tfr.png", "tf_tfr_all.png"}));
  if (!find_on_path("gnuplot").empty()) EXPECT_TRUE(png_is_valid(d / "tf_tfr.png"));
}

}  // namespace
