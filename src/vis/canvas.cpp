#include "vis/canvas.hpp"

#include <cerrno>
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

namespace {

cairo_status_t append_to_file(void* closure, const unsigned char* data, unsigned int length) {
  FILE* fp = static_cast<FILE*>(closure);
  return std::fwrite(data, 1, length, fp) == length ? CAIRO_STATUS_SUCCESS : CAIRO_STATUS_WRITE_ERROR;
}

}  // namespace

void write_png(cairo_surface_t* surface, const std::string& png) {
  cairo_surface_flush(surface);
  OutputFile out = qz_fopen_chk_wmode(png);
  const cairo_status_t st = cairo_surface_write_to_png_stream(surface, append_to_file, out.get());
  if (st != CAIRO_STATUS_SUCCESS) {
    const int error = std::ferror(out.get()) ? errno : EIO;
    out.discard();
    output_failed(png, error != 0 ? error : EIO);
  }
  out.commit();
}

}  // namespace kv
