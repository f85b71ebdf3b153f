#include "sim/file_size_limit.hpp"

#include <csignal>

namespace kv {

void ignore_file_size_signal() { std::signal(SIGXFSZ, SIG_IGN); }

}  // namespace kv
