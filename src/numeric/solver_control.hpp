#pragma once
// The choices and tolerances of the dense solvers behind one computation
// (eigen solver, inversion, boundary-condition solve) and their diagnostic
// switches, taken from the run-control values.
#include "sim/runctl.hpp"

namespace kv {

struct solver_control {
  int eigmat_func = 0;     // 0 eispack_cg, 1 eigen_c_mat, 2 LAPACK zgeev, 3 Hermitian split
  double eigen_eps = 1e-8;
  int invmat_func = 0;     // 0 inv_c_mat
  int bc_invmat_func = 0;  // 0 in-house elimination, 2 LAPACK zgesv
  double inv_eps = 1e-8;
  bool monitor = false;    // process_mon_flag: name each solver as it starts
  int eigval_dump = 0, eigvec_dump = 0;
};

inline solver_control solver_control_of(const RunControl& rc) {
  solver_control s;
  s.eigmat_func = rc.epsilon.eigmat_func;
  s.eigen_eps = rc.epsilon.eigen_eps;
  s.invmat_func = rc.epsilon.invmat_func;
  s.bc_invmat_func = rc.epsilon.bc_invmat_func;
  s.inv_eps = rc.epsilon.inv_eps;
  s.monitor = rc.dbg.process_mon_flag == 1;
  s.eigval_dump = rc.dbg.eigval_dump_flag;
  s.eigvec_dump = rc.dbg.eigvec_dump_flag;
  return s;
}

// Exact-beam counts at which the solvers cross over (bench/bench_split.cpp,
// one core, Si [110] 200 kV with Bethe beams): the Hermitian split is as
// fast as the EISPACK route at 30 exact beams and faster from there on
// (1.3x at 50, about 2x from 100); zgeev overtakes the EISPACK route between
// 100 and 150 but stays behind the split. The split is exact to its
// tolerance or hands the matrix on, so the automatic choice is the EISPACK
// route below kSplitFromBeams and the split from it; a matrix the split
// hands on goes to zgeev from kZgeevFromBeams, else to the EISPACK route.
inline constexpr int kSplitFromBeams = 40;
inline constexpr int kZgeevFromBeams = 130;

// The eigen solver of a simulation with n_exact exact beams: the one the
// parameter file set, else the fastest accurate one for that size.
inline int job_eigmat_func(const Epsilon& e, int n_exact) {
  if (e.eigmat_func_given) return e.eigmat_func;
  return n_exact >= kSplitFromBeams ? 3 : 0;
}

// The entrance-condition solver of a simulation: the one the parameter
// file set, else LAPACK zgesv, 3-5x faster than the in-house elimination at
// every order from 50 to 400 exact beams (bench/bench_engine.cpp, stages 4
// and 8). After the Hermitian split neither runs: the split's factors give
// the solution.
inline int job_bc_invmat_func(const Epsilon& e) { return e.bc_invmat_func_given ? e.bc_invmat_func : 2; }

// Both choices of a simulation with n_exact exact beams, into e.
inline void choose_job_solvers(Epsilon& e, int n_exact) {
  e.eigmat_func = job_eigmat_func(e, n_exact);
  e.bc_invmat_func = job_bc_invmat_func(e);
}

// The solver's name for the job log.
inline const char* eigmat_func_name(int func) {
  switch (func) {
    case 0: return "EISPACK Householder + complex QR";
    case 1: return "elimination + complex QR";
    case 2: return "LAPACK zgeev";
    case 3: return "Hermitian split (LAPACK Hermitian solver + absorption iteration)";
    default: return "unknown";
  }
}

// The solvers as the program's own run-control records set them.
inline solver_control program_solver_control() { return solver_control_of(RunControl{epsilon, dbg}); }

}  // namespace kv
