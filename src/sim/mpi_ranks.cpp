#include "sim/mpi_ranks.hpp"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/error.hpp"

#ifdef KORVEX_MPI
#include <fcntl.h>
// The C interface only (OpenMPI would otherwise pull in its C++ bindings).
#define OMPI_SKIP_MPICXX 1
#include <mpi.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#endif

namespace kv {

namespace {

// Set once in run_on_ranks before any job code runs, read-only afterwards.
struct RankState {
  RankShare share;
  int saved_stdout = -1;  // the console of a silenced rank, for its failure message
  int saved_stderr = -1;
};
RankState g_ranks;

}  // namespace

RankShare rank_share() { return g_ranks.share; }

bool rank_writes_files() { return g_ranks.share.root(); }

#ifndef KORVEX_MPI

int run_on_ranks(int (*body)(int, char**), int argc, char** argv) { return guarded_main(body, argc, argv); }

bool gather_item_slots(int /*n*/, int /*slot*/, const std::vector<double>& mine, std::vector<double>& all) {
  all = mine;
  return true;
}

void share_item_slots(int /*n*/, int /*slot*/, const std::vector<double>& mine, std::vector<double>& all) {
  all = mine;
}

#else

namespace {

// Started by mpirun/mpiexec (OpenMPI, or a PMI launcher such as a batch
// system's)? A plain start runs without MPI at all.
bool launched_by_mpi() {
  for (const char* v : {"OMPI_COMM_WORLD_SIZE", "PMIX_RANK", "PMI_RANK", "PMI_SIZE"})
    if (std::getenv(v)) return true;
  return false;
}

// The ranks other than 0 print nothing: their console goes to the null
// device, kept aside for a failure message.
void silence_console() {
  std::fflush(stdout);
  std::fflush(stderr);
  const int null_fd = ::open("/dev/null", O_WRONLY);
  if (null_fd < 0) return;
  g_ranks.saved_stdout = ::dup(STDOUT_FILENO);
  g_ranks.saved_stderr = ::dup(STDERR_FILENO);
  ::dup2(null_fd, STDOUT_FILENO);
  ::dup2(null_fd, STDERR_FILENO);
  ::close(null_fd);
}

void restore_console() {
  std::fflush(stdout);
  std::fflush(stderr);
  if (g_ranks.saved_stdout >= 0) ::dup2(g_ranks.saved_stdout, STDOUT_FILENO);
  if (g_ranks.saved_stderr >= 0) ::dup2(g_ranks.saved_stderr, STDERR_FILENO);
}

// A failure on one rank ends every rank. Bad input fails on every rank alike;
// rank 0 then prints the message and the others, ended by its abort, print
// nothing. A rank other than 0 that is still running a moment later failed
// on its own (in its share of the tilts) and prints its message itself.
int report_on_rank(const FatalError& e) {
  if (!g_ranks.share.root()) {
    std::this_thread::sleep_for(std::chrono::seconds(2));
    restore_console();
  }
  const int status = report_fatal(e);
  std::fflush(stdout);
  std::fflush(stderr);
  MPI_Abort(MPI_COMM_WORLD, status == 0 ? 1 : status);
  return status;
}

}  // namespace

int run_on_ranks(int (*body)(int, char**), int argc, char** argv) {
  if (!launched_by_mpi()) return guarded_main(body, argc, argv);
  if (MPI_Init(&argc, &argv) != MPI_SUCCESS) {
    std::fprintf(stderr, "$$ MPI could not be started. Abort.\n");
    return 1;
  }
  MPI_Comm_rank(MPI_COMM_WORLD, &g_ranks.share.rank);
  MPI_Comm_size(MPI_COMM_WORLD, &g_ranks.share.size);
  if (!g_ranks.share.root()) silence_console();
  const int status = guarded_main(body, argc, argv, report_on_rank);
  MPI_Finalize();
  return status;
}

namespace {

// Where each rank's slots lie in the rank-ordered buffer of a gather.
struct rank_layout {
  std::vector<int> counts, displs;
  int total = 0;
};

rank_layout layout_of(int n, int slot, int size) {
  if (static_cast<long long>(n) * slot > INT_MAX)
    fatal_err("$$ %d tilts of %d numbers each are too many to gather over MPI ranks. Abort.\n", n, slot);
  rank_layout l;
  l.counts.resize(static_cast<std::size_t>(size));
  l.displs.resize(l.counts.size());
  for (int r = 0; r < size; ++r) {
    l.counts[r] = RankShare{r, size}.count(n) * slot;
    l.displs[r] = l.total;
    l.total += l.counts[r];
  }
  return l;
}

// From rank order (rank 0's items, then rank 1's, ...) to item order.
void to_item_order(int n, int slot, int size, const rank_layout& l, const std::vector<double>& by_rank,
                   std::vector<double>& all) {
  all.assign(static_cast<std::size_t>(n) * slot, 0.0);
  for (int r = 0; r < size; ++r) {
    const RankShare theirs{r, size};
    for (int j = 0; j < theirs.count(n); ++j)
      std::memcpy(&all[static_cast<std::size_t>(theirs.item(j)) * slot], &by_rank[l.displs[r] + j * slot],
                  sizeof(double) * slot);
  }
}

}  // namespace

bool gather_item_slots(int n, int slot, const std::vector<double>& mine, std::vector<double>& all) {
  const RankShare me = g_ranks.share;
  if (me.size == 1) {
    all = mine;
    return true;
  }
  const rank_layout l = layout_of(n, slot, me.size);
  std::vector<double> by_rank(me.root() ? static_cast<std::size_t>(l.total) : 0);
  MPI_Gatherv(mine.data(), static_cast<int>(mine.size()), MPI_DOUBLE, by_rank.data(), l.counts.data(),
              l.displs.data(), MPI_DOUBLE, 0, MPI_COMM_WORLD);
  if (!me.root()) {
    all.clear();
    return false;
  }
  to_item_order(n, slot, me.size, l, by_rank, all);
  return true;
}

void share_item_slots(int n, int slot, const std::vector<double>& mine, std::vector<double>& all) {
  const RankShare me = g_ranks.share;
  if (me.size == 1) {
    all = mine;
    return;
  }
  const rank_layout l = layout_of(n, slot, me.size);
  std::vector<double> by_rank(static_cast<std::size_t>(l.total));
  MPI_Allgatherv(mine.data(), static_cast<int>(mine.size()), MPI_DOUBLE, by_rank.data(), l.counts.data(),
                 l.displs.data(), MPI_DOUBLE, MPI_COMM_WORLD);
  to_item_order(n, slot, me.size, l, by_rank, all);
}

#endif

}  // namespace kv
