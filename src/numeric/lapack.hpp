#pragma once
// The system LAPACK and BLAS (OpenBLAS) behind the engine's dense linear
// algebra: the general complex eigenproblem (zgeev), linear solves with an
// LU factorisation (zgesv) and the complex matrix product (zgemm).
//
// Matrices are the project's row-major CMatrix; a row-major block read as
// column-major is its transpose, which the wrappers use instead of copying
// where the algebra allows it. Every routine takes its scratch from a
// caller-owned work area, so one area per thread makes them safe to call
// concurrently; OpenBLAS itself is kept to one thread (see
// blas_single_thread) so that tilt threads do not oversubscribe the cores
// and results do not depend on how many threads the library would use.
#include <vector>

#include "numeric/complex.hpp"
#include "numeric/matrix.hpp"

namespace kv {

// Scratch of the LAPACK eigen solver and solves for matrices up to n x n.
struct lapack_work {
  std::vector<complex> a;      // column-major copy of the matrix (destroyed)
  std::vector<complex> vr;     // right eigenvectors, column-major
  std::vector<complex> w;      // eigenvalues before sorting; the in-house boundary solve's right-hand side
  std::vector<complex> work;   // zgeev workspace
  std::vector<double> rwork;   // zgeev real workspace (2 n)
  std::vector<int> ipiv;       // pivots of the LU factorisation
  std::vector<int> order;      // sort permutation
  int n_max = 0;
};

lapack_work alloc_lapack_work(int n);

// Keeps OpenBLAS on the calling thread. Called before any threaded loop;
// cheap to call again.
void blas_single_thread();

// Eigenvalues and unit right eigenvectors of the n x n matrix a (unchanged)
// by zgeev, sorted by decreasing real part exactly as sort_eigval_eigvec
// sorts (stable). eigvec[i][j] is component i of vector j. Returns the
// zgeev info (0 on success; > 0 when the QR iteration failed).
int zgeev_eigmat(int n, const CMatrix& a, complex* eigval, CMatrix& eigvec, lapack_work& lw);

// Solves m x = e_0 by zgesv (LU with partial pivoting); m is left as it was.
// Returns the zgesv info (> 0: an exactly zero pivot, x then undefined).
int zgesv_first_column(int n, const CMatrix& m, complex* x, lapack_work& lw);

// Generalised Bethe reduction of the leading (n_e + n_b) block of a:
// b = A_ee - A_eb A_bb^-1 A_be, with A_eb A_bb^-1 from one LU solve (zgesv,
// A_bb factorised once for all n_e right-hand sides) and the correction from
// one zgemm. bb holds n_b^2 and y n_e n_b values of scratch. Returns the
// zgesv info.
int bethe_solve(int n_e, int n_b, const CMatrix& a, CMatrix& b, std::vector<complex>& bb,
                std::vector<complex>& y, std::vector<int>& ipiv);

}  // namespace kv
