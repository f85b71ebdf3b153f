#pragma once
// A cairo picture on the dark background that every labelled figure uses,
// owned by RAII handles.
#include <cairo.h>

#include <memory>
#include <string>

namespace kv {

using Surface = std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)>;
using Context = std::unique_ptr<cairo_t, decltype(&cairo_destroy)>;

// Background of the labelled pictures (RGB, 0..1).
inline constexpr double kCanvasBg[3] = {0.06, 0.06, 0.08};

struct Canvas {
  Surface surface;
  Context context;
  cairo_t* cr() const { return context.get(); }
};

// A width x height RGB picture painted with the background; a picture cairo
// cannot make is fatal.
Canvas dark_canvas(int width, int height);

// Writes the picture as a PNG file, whole or not at all (through a temporary
// file beside it); a failed write ends the run with the file's name.
void write_png(cairo_surface_t* surface, const std::string& png);

}  // namespace kv
