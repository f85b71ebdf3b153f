#pragma once
// Output files that appear whole or not at all. The bytes go to a temporary
// file with a unique name in the folder of the final file; commit() checks
// every write, the flush and the close and only then renames the temporary
// file onto the final name (an atomic step within one file system). A file
// that is never committed (an error, an exception on the way) is removed, so
// a full disk or a failed run never leaves a cut result behind, and a reader
// never sees half a file.
#include <cstdio>
#include <string>

namespace kv {

class OutputFile {
 public:
  OutputFile() = default;
  // Creates the temporary file beside `path`; check with operator bool (errno
  // tells why it failed). `discard_only` writes to the null device and
  // renames nothing (the MPI ranks that do not write the run's files).
  explicit OutputFile(std::string path, bool discard_only = false);
  ~OutputFile() { discard(); }
  OutputFile(OutputFile&& other) noexcept { take(other); }
  OutputFile& operator=(OutputFile&& other) noexcept;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  FILE* get() const { return fp_; }
  explicit operator bool() const { return fp_ != nullptr || open_without_stream_; }
  // The final name, and the temporary name that holds the bytes until commit.
  const std::string& path() const { return path_; }
  const std::string& temp_path() const { return temp_; }

  // Closes the stdio stream (checked) and keeps the temporary file, for a
  // library that writes the file by name (HDF5); commit() renames it.
  void close_stream();
  // Checks and closes the stream and renames the file onto its final name;
  // on any failure the temporary file is removed and the run ends with
  // "$$ Cannot write NAME (reason). Abort." and status 1.
  void commit();
  // Removes the temporary file; the final name is not touched.
  void discard() noexcept;

 private:
  void take(OutputFile& other) noexcept;
  [[noreturn]] void fail(int error);

  std::string path_;
  std::string temp_;
  FILE* fp_ = nullptr;
  bool open_without_stream_ = false;  // stream closed by close_stream()
  bool discard_only_ = false;
};

// The message of a failed output, as commit() ends the run with it.
[[noreturn]] void output_failed(const std::string& path, int error);

}  // namespace kv
