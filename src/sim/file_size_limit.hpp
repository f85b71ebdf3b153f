#pragma once
// Under a file-size limit (ulimit -f) the system ends a process that writes
// past it with the signal SIGXFSZ, and the run would die without a word.
// With the signal ignored the write fails with EFBIG instead, and the output
// reports it like a full disk: "$$ Cannot write NAME (File too large). Abort."
namespace kv {

void ignore_file_size_signal();

}  // namespace kv
