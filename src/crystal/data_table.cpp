#include "crystal/data_table.hpp"

#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "sim/error.hpp"

#ifndef KV_SOURCE_DATA_DIR
#define KV_SOURCE_DATA_DIR "data"
#endif

namespace kv {

namespace fs = std::filesystem;

namespace {

bool is_regular(const fs::path& p) {
  std::error_code ec;
  return fs::is_regular_file(p, ec);
}

// Folder of the running executable, empty when it cannot be told.
fs::path exe_dir() {
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return fs::path();
  return exe.parent_path();
}

}  // namespace

std::vector<std::string> data_table_dirs() {
  std::vector<std::string> dirs;
  const auto add = [&dirs](const fs::path& p) {
    const std::string s = p.lexically_normal().string();
    for (const std::string& d : dirs)
      if (d == s) return;
    dirs.push_back(s);
  };
  const fs::path dir = exe_dir();
  if (!dir.empty()) {
    add(dir / ".." / "share" / "korvex");
    add(dir / ".." / "data");
  }
  add(fs::path(KV_SOURCE_DATA_DIR));
  return dirs;
}

std::optional<std::string> locate_data_table(const std::string& name) {
  if (is_regular(name)) return name;
  for (const std::string& d : data_table_dirs()) {
    const fs::path p = fs::path(d) / name;
    if (is_regular(p)) return p.string();
  }
  return std::nullopt;
}

std::string data_table_places(const std::string& name) {
  std::string s = name + " (neither in the working directory nor in ";
  const std::vector<std::string> dirs = data_table_dirs();
  for (std::size_t i = 0; i < dirs.size(); ++i) {
    if (i > 0) s += i + 1 == dirs.size() ? " or " : ", ";
    s += dirs[i];
  }
  return s + ")";
}

std::string find_data_table(const std::string& name) {
  std::optional<std::string> path = locate_data_table(name);
  if (!path) fatal_err("$$ Cannot open %s. Abort.\n", data_table_places(name).c_str());
  return *path;
}

}  // namespace kv
