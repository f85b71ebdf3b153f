#include "vis/canvas.hpp"

#include <cstdio>
#include <utility>

#include "sim/qzio.hpp"

namespace kv {

Canvas dark_canvas(int width, int height) {
  Surface surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height), cairo_surface_destroy);
  if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS)
    error_exit(stdout, "(figure) cannot make a %d x %d picture", width, height);
  Context context(cairo_create(surface.get()), cairo_destroy);
  cairo_set_source_rgb(context.get(), kCanvasBg[0], kCanvasBg[1], kCanvasBg[2]);
  cairo_paint(context.get());
  return Canvas{std::move(surface), std::move(context)};
}

}  // namespace kv
