#pragma once
// Coverage-guided fuzz targets over the readers of both programs. Each
// target is one function of the raw input bytes; it writes them to a file in
// a private scratch folder and hands that file to the reader. Refusing the
// input with a kv::FatalError is the normal outcome for bad input; anything
// else (a sanitizer report, another exception, a crash, a hang) is a fault.
//
// Built with libFuzzer, KV_FUZZ_TARGET(name) is the LLVMFuzzerTestOneInput of
// the target's own executable. In the ordinary build the targets register
// themselves with the replay driver instead, which feeds them the seeds and
// every input that ever failed.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kvfuzz {

using TargetFn = int (*)(const std::uint8_t* data, std::size_t size);

// Registration for the replay driver; returns true so that it can
// initialise a static.
bool register_target(const char* name, TargetFn fn);
struct Target {
  std::string name;
  TargetFn fn;
};
const std::vector<Target>& registered_targets();

// The process's scratch folder: made on first use under $TMPDIR, made the
// working folder (readers resolve relative names against it), removed at
// exit.
const std::string& scratch();

// Writes the bytes to `name` in the scratch folder and returns the name.
std::string write_input(const std::uint8_t* data, std::size_t size, const std::string& name);
// Copies a file of the source tree (relative to the examples folder, or to
// the fuzz folder when it starts with "fuzz/") into the scratch folder as
// `name`, for readers that open companion files.
void copy_fixture(const std::string& source, const std::string& name);
// Removes every file of the scratch folder except those named in `keep`.
void clear_scratch_except(const std::vector<std::string>& keep);

// Runs a reader: a kv::FatalError is swallowed (its text is kept for the
// replay driver's verbose mode); any other exception goes on to the caller.
void run_reader(const std::function<void()>& body);
// The last FatalError text seen by run_reader (empty after a clean run).
const std::string& last_refusal();

// Ends the process with a message: a fault the sanitizers cannot see (an
// accepted input that breaks an invariant of the reader's own output).
[[noreturn]] void fault(const std::string& message);

}  // namespace kvfuzz

#ifdef KV_FUZZ_REPLAY
#define KV_FUZZ_TARGET(name)                                                        \
  static int kv_fuzz_##name(const std::uint8_t* data, std::size_t size);           \
  [[maybe_unused]] static const bool kv_fuzz_registered_##name =                   \
      kvfuzz::register_target(#name, kv_fuzz_##name);                              \
  static int kv_fuzz_##name(const std::uint8_t* data, std::size_t size)
#else
#define KV_FUZZ_TARGET(name) \
  extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
#endif
