#pragma once
// The choices and tolerances of the dense solvers behind one computation
// (eigen solver, inversion, boundary-condition solve) and their diagnostic
// switches, taken from the run-control values.
#include "sim/runctl.hpp"

namespace kv {

struct solver_control {
  int eigmat_func = 0;     // 0 eispack_cg, 1 eigen_c_mat, 2 LAPACK zgeev
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

// The solvers as the program's own run-control records set them.
inline solver_control program_solver_control() { return solver_control_of(RunControl{epsilon, dbg}); }

}  // namespace kv
