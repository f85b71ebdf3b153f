#include "fuzz_target.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "sim/error.hpp"

namespace fs = std::filesystem;

namespace kvfuzz {

namespace {

std::vector<Target>& targets() {
  static std::vector<Target> t;
  return t;
}

std::string& refusal() {
  static std::string text;
  return text;
}

void remove_scratch() {
  std::error_code ec;
  fs::current_path(fs::temp_directory_path(ec), ec);
  fs::remove_all(scratch(), ec);
}

std::string make_scratch() {
  std::string pattern = (fs::temp_directory_path() / "kvfuzz.XXXXXX").string();
  if (!::mkdtemp(pattern.data())) fault("cannot make a scratch folder under " + fs::temp_directory_path().string());
  fs::current_path(pattern);
  // No reader may wait for an answer on the console.
  if (!std::freopen("/dev/null", "r", stdin)) fault("cannot read standard input from /dev/null");
  return pattern;
}

}  // namespace

bool register_target(const char* name, TargetFn fn) {
  targets().push_back({name, fn});
  return true;
}

const std::vector<Target>& registered_targets() { return targets(); }

const std::string& scratch() {
  // Never destroyed: the exit handler that removes the folder runs after
  // the destructors of statics made before it was registered.
  static const std::string* const dir = [] {
    const std::string* d = new std::string(make_scratch());
    std::atexit(remove_scratch);
    return d;
  }();
  return *dir;
}

std::string write_input(const std::uint8_t* data, std::size_t size, const std::string& name) {
  const fs::path path = fs::path(scratch()) / name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  out.close();
  if (!out) fault("cannot write the input to " + path.string());
  return name;
}

void copy_fixture(const std::string& source, const std::string& name) {
  const std::string fuzz_prefix = "fuzz/";
  const fs::path from = source.rfind(fuzz_prefix, 0) == 0
                            ? fs::path(KV_FUZZ_DIR) / source.substr(fuzz_prefix.size())
                            : fs::path(KV_EXAMPLES_DIR) / source;
  std::error_code ec;
  fs::copy_file(from, fs::path(scratch()) / name, fs::copy_options::overwrite_existing, ec);
  if (ec) fault("cannot copy " + from.string() + ": " + ec.message());
}

void clear_scratch_except(const std::vector<std::string>& keep) {
  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator(scratch(), ec)) {
    const std::string name = e.path().filename().string();
    bool kept = false;
    for (const std::string& k : keep) kept = kept || k == name;
    if (!kept) fs::remove_all(e.path(), ec);
  }
}

void run_reader(const std::function<void()>& body) {
  refusal().clear();
  try {
    body();
  } catch (const kv::FatalError& e) {
    refusal() = e.text();
  }
}

const std::string& last_refusal() { return refusal(); }

void fault(const std::string& message) {
  std::cerr << "kvfuzz fault: " << message << std::endl;
  std::abort();
}

}  // namespace kvfuzz
