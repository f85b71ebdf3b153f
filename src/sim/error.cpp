#include "sim/error.hpp"

#include <cstdio>
#include <exception>
#include <new>
#include <vector>

namespace kv {

std::string vstrprintf(const char* fmt, va_list ap) {
  va_list copy;
  va_copy(copy, ap);
  const int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  if (n <= 0) return std::string();
  std::string out(static_cast<std::size_t>(n) + 1, '\0');
  std::vsnprintf(out.data(), out.size(), fmt, ap);
  out.resize(static_cast<std::size_t>(n));
  return out;
}

std::string strprintf(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string s = vstrprintf(fmt, ap);
  va_end(ap);
  return s;
}

void fatal(Channel channel, std::string text, int status) {
  throw FatalError(std::move(text), channel, status);
}

void fatal_out(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string s = vstrprintf(fmt, ap);
  va_end(ap);
  fatal(Channel::out, std::move(s));
}

void fatal_err(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string s = vstrprintf(fmt, ap);
  va_end(ap);
  fatal(Channel::err, std::move(s));
}

int report_fatal(const FatalError& e) {
  std::fflush(stdout);
  FILE* fp = e.channel() == Channel::out ? stdout : stderr;
  std::fputs(e.text().c_str(), fp);
  std::fflush(fp);
  return e.status();
}

int guarded_main(int (*body)(int, char**), int argc, char** argv, int (*report)(const FatalError&)) {
  try {
    return body(argc, argv);
  } catch (const FatalError& e) {
    return report(e);
  } catch (const std::bad_alloc&) {
    return report(FatalError("$$ Not enough memory. Abort.\n", Channel::err, 1));
  } catch (const std::exception& e) {
    return report(FatalError(strprintf("$$ Internal error: %s. Abort.\n", e.what()), Channel::err, 1));
  }
}

int guarded_main(int (*body)(int, char**), int argc, char** argv) {
  return guarded_main(body, argc, argv, report_fatal);
}

}  // namespace kv
