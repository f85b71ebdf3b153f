#include "support/vis_files.hpp"

#include <cctype>
#include <cstdio>
#include <sstream>
#include <stdexcept>

#include "support/run_program.hpp"

namespace kvtest {

std::string sim_result_text(const std::string& keyword, double max, const std::vector<SimReflex>& reflexes,
                            int num_pix_side, const std::vector<SimGridPoint>& points) {
  std::ostringstream s;
  s << keyword << "\n# test.txt\n#\nVISUAL{\n# default max and min [>0]\n"
    << max << "\t0\n# default gamma [>0]\n1.0\n# defalut magnification (integer only)\n1\n"
    << "# default contrast-reverse-flag\n#  1:reverse, 0:not reverse\n0\n}VISUAL\n#\n"
    << "CR_PARAMETERS{\n# lattice parameter\n# a,b,c,alpha,beta,gamma\n5.4307\t5.4307\t5.4307\t90\t90\t90\n"
    << "# incident direction\n1\t1\t0\n# zolzbase1\n0\t0\t4\n# tilt HG\n0.25\t-0.5\n"
    << "# thickness [Angstrom]\n1200\n}CR_PARAMETERS\n#\nRF_INDEX{\n# reflections\n# number of reflections\n"
    << reflexes.size() << "\n# h k l, position (pixel coord)\n";
  for (const SimReflex& r : reflexes) s << r.h << "\t" << r.k << "\t" << r.l << "\t" << r.x << "\t" << r.y << "\n";
  s << "}RF_INDEX\nCOORD{\n" << points.size() << " " << num_pix_side << "    #num_pix, num_pix_side\n"
    << "-1 1 -1 1    #Hbgn Hend Gbgn Gend\n# H, G, ih, ig, flag\n";
  for (const SimGridPoint& p : points) s << "0.1 0.2 " << p.ih << " " << p.ig << " 1\n";
  s << "}COORD\n# intensities\n";
  for (const SimReflex& r : reflexes) {
    s << "RF{\n# hkl\n" << r.h << "\t" << r.k << "\t" << r.l << "\n";
    for (std::size_t k = 0; k < points.size(); ++k) {
      const std::vector<double>& v = r.values[k % r.values.size()];
      s << v[0];
      for (std::size_t j = 1; j < v.size(); ++j) s << "\t" << v[j];
      s << "\n";
    }
    s << "}RF\n";
  }
  return s.str();
}

std::vector<SimGridPoint> square_grid(int side, int first) {
  std::vector<SimGridPoint> p;
  for (int j = 0; j < side; ++j)
    for (int i = 0; i < side; ++i) p.push_back({first + i, first + j});
  return p;
}

GreyPicture parse_pgm(const std::string& data) {
  std::size_t pos = 0;
  auto token = [&]() {
    for (;;) {
      while (pos < data.size() && std::isspace(static_cast<unsigned char>(data[pos]))) ++pos;
      if (pos < data.size() && data[pos] == '#') {
        while (pos < data.size() && data[pos] != '\n') ++pos;
        continue;
      }
      break;
    }
    const std::size_t start = pos;
    while (pos < data.size() && !std::isspace(static_cast<unsigned char>(data[pos]))) ++pos;
    return data.substr(start, pos - start);
  };
  if (token() != "P5") throw std::runtime_error("not a binary PGM");
  GreyPicture g;
  g.width = std::stoi(token());
  g.height = std::stoi(token());
  // A converter may store a picture with a smaller depth when its levels
  // allow it; the levels are scaled back to 0..255.
  const int maxval = std::stoi(token());
  if (maxval < 1 || maxval > 255) throw std::runtime_error("PGM depth is not one byte");
  ++pos;  // the single white space after the depth
  g.bytes.assign(data.begin() + static_cast<std::ptrdiff_t>(pos), data.end());
  if (g.bytes.size() != static_cast<std::size_t>(g.width) * g.height)
    throw std::runtime_error("PGM size does not match its header");
  for (unsigned char& b : g.bytes) b = static_cast<unsigned char>(b * 255 / maxval);
  return g;
}

GreyPicture decode_png(const std::filesystem::path& png) {
  const RunResult r = run_program("/usr/bin/pngtopnm", {"./" + png.filename().string()}, png.parent_path());
  if (r.status != 0) throw std::runtime_error("pngtopnm failed on " + png.string() + ": " + r.err);
  return parse_pgm(r.out);
}

// The file an address names: "&amp;" (the only entity a percent-encoded
// address can hold) back to "&", then every %XX back to its byte.
static std::string address_to_file(std::string a) {
  for (std::size_t p = a.find("&amp;"); p != std::string::npos; p = a.find("&amp;", p + 1)) a.replace(p, 5, "&");
  std::string out;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] == '%' && i + 2 < a.size()) {
      out += static_cast<char>(std::stoi(a.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += a[i];
    }
  }
  return out;
}

std::vector<std::string> img_sources(const std::string& html) {
  std::vector<std::string> out;
  const std::string key = "src=\"";
  for (std::size_t p = html.find(key); p != std::string::npos; p = html.find(key, p)) {
    p += key.size();
    const std::size_t q = html.find('"', p);
    out.push_back(address_to_file(html.substr(p, q - p)));
  }
  return out;
}

bool png_is_valid(const std::filesystem::path& png) {
  if (!std::filesystem::exists(png)) return false;
  return run_program("/usr/bin/pngcheck", {"-q", "./" + png.filename().string()}, png.parent_path()).status == 0;
}

}  // namespace kvtest
