#pragma once
// Fatal conditions of both programs. Library code never ends the process:
// it throws FatalError, carrying the exact text to print, the stream it
// belongs on and the exit status; the program's main prints it and returns
// the status.
#include <cstdarg>
#include <stdexcept>
#include <string>

namespace kv {

enum class Channel { out, err };

class FatalError : public std::runtime_error {
 public:
  FatalError(std::string text, Channel channel, int status)
      : std::runtime_error(text), text_(std::move(text)), channel_(channel), status_(status) {}
  // The complete message, line ends included, exactly as it is printed.
  const std::string& text() const { return text_; }
  Channel channel() const { return channel_; }
  int status() const { return status_; }

 private:
  std::string text_;
  Channel channel_;
  int status_;
};

// printf-style formatting into a std::string.
std::string strprintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string vstrprintf(const char* fmt, va_list ap);

// Ends the run: the message goes to standard output (or error) verbatim.
[[noreturn]] void fatal(Channel channel, std::string text, int status = 1);
[[noreturn]] void fatal_out(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void fatal_err(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Prints a FatalError where it belongs (after flushing standard output so the
// order of console lines is kept) and returns its exit status.
int report_fatal(const FatalError& e);

// Runs a program's body and turns every way it can fail into one message and
// an exit status: a FatalError as it says, an exhausted memory or any other
// exception as status 1. No failure ends the process uncontrolled.
int guarded_main(int (*body)(int, char**), int argc, char** argv);
// The same with another way of reporting the failure (the MPI ranks print it
// and end every rank).
int guarded_main(int (*body)(int, char**), int argc, char** argv, int (*report)(const FatalError&));

}  // namespace kv
