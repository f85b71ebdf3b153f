#pragma once
// Helpers of the crystallography tests: running code inside a scratch folder
// (the data tables are looked up in the working directory first) and the
// text of a fatal condition.
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "sim/error.hpp"
#include "support/fatal.hpp"
#include "support/run_program.hpp"

namespace kvtest {

// Makes `dir` the working directory for the guard's lifetime.
class InDir {
 public:
  explicit InDir(const std::filesystem::path& dir) : old_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~InDir() { std::filesystem::current_path(old_); }
  InDir(const InDir&) = delete;
  InDir& operator=(const InDir&) = delete;

 private:
  std::filesystem::path old_;
};

}  // namespace kvtest
