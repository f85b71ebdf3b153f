#pragma once
// Input files named inside a talvis script are looked for beside the script
// first, so that a script reads the same results from whatever folder it is
// run; a name not found there is taken as given (relative to the working
// folder). Outputs are named from the files' own names and so still go to the
// working folder.
#include <cstdio>
#include <string>

namespace kv {

// While alive, names read from `script` resolve against the folder of
// `script_path`.
class ScriptFolder {
 public:
  ScriptFolder(FILE* script, const std::string& script_path);
  ~ScriptFolder();
  ScriptFolder(const ScriptFolder&) = delete;
  ScriptFolder& operator=(const ScriptFolder&) = delete;

 private:
  FILE* script_;
};

// The folder part of a path ("" for a bare name, "/" kept for the root).
std::string folder_of(const std::string& path);

// `name` as it must be opened from the working folder: an absolute name, or
// one read from a script without a registered folder, is returned as is; a
// relative name that exists beside the script becomes "<folder>/<name>";
// otherwise the name is returned unchanged.
std::string script_input_file(FILE* script, const std::string& name);

}  // namespace kv
