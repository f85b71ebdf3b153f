#include "sim/script_folder.hpp"

#include <filesystem>
#include <map>

namespace kv {

namespace {

// Folder of each open script; talvis reads one script at a time, but the map
// keeps the rule tied to the FILE* the commands are read from.
std::map<FILE*, std::string>& script_folders() {
  static std::map<FILE*, std::string> folders;
  return folders;
}

bool is_file(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(std::filesystem::path(path), ec);
}

}  // namespace

ScriptFolder::ScriptFolder(FILE* script, const std::string& script_path) : script_(script) {
  script_folders()[script_] = folder_of(script_path);
}

ScriptFolder::~ScriptFolder() { script_folders().erase(script_); }

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return std::string();
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string script_input_file(FILE* script, const std::string& name) {
  if (name.empty() || name[0] == '/') return name;
  const auto it = script_folders().find(script);
  if (it == script_folders().end() || it->second.empty()) return name;
  const std::string folder = it->second;
  const std::string beside = folder == "/" ? "/" + name : folder + "/" + name;
  return is_file(beside) ? beside : name;
}

}  // namespace kv
