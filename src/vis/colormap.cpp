#include "vis/colormap.hpp"

#include <cmath>

namespace kv {

namespace {

using Table = std::array<std::array<std::uint8_t, 3>, 33>;

// Both tables sample the published maps at 0, 1/32, ..., 1 (sRGB, 8 bit).
constexpr Table kViridis = {{{68, 1, 84},    {71, 13, 96},   {72, 24, 106},  {72, 35, 116},  {71, 45, 123},
                             {69, 55, 129},  {66, 64, 134},  {62, 73, 137},  {59, 82, 139},  {55, 91, 141},
                             {51, 99, 141},  {47, 107, 142}, {44, 114, 142}, {41, 122, 142}, {38, 130, 142},
                             {35, 137, 142}, {33, 145, 140}, {31, 152, 139}, {31, 160, 136}, {34, 167, 133},
                             {40, 174, 128}, {50, 182, 122}, {63, 188, 115}, {78, 195, 107}, {94, 201, 98},
                             {112, 207, 87}, {132, 212, 75}, {152, 216, 62}, {173, 220, 48}, {194, 223, 35},
                             {216, 226, 25}, {236, 229, 27}, {253, 231, 37}}};

constexpr Table kInferno = {{{0, 0, 4},      {4, 3, 18},     {11, 7, 36},    {21, 11, 55},   {33, 12, 74},
                             {47, 10, 91},   {61, 9, 101},   {74, 12, 107},  {87, 16, 110},  {100, 21, 110},
                             {113, 25, 110}, {125, 30, 109}, {138, 34, 106}, {151, 39, 102}, {163, 44, 97},
                             {176, 49, 91},  {188, 55, 84},  {199, 62, 76},  {210, 70, 68},  {219, 80, 59},
                             {228, 90, 49},  {235, 102, 40}, {241, 115, 29}, {246, 128, 19}, {249, 142, 9},
                             {251, 157, 7},  {252, 172, 17}, {251, 188, 33}, {249, 203, 53}, {245, 219, 76},
                             {242, 234, 105}, {243, 246, 138}, {252, 255, 164}}};

std::uint8_t mix(std::uint8_t a, std::uint8_t b, double f) {
  return static_cast<std::uint8_t>(std::lround(a + (b - a) * f));
}

Rgb from_table(const Table& t, double v) {
  const double x = v * (t.size() - 1);
  const std::size_t i = std::min<std::size_t>(static_cast<std::size_t>(x), t.size() - 2);
  const double f = x - static_cast<double>(i);
  return Rgb{mix(t[i][0], t[i + 1][0], f), mix(t[i][1], t[i + 1][1], f), mix(t[i][2], t[i + 1][2], f)};
}

}  // namespace

Rgb colormap_rgb(Colormap map, double v) {
  if (!(v == v)) return Rgb{};
  v = v < 0.0 ? 0.0 : (v > 1.0 ? 1.0 : v);
  switch (map) {
    case Colormap::viridis: return from_table(kViridis, v);
    case Colormap::inferno: return from_table(kInferno, v);
    case Colormap::grey: break;
  }
  const auto g = static_cast<std::uint8_t>(std::lround(255.0 * v));
  return Rgb{g, g, g};
}

std::optional<Colormap> colormap_from_name(const std::string& name) {
  if (name == "viridis") return Colormap::viridis;
  if (name == "inferno") return Colormap::inferno;
  if (name == "grey" || name == "gray") return Colormap::grey;
  return std::nullopt;
}

const char* colormap_name(Colormap map) {
  switch (map) {
    case Colormap::viridis: return "viridis";
    case Colormap::inferno: return "inferno";
    case Colormap::grey: break;
  }
  return "grey";
}

}  // namespace kv
