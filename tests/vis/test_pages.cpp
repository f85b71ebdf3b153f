// Pages built from result files: whole-pattern canvas placement, coherent
// interference of overlapping disks, individual reflections, the fit-result
// and measured-data tables. talvis runs as a program in a scratch folder and
// its pictures are decoded back.
#include <gtest/gtest.h>

#include <sstream>

#include "support/run_program.hpp"
#include "support/vis_files.hpp"

namespace {

using kvtest::SimReflex;

class PageTest : public ::testing::Test {
 protected:
  kvtest::ScratchDir dir;

  kvtest::RunResult talvis(const std::vector<std::string>& args, const std::string& input = "") {
    return kvtest::run_program(TALVIS_EXE, args, dir.path(), input);
  }
  kvtest::RunResult run_sim_script(const std::string& mode, const std::string& command, const std::string& line,
                                   const std::string& answer) {
    dir.write("s.txt", "TALVIS_SCRIPT\n" + mode + "\nHTML_OPEN\np.html\n" + command + "\n" + line +
                           "\nHTML_CLOSE\n");
    return talvis({"s.txt"}, answer);
  }
  // Every picture named by the page exists and is a valid PNG.
  void expect_images_valid(const std::string& page, std::size_t count) {
    const std::vector<std::string> srcs = kvtest::img_sources(dir.read(page));
    EXPECT_EQ(srcs.size(), count);
    for (const std::string& s : srcs) EXPECT_TRUE(kvtest::png_is_valid(dir / s)) << s;
  }
};

TEST_F(PageTest, WholePatternPlacesDisksOnTheCanvas) {
  // Two 9 x 9 disks at x = 0 and x = 10: nx = 19, canvas 24 wide (4 * 4 + 8)
  // and 16 high, disks from columns 4 and 14 and rows 4..12 (from below).
  const auto grid = kvtest::square_grid(9);
  dir.write("r.txt", kvtest::sim_result_text("SIM_RESULT", 100.0,
                                             {SimReflex{0, 0, 0, 0, 0, {{100}}}, SimReflex{2, 2, 0, 10, 0, {{50}}}},
                                             9, grid));
  const kvtest::RunResult r = run_sim_script("SIM_VISUAL_MODE", "SIM_VISUALIZE", "r.txt 1.0 1 0", "1\n");
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  const kvtest::GreyPicture g = kvtest::decode_png(dir / "r.png");
  ASSERT_EQ(g.width, 24);
  ASSERT_EQ(g.height, 16);
  for (int x = 0; x < 24; ++x)
    for (int y = 0; y < 16; ++y) {
      int expected = 0;
      if (y >= 4 && y <= 12 && x >= 4 && x <= 12) expected = 255;
      if (y >= 4 && y <= 12 && x >= 14 && x <= 22) expected = 127;  // 50 * 255 / 100
      ASSERT_EQ(g.pixel(x, 15 - y), expected) << "x=" << x << " y=" << y;
    }
  EXPECT_FALSE(std::filesystem::exists(dir / "r.pgm"));
  EXPECT_EQ(dir.read("p.html"),
            "<html>\n<title>p.html</title>\n<body>\n"
            "<p><img src=\"r.png\" align=\"middle\"></p>\n"
            "<p>Thickness: 1200 [A], \n"
            "Incidence: [1 1 0], Tilt [H,G]=[0.25, -0.5]<br>\n"
            "gamma=1, intensity max=100</p>\n<hr>\n</body>\n</html>\n");
  EXPECT_NE(r.out.find("\n==> SEE p.html\n\n"), std::string::npos);
}

TEST_F(PageTest, PresetMaximumAndCentredGridKeepsWholeDisk) {
  // A centred 3 x 3 grid (indices -1..1) of one reflection: the whole disk
  // is drawn, none of it reported out of area. Preset maximum 200 halves
  // the grey level of 100.
  dir.write("c.txt", kvtest::sim_result_text("SIM_RESULT", 100.0, {SimReflex{0, 0, 0, 0, 0, {{100}}}}, 3,
                                             kvtest::square_grid(3, -1)));
  const kvtest::RunResult r = run_sim_script("SIM_VISUAL_MODE", "VISUALIZE", "c.txt 1.0 1 0 200", "1\n");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find("out of area"), std::string::npos);
  const kvtest::GreyPicture g = kvtest::decode_png(dir / "c.png");
  int lit = 0;
  for (unsigned char b : g.bytes) {
    EXPECT_TRUE(b == 0 || b == 127);
    lit += b == 127;
  }
  EXPECT_EQ(lit, 9);
  EXPECT_NE(dir.read("p.html").find("gamma=1, intensity max=200</p>"), std::string::npos);
}

TEST_F(PageTest, CoherentOverlapInterferes) {
  // Disks 3 wide, the second 2 grid points on (file position 2 n/(n-1) = 3),
  // overlap in one column. Amplitudes 3 and -3 cancel there (incoherently
  // they would give 18); 3 and 3 give 36.
  const auto grid = kvtest::square_grid(3);
  for (double second : {-3.0, 3.0}) {
    dir.write("k.txt", kvtest::sim_result_text("SIM_COHERENT_RESULT", 10000.0,
                                               {SimReflex{0, 0, 0, 0, 0, {{3, 0}}},
                                                SimReflex{1, 1, 1, 3, 0, {{second, 0}}}},
                                               3, grid));
    const kvtest::RunResult r =
        run_sim_script("SIM_COHERENT_VISUAL_MODE", "SIM_COHERENT_VISUALIZE", "k.txt 1 1 0 40", "");
    ASSERT_EQ(r.status, 0) << r.out;
    const kvtest::GreyPicture g = kvtest::decode_png(dir / "k.png");
    ASSERT_EQ(g.width, 12);  // nx = 5
    ASSERT_EQ(g.height, 8);
    const int overlap = second < 0 ? 0 : 229;  // 36 * 255 / 40
    for (int x = 0; x < 12; ++x) {
      int expected = 0;
      if (x >= 4 && x <= 8) expected = (x == 6) ? overlap : 57;  // 9 * 255 / 40
      EXPECT_EQ(g.pixel(x, 7 - 5), expected) << "x=" << x << " amplitude " << second;
      EXPECT_EQ(g.pixel(x, 7 - 7), 0);
    }
    EXPECT_EQ(dir.read("p.html"),
              "<html>\n<title>p.html</title>\n<body>\n<hr>\n"
              "<p>[1 1 0], t=1200 [A], gamma=1, max=40</p>\n"
              "<p><img src=\"k.png\" align=\"middle\"></p>\n</body>\n</html>\n");
  }
}

// The file gives disk positions x n/d; the tilt grid has (n - 1)/(2d)
// points per tilt unit, so a reflection at 2x tilt units lies x (n - 1)/d
// points from 000. Three 5-point disks at file positions 0, 7.5 (6 points)
// and -5 (-4 points, vertical) with amplitudes that differ from point to
// point: the picture must equal the squared sum of the amplitudes placed
// directly at those grid offsets (taking the file positions as pixels would
// put the disks 7 and 5 pixels away).
TEST_F(PageTest, CoherentDisksSitOnTheTiltGrid) {
  const int n = 5;
  const auto grid = kvtest::square_grid(n);
  struct Disk {
    double fx, fy;
    int ox, oy;
  };
  const Disk disks[] = {{0, 0, 0, 0}, {7.5, 0, 6, 0}, {0, -5, 0, -4}};
  std::vector<SimReflex> refl;
  for (int d = 0; d < 3; ++d) {
    std::vector<std::vector<double>> v;
    for (std::size_t k = 0; k < grid.size(); ++k)
      v.push_back({1.0 + d + 0.5 * grid[k].ih - 0.25 * grid[k].ig, (d == 1 ? 0.75 : -0.5) * grid[k].ig});
    refl.push_back(SimReflex{d, 0, 0, disks[d].fx, disks[d].fy, v});
  }
  dir.write("q.txt", kvtest::sim_result_text("SIM_COHERENT_RESULT", 10000.0, refl, n, grid));
  const kvtest::RunResult r = run_sim_script("SIM_COHERENT_VISUAL_MODE", "SIM_COHERENT_VISUALIZE", "q.txt 1 1 0 100", "");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find("out of area"), std::string::npos);
  // Direct placement: canvas columns x = 0 .. 10 (6 + 5), rows -4 .. 4.
  const int xmin = 0, ymin = -4, nx = 11, ny = 9;
  const int w = 4 * (nx / 4) + 8, hgt = 4 * (ny / 4) + 8;
  std::vector<double> re(static_cast<std::size_t>(w * hgt)), im(re.size());
  for (int d = 0; d < 3; ++d)
    for (std::size_t k = 0; k < grid.size(); ++k) {
      const int X = grid[k].ih + disks[d].ox + 4 - xmin, Y = grid[k].ig + disks[d].oy + 4 - ymin;
      re[static_cast<std::size_t>(X * hgt + Y)] += refl[d].values[k][0];
      im[static_cast<std::size_t>(X * hgt + Y)] += refl[d].values[k][1];
    }
  const kvtest::GreyPicture g = kvtest::decode_png(dir / "q.png");
  ASSERT_EQ(g.width, w);
  ASSERT_EQ(g.height, hgt);
  for (int x = 0; x < w; ++x)
    for (int y = 0; y < hgt; ++y) {
      const std::size_t i = static_cast<std::size_t>(x * hgt + y);
      const double v = std::min(100.0, re[i] * re[i] + im[i] * im[i]);
      EXPECT_EQ(g.pixel(x, hgt - 1 - y), static_cast<int>(v * 255 / 100)) << "x=" << x << " y=" << y;
    }
}

TEST_F(PageTest, IndividualReflectionPictures) {
  dir.write("r.txt", kvtest::sim_result_text("SIM_RESULT", 80.0,
                                             {SimReflex{0, 0, 0, 0, 0, {{80}}}, SimReflex{-2, 2, 0, 5, 0, {{40}}}},
                                             2, kvtest::square_grid(2)));
  const kvtest::RunResult r = run_sim_script("SIM_VISUAL_MODE", "SIM_VISUALIZE", "r.txt 1 2 1", "2\n");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(dir.read("p.html"),
            "<html>\n<title>p.html</title>\n<body>\n<hr>\n"
            "<p>[1 1 0], t = 1200 [A], gamma_coef = 1</p>\n"
            "<p><img src=\"r_0.png\" align=\"middle\">\n 0 0 0</p>\n"
            "<p><img src=\"r_1.png\" align=\"middle\">\n -2 2 0</p>\n</body>\n</html>\n");
  // 3 x 3 map (num_pix_side + 1) at mag 2, contrast reversed: the 2 x 2
  // disk at the lower left, the rest white.
  const kvtest::GreyPicture g = kvtest::decode_png(dir / "r_1.png");
  ASSERT_EQ(g.width, 6);
  EXPECT_EQ(g.pixel(0, 5), 127);  // 255 - 127.5, truncated
  EXPECT_EQ(g.pixel(3, 2), 127);
  EXPECT_EQ(g.pixel(4, 5), 255);
  EXPECT_EQ(g.pixel(0, 0), 255);
  expect_images_valid("p.html", 2);
}

TEST_F(PageTest, SimResultFormatErrors) {
  // A reflection block whose indices differ from the RF_INDEX list.
  std::string text = kvtest::sim_result_text("SIM_RESULT", 1.0, {SimReflex{1, 1, 1, 0, 0, {{1}}}}, 1,
                                             kvtest::square_grid(1));
  text.replace(text.rfind("1\t1\t1"), 5, "1\t1\t3");
  dir.write("r.txt", text);
  kvtest::RunResult r = run_sim_script("SIM_VISUAL_MODE", "SIM_VISUALIZE", "r.txt 0.5 1 0", "1\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("$$ERROR: (qz_visualization) hkl\n"), std::string::npos);
  // A file without reflections.
  dir.write("e.txt", kvtest::sim_result_text("SIM_RESULT", 1.0, {}, 1, kvtest::square_grid(1)));
  r = run_sim_script("SIM_VISUAL_MODE", "SIM_VISUALIZE", "e.txt 0.5 1 0", "1\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("$$ERROR: (qz_visualization) nx = 0\n"), std::string::npos);
  // Truncated file.
  dir.write("t.txt", text.substr(0, text.find("}COORD")));
  r = run_sim_script("SIM_VISUAL_MODE", "SIM_VISUALIZE", "t.txt 0.5 1 0", "1\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("$$ Data format error"), std::string::npos);
  // gamma and mag checks of the whole pattern.
  r = run_sim_script("SIM_VISUAL_MODE", "SIM_VISUALIZE", "r.txt -0.5 1 0", "1\n");
  EXPECT_NE(r.out.find("$$ERROR: (qz_visualization) gamma < 0.0\n"), std::string::npos);
  r = run_sim_script("SIM_VISUAL_MODE", "SIM_VISUALIZE", "r.txt 0.5 0 0", "1\n");
  EXPECT_NE(r.out.find("$$ERROR: (qz_visualization) mag_coef <= 0\n"), std::string::npos);
}

// A FIT_RESULT file of one thickness, n = 2: reflection 1 1 1 (weight 1)
// and reflection 2 0 0 (weight 0).
std::string fit_result_text() {
  return "FIT_RESULT\n#Dataset no. 0\nCR_PAR{\n# lattice parameter\n# a,b,c,alpha,beta,gamma\n"
         "5.43  5.43  5.43  90  90  90\n1  1  0    # incident direction\n0  0  4    # zolzbase1\n"
         "0  0    # tiltH tiltG\n0.1    # disksize\n}CR_PAR\nNUM{\n2    #num_reflex\n1    #num_thickness\n"
         "4  2    #num_pix, num_pix_side\n}NUM\nTHICKNESS{\n"
         "RF{\n1  1  1  1   #h k l\n#Obs  Cal  Sig\n10  8  1\n20  25  1\n\n5  5  -1\n7  3  2\n\n}RF\n"
         "RF{\n2  0  0  0   #h k l\n#Obs  Cal  Sig\n1  1  1\n1  1  1\n\n1  1  1\n1  1  1\n\n}RF\n"
         "}THICKNESS\n";
}

TEST_F(PageTest, FitResultTableWithUnweightedRow) {
  dir.write("f.txt", fit_result_text());
  dir.write("s.txt", "TALVIS_SCRIPT\nFIT_VISUAL_MODE\nVIS_PARAMS\n0.5  -3  0  100\nFIT_VISUALIZE\nf.txt\n");
  const kvtest::RunResult r = talvis({"s.txt"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("$$mag_coef, cont_rev_flag = -3 0\n$$preset_max_val, gamma_max = 100 0.5\n"
                       "$$resfile= f.txt\n\n***** Visualize FIT_RESULT *****\n\n"),
            std::string::npos);
  EXPECT_NE(r.out.find("\nResult: \"f_.html\"\n\n"), std::string::npos);
  EXPECT_EQ(dir.read("f_.html"),
            "<html>\n<title>f</title>\n<body>\n<p>Data file: f<br>\nPixels: 2 x 2, disksize HG: 0.1<br>\n"
            "Magnification: -3, gamma_max: 0.5, common_scale_max = 100</p>\n<HR>\n"
            "<table border=1 cellspacing=0>\n<tr>\n<th>obs</th> <th>cal</th> <th>dif</th> "
            "<th>h k l<br> [min, max]</th>\n</tr>\n"
            "<tr>\n<td><img src=\"f_0_1.png\" align=\"middle\"></td>\n"
            "<td><img src=\"f_0_2.png\" align=\"middle\"></td>\n"
            "<td><img src=\"f_0_3.png\" align=\"middle\"></td>\n"
            "<td>1 1 1<br> [0, 25]</td>\n</tr>\n"
            "<tr>\n<td> </td> <td> </td> <td> </td> <td>2 0 0<br> </tr>\n"
            "</table>\n</body>\n</html>\n");
  for (const char* stale : {"f_1_1.png", "f_1_1.pgm", "f_0_1.pgm"}) EXPECT_FALSE(std::filesystem::exists(dir / stale));
  expect_images_valid("f_.html", 3);
  // mag -3: 6 x 6 pictures over -0.1..0.1, where the only grid lines are
  // the dashed ones through 0 (pixel 2). The scale is 100 (25 / 100)^0.5
  // = 50. The difference map holds |10-8| = 2 in the lower left cell and
  // |7-3| = 4 in the upper right one.
  const kvtest::GreyPicture d = kvtest::decode_png(dir / "f_0_3.png");
  ASSERT_EQ(d.width, 6);
  EXPECT_EQ(d.pixel(5, 0), static_cast<int>(4 * 255.0 / 50));
  EXPECT_EQ(d.pixel(0, 5), static_cast<int>(2 * 255.0 / 50));
  EXPECT_EQ(d.pixel(2, 5), 255);  // dashed line x = 2 at y = 0
  EXPECT_EQ(d.pixel(2, 4), 10);   // ... and not at y = 1
  EXPECT_EQ(d.pixel(4, 3), 255);  // dashed line y = 2 at x = 4
}

TEST_F(PageTest, MeasuredDataTable) {
  dir.write("x.txt",
            "FIT_EXPDATA_BGS\nCR{\n1 0 0\n0 1 0\n0 0 1\n1 1 0\n0 0\n}CR\nPAR{\n1\n1\n4 2\n-0.5 0.5 -0.5 0.5\n}PAR\n"
            "THICKNESS{\nRF{\n0 0 2\n30 3\n60 -1\n\n15 2\n45 4\n\n}RF\n}THICKNESS\n");
  dir.write("s.txt", "TALVIS_SCRIPT\nFITEXP_VISUAL_MODE\nVIS_PARAMS\n1 1 1\nFITEXP_VISUALIZE\nx.txt\n");
  const kvtest::RunResult r = talvis({"s.txt"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(dir.read("x_.html"),
            "<html>\n<title>x</title>\n<body>\n<p>Data file: x<br>\nPixels: 2 x 2, "
            "Hbgn Hend Gbgn Gend: -0.5 0.5 -0.5 0.5<br>\nMagnification: 1, gamma_max: 1</p>\n<HR>\n"
            "<table border=1 cellspacing=0>\n<tr>\n<th>obs</th> <th>sig</th> <th>h k l<br> [min, max]</th>\n</tr>\n"
            "<tr>\n<td><img src=\"x_0_1.png\" align=\"middle\"></td>\n"
            "<td><img src=\"x_0_2.png\" align=\"middle\"></td>\n"
            "<td>0 0 2 <br>[0, 45]</td>\n</tr>\n</table>\n</body>\n</html>\n");
  expect_images_valid("x_.html", 2);
  // Reversed contrast, scale 45: obs 30 at the lower left, the point with a
  // negative deviation left at 0 (white).
  const kvtest::GreyPicture o = kvtest::decode_png(dir / "x_0_1.png");
  EXPECT_EQ(o.pixel(0, 1), 255 - static_cast<int>(30 * 255.0 / 45));
  EXPECT_EQ(o.pixel(1, 1), 255);
  EXPECT_EQ(o.pixel(1, 0), 0);
}

TEST_F(PageTest, FitFilesWithWrongLayoutAreRejected) {
  dir.write("x.txt", "FIT_EXPDATA_XYZ\n");
  dir.write("s.txt", "TALVIS_SCRIPT\nFITEXP_VISUAL_MODE\nVIS_PARAMS\n1 1 1\nFITEXP_VISUALIZE\nx.txt\n");
  kvtest::RunResult r = talvis({"s.txt"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("$$ERROR: data format: buf=FIT_EXPDATA_XYZ\n"), std::string::npos);
  // A row not followed by its empty line.
  std::string text = fit_result_text();
  text.erase(text.find("20  25  1\n") + 10, 1);
  dir.write("f.txt", text);
  dir.write("s.txt", "TALVIS_SCRIPT\nFIT_VISUAL_MODE\nVIS_PARAMS\n1 1 1\nFIT_VISUALIZE\nf.txt\n");
  r = talvis({"s.txt"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("empty line is expected"), std::string::npos);
}

}  // namespace
