// Replays inputs through the fuzz targets in an ordinary build:
//   fuzz_replay [-v] TARGET PATH...
// Each PATH is an input file or a folder of them (README files are notes, not
// inputs); a folder that does not exist holds none. Refused input is a normal outcome; any other exception fails the
// replay, and a crash ends it. -v prints each input with the refusal it got.
#include <algorithm>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_target.hpp"

namespace fs = std::filesystem;

namespace {

std::vector<fs::path> inputs_of(const fs::path& p) {
  std::vector<fs::path> out;
  std::error_code ec;
  if (fs::is_regular_file(p, ec)) {
    out.push_back(p);
  } else if (fs::is_directory(p, ec)) {
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(p, ec))
      if (e.is_regular_file() && e.path().filename().string().rfind("README", 0) != 0) out.push_back(e.path());
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::uint8_t> bytes_of(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

kvfuzz::TargetFn find_target(const std::string& name) {
  for (const kvfuzz::Target& t : kvfuzz::registered_targets())
    if (t.name == name) return t.fn;
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  const bool verbose = !args.empty() && args[0] == "-v";
  if (verbose) args.erase(args.begin());
  if (args.size() < 2) {
    std::cerr << "usage: fuzz_replay [-v] TARGET PATH...\ntargets:";
    for (const kvfuzz::Target& t : kvfuzz::registered_targets()) std::cerr << " " << t.name;
    std::cerr << "\n";
    return 2;
  }
  const kvfuzz::TargetFn fn = find_target(args[0]);
  if (!fn) {
    std::cerr << "fuzz_replay: no target " << args[0] << "\n";
    return 2;
  }
  // Every input is found before the first one runs: the targets work in
  // their own scratch folder, where relative names would no longer resolve.
  std::vector<fs::path> inputs;
  for (std::size_t a = 1; a < args.size(); ++a)
    for (const fs::path& p : inputs_of(fs::absolute(args[a]))) inputs.push_back(p);
  int replayed = 0, failed = 0;
  for (const fs::path& p : inputs) {
    const std::vector<std::uint8_t> data = bytes_of(p);
    try {
      fn(data.data(), data.size());
      if (verbose)
        std::cout << "== " << p.string() << ": "
                  << (kvfuzz::last_refusal().empty() ? "accepted\n" : "refused\n" + kvfuzz::last_refusal());
    } catch (const std::exception& e) {
      std::cerr << "FAILED " << p.string() << ": uncaught " << e.what() << "\n";
      ++failed;
    } catch (...) {
      std::cerr << "FAILED " << p.string() << ": uncaught exception of unknown type\n";
      ++failed;
    }
    ++replayed;
  }
  std::cout << args[0] << ": " << replayed << " inputs replayed, " << failed << " failed\n";
  if (replayed == 0) {
    std::cerr << "fuzz_replay: no inputs found for " << args[0] << "\n";
    return 1;
  }
  return failed ? 1 : 0;
}
