#pragma once
// korvex on several MPI ranks: `mpirun -n N korvex file.dat` starts N copies
// of the program, each reads the same parameter file, each computes its share
// of the tilts (threaded as usual), and rank 0 gathers the per-tilt results
// and alone writes the log, the console and the output files. Built without
// MPI, or started without an MPI launcher, the program is one rank of one.
#include <vector>

namespace kv {

// This process's place among the ranks: rank 0 of 1 without MPI.
struct RankShare {
  int rank = 0;
  int size = 1;
  bool root() const { return rank == 0; }
  // How many of the items [0, n) this rank computes (items are dealt out in
  // turn, so neighbouring tilts of similar cost go to different ranks).
  int count(int n) const { return n > rank ? (n - rank + size - 1) / size : 0; }
  // The item of [0, n) that is this rank's j-th.
  int item(int j) const { return rank + j * size; }
};

RankShare rank_share();

// Runs a program's body on every rank of an MPI launch (a plain run when the
// process was not started by one): MPI is started first, the console of the
// ranks other than 0 is silenced, and a failure on any rank prints its one
// message and ends the whole run with the failure's status. Returns the
// program's exit status.
int run_on_ranks(int (*body)(int, char**), int argc, char** argv);

// Writes to files on this rank? Only rank 0 does; the others open their
// output streams on the null device.
bool rank_writes_files();

// Gathers on rank 0 the result slots of the items [0, n), `slot` numbers
// each: `mine` holds this rank's items in the order of RankShare::item, and
// on rank 0 `all` receives item i's slot at i * slot (on other ranks it is
// left empty). Returns true on the rank that holds the whole result.
bool gather_item_slots(int n, int slot, const std::vector<double>& mine, std::vector<double>& all);

// The same gathered on every rank: afterwards `all` holds item i's slot at
// i * slot everywhere. The refinement uses it, because every rank then takes
// the same step from the same residuals and Jacobian.
void share_item_slots(int n, int slot, const std::vector<double>& mine, std::vector<double>& all);

}  // namespace kv
