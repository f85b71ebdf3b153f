#pragma once
// Colour maps for the labelled pictures: two perceptually uniform maps
// (viridis, inferno) sampled at 33 points and interpolated linearly, and a
// plain grey ramp. All run from dark (0) to bright (1).
#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace kv {

enum class Colormap { viridis, inferno, grey };

struct Rgb {
  std::uint8_t r = 0, g = 0, b = 0;
};

// Colour of a value in [0, 1]; values outside are clamped, NaN is black.
Rgb colormap_rgb(Colormap map, double v);

// "viridis", "inferno", "grey" (or "gray"); anything else gives nothing.
std::optional<Colormap> colormap_from_name(const std::string& name);
const char* colormap_name(Colormap map);

}  // namespace kv
