#pragma once
// The output channel: formatted writes, writes that go to a log and to the
// console at once, checked file opening and the fatal-error routines.
#include <cstdio>
#include <memory>
#include <string>

#include "sim/atomic_file.hpp"

namespace kv {

// Drops what the line reader knows about a stream (its line count and open
// blocks) before the stream is closed.
void stop_reading(FILE* fp);

struct FileCloser {
  void operator()(FILE* fp) const {
    if (!fp) return;
    stop_reading(fp);
    std::fclose(fp);
  }
};
// An owned stdio stream; closes itself when it goes out of scope.
using File = std::unique_ptr<FILE, FileCloser>;

int qz_fprintf(FILE* fp, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// The same text first to fp, then to standard output.
int qz_fprintf_stdo(FILE* fp, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void qz_fflush(FILE* fp);
// Creates a file for writing; "$$ Cannot open %s. Abort.\n" on standard error
// and status 1 when it cannot. The file takes its name only when it is
// committed (qz_fclose or OutputFile::commit): until then it is a temporary
// file beside it, removed if the run fails.
OutputFile qz_fopen_chk_wmode(const std::string& path);
// Commits an output file (checked: a failed write ends the run).
void qz_fclose(OutputFile& fp);
// A log that is written as the run goes on (so that it holds what was done
// when a run fails) is a plain stream; its close is checked all the same.
File open_log_file(const std::string& path);
void close_log_file(File& fp, const std::string& path);
// "$$error: " + message + "\n" on fp, status 1.
[[noreturn]] void qz_error_exit(FILE* fp, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// "$$ERROR: " + message + "\n" on fp, status 1.
[[noreturn]] void error_exit(FILE* fp, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Opens for reading; "$$ (fopen_chk_rmode) Cannot open %s. Abort.\n" on
// standard error and status 1 when it cannot (with the reason when the name
// is a folder or no plain file). The file is remembered as an
// input of this run: the writers below refuse to create a file over it.
File fopen_chk_rmode(const std::string& path);
// Opens for reading only a plain file (no folder, FIFO, device or socket,
// which would read as garbage or block the run for ever); null otherwise.
// The check is made on the opened descriptor, so nothing can be swapped in.
File fopen_plain_file(const std::string& path);
// Records path as an input of this run before it is opened.
void mark_input_file(const std::string& path);
// Forgets the inputs recorded so far: a process that runs several jobs
// (the Python module) starts each with none.
void forget_input_files();
// Whether path names a file opened for reading through fopen_chk_rmode.
bool is_input_file(const std::string& path);
// Ends the run, as the writers do, when path is an input of this run or the
// name of a data table: a job calls it for its outputs before long work, so
// that the clash is reported before the work, not after it.
void refuse_input_overwrite(const std::string& path);
OutputFile fopen_chk_wmode(const std::string& path);

}  // namespace kv
