#pragma once
// Dense complex linear algebra of the Bloch-wave engine: the full inverse
// of a square matrix (weak-beam block of the Bethe reduction) and the first
// column of an inverse (excitation amplitudes from the entrance-surface
// boundary condition). The solvers take their pivot tolerance as an
// argument and keep no state; the dispatchers read the run-control records.
#include <vector>

#include "numeric/complex.hpp"
#include "numeric/lapack.hpp"
#include "numeric/matrix.hpp"
#include "numeric/solver_control.hpp"

namespace kv {

// Replaces the n x n matrix a by its inverse (inv_c_mat with tolerance
// epsilon.inv_eps). A non-zero status is reported on standard output and
// the run continues. Returns 0.
int invmat(int n, CMatrix& a);

// Crout decomposition with partial pivoting, then inversion of the
// triangular factors. Returns 0 with a replaced by its inverse; 30000 for
// n < 1 or tol <= 0; after a pivot of modulus below tol, the number of the
// failing column counted from 1 (a is then partly overwritten).
int inv_c_mat(int n, double tol, CMatrix& a);

// The vectors of inv_c_mat, kept by a caller that inverts at every tilt.
struct invert_scratch {
  std::vector<int> ipiv;
  std::vector<complex> col, acc, tmp;
};
invert_scratch alloc_invert_scratch(int n);
// Both in the caller's scratch (grown when n exceeds it); the same results.
int inv_c_mat(int n, double tol, CMatrix& a, invert_scratch& s);
int invmat(int n, CMatrix& a, invert_scratch& s);
// With the method and tolerance of `ctl` instead of the program's records.
int invmat(int n, CMatrix& a, invert_scratch& s, const solver_control& ctl);

// Solves m x = e_0: bc_invmat_func 0 by inverse with tolerance
// epsilon.inv_eps (m is destroyed), 2 by LAPACK zgesv (m is kept). Returns
// the status of the solver.
int bc_invmat(int n, CMatrix& m, complex* x);
// The same with the caller's LAPACK scratch.
int bc_invmat(int n, CMatrix& m, complex* x, lapack_work& lw);
// With the method and tolerance of `ctl` instead of the program's records.
int bc_invmat(int n, CMatrix& m, complex* x, lapack_work& lw, const solver_control& ctl);

// Solves m x = e_0, the first column of the inverse, by elimination that
// keeps the equation with the right-hand side 1 in the last row; m is
// destroyed, x holds n values. status is 0, or 30000 when the matrix is
// singular to within tol (x is computed all the same).
void inverse(int n, CMatrix& m, complex* x, double tol, int& status);
// The same with n values of the caller's scratch for the right-hand side.
void inverse(int n, CMatrix& m, complex* x, double tol, int& status, complex* rhs);

}  // namespace kv
