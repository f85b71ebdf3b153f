#pragma once
// Complete eigen-decomposition of a dense complex general matrix: the
// eigenvalues and the right eigenvectors of the structure matrix of one
// incident-beam tilt. Two solvers stand behind `eigmat`:
//   - `eispack_cg`: balancing, Householder reduction to Hessenberg form,
//     complex QR with accumulated transformations, back-transformation;
//   - `eigen_c_mat`: elementary (pivoted) Hessenberg reduction, shifted
//     complex QR with plane rotations, back substitution;
//   - LAPACK `zgeev` of the system library (eigmat_func 2), vectors of unit
//     length;
//   - the Hermitian split (eigmat_func 3, numeric/eigen_split.hpp): zheevd
//     of the elastic part, the absorptive part removed by an iteration to
//     a stated tolerance in that eigenbasis, degenerate clusters solved
//     exactly; a matrix on which the iteration does not settle is solved
//     by zgeev instead.
// Both return the eigenvalues ordered by decreasing real part and the
// eigenvectors as the columns of an n x n matrix (eigvec[i][j] is component
// i of vector j).
//
// The solvers keep no state between calls: the zero tolerance is an
// argument, so independent problems may be solved concurrently. Only the
// dispatcher `eigmat` reads the run-control values (eigmat_func, eigen_eps
// and the debug flags): from the caller's solver_control, or from the
// program's records in the overloads without one.
#include <vector>

#include "numeric/complex.hpp"
#include "numeric/eigen_split.hpp"
#include "numeric/lapack.hpp"
#include "numeric/matrix.hpp"
#include "numeric/solver_control.hpp"

namespace kv {

// Eigenvalues and eigenvectors of the n x n matrix a (left unchanged) with
// the solver chosen by epsilon.eigmat_func and the tolerance
// epsilon.eigen_eps. eigval holds n values; eigvec is n x n. Returns 0.
int eigmat(int n, const CMatrix& a, complex* eigval, CMatrix& eigvec);

// A rotation of one QR sweep of comqr2: the complex cosine (xr, xi) and the
// real sine s of the rotation that mixes two neighbouring columns.
struct qr_rotation {
  double xr, xi, s;
};
// A plane rotation [[conj(c), conj(s)], [-s, c]] of eigen_c_mat.
struct plane_rotation {
  complex c, s;
};

// The vectors and matrices the in-house solvers and the eigenvalue sort
// work in, for orders up to n_max: a caller that keeps one (one per thread)
// solves any number of problems without allocating. Each routine sets what
// it reads before reading it, so one scratch serves every call in turn.
struct eigen_scratch {
  int n_max = 0;
  std::vector<double> scale, ortr, orti;  // cbal / corth records, n + 1 each
  std::vector<double> fr, fi;             // corth: products u^H A along a row
  std::vector<complex> acc;               // comqr2: accumulated transformation row
  std::vector<qr_rotation> qr_rot;        // comqr2: rotations of one sweep
  std::vector<complex> vec;               // back substitution vector; eigen_c_mat row copy
  CMatrix tri;                            // comqr2: transposed triangle; eigen_c_mat: its vectors
  std::vector<double> norms;              // column norms and sums
  std::vector<int> piv;                   // eigen_c_mat pivot rows
  std::vector<complex> mult;              // eigen_c_mat multipliers
  std::vector<plane_rotation> rot;        // eigen_c_mat rotations
  std::vector<int> order;                 // sort permutation
  std::vector<complex> sorted;            // sorted eigenvalues; one row of a column reordering
};
eigen_scratch alloc_eigen_scratch(int n);

// Scratch of eigmat for matrices up to n x n, kept by a caller that solves
// many problems (one per thread), so that no solve allocates it again.
struct eigmat_work {
  CMatrix copy;       // the matrix handed to the in-house solvers (destroyed)
  eigen_scratch es;   // the in-house solvers' vectors
  lapack_work lw;     // the zgeev scratch
  split_work sw;      // the Hermitian split's scratch (eigmat_func 3 only)
  long split_fallbacks = 0;  // matrices the split handed to zgeev
  // C^-1 e_0 for the eigenvectors of the last solve, in their sorted order,
  // when the solver's factors gave it (the Hermitian split); otherwise
  // have_first_inv is false and the entrance condition is solved from C.
  std::vector<complex> first_inv;
  bool have_first_inv = false;
};
eigmat_work alloc_eigmat_work(int n);
// The same with the split solver's scratch too when func is 3 (or any
// value that may resolve to it).
eigmat_work alloc_eigmat_work(int n, int func);
// eigmat with the caller's scratch; the same results.
int eigmat(int n, const CMatrix& a, complex* eigval, CMatrix& eigvec, eigmat_work& ew);
// The same with the solver, tolerance and dumps of `ctl` instead of the
// program's run-control records.
int eigmat(int n, const CMatrix& a, complex* eigval, CMatrix& eigvec, eigmat_work& ew, const solver_control& ctl);

// Balancing, orthogonal Hessenberg reduction, QR and back-transformation,
// with every zero test made against tol; a is destroyed. The eigenvectors
// are normalised to unit length before the balancing is undone. Returns 0,
// or the (1-based) index of the eigenvalue being sought when the budget of
// 30 n QR iterations ran out; then the eigenvalues not found and all
// vectors are left as the iteration stood.
int eispack_cg(int n, double tol, CMatrix& a, complex* eigval, CMatrix& eigvec);
// The same in the caller's scratch (grown when n exceeds its order).
int eispack_cg(int n, double tol, CMatrix& a, complex* eigval, CMatrix& eigvec, eigen_scratch& es);

// The steps of eispack_cg. Indices low and igh are 1-based (rows and
// columns low..igh form the block that was not isolated by the balancing);
// the work vectors scale, ortr, orti have n + 1 elements, element 0 unused.
//
// Permutes and scales a so that rows and columns have comparable norms.
// scale[j] records the interchange index (outside low..igh) or the power of
// 16 applied (inside).
void cbal(int n, double eps, CMatrix& a, int& low, int& igh, double* scale);
// Householder reduction of rows and columns low..igh to upper Hessenberg
// form; the Householder vectors are left in ortr/orti and below the
// subdiagonal of a.
void corth(int n, double eps, int low, int igh, CMatrix& a, double* ortr, double* orti);
void corth(int n, double eps, int low, int igh, CMatrix& a, double* ortr, double* orti, eigen_scratch& es);
// QR iteration on the Hessenberg matrix h, accumulating the transformations
// in z, then back substitution for the eigenvectors, each column of z
// normalised to unit length. Returns 0 or the 1-based index of the
// eigenvalue that did not converge within 30 n iterations (z then holds the
// transformations, not vectors). "$$ en=%d, abort.\n" (status 1) when an
// exceptional shift is due while fewer than three rows remain.
int comqr2(int n, double eps, int low, int igh, double* ortr, double* orti, CMatrix& h,
           complex* w, CMatrix& z);
int comqr2(int n, double eps, int low, int igh, double* ortr, double* orti, CMatrix& h,
           complex* w, CMatrix& z, eigen_scratch& es);
// Undoes the balancing on the m columns of z.
void cbabk2(int n, int low, int igh, const double* scale, int m, CMatrix& z);
// Stable insertion sort into decreasing real part, moving the columns of
// vec with their eigenvalues.
void sort_eigval_eigvec(int n, complex* val, CMatrix& vec);
void sort_eigval_eigvec(int n, complex* val, CMatrix& vec, eigen_scratch& es);
// With 1-based indices: if j != m, swaps columns j and m in rows 1..l and
// rows j and m in columns k..n.
void matexchange_rowcol(int n, int j, int k, int l, int m, CMatrix& a);

// sqrt(a^2 + b^2) by the Moler-Morrison iteration, without overflow.
double pythag(double a, double b);
// a / b with both scaled by |b.re| + |b.im|.
complex cdiv_cg(complex a, complex b);
// Principal complex square root.
complex csroot(complex x);

// Alternative solver. mode 0: eigenvalues only (unsorted); +1/-1:
// eigenvectors too, sorted by decreasing/increasing real part; any other
// value: eigenvectors, sorted by squared modulus (decreasing for positive
// mode, increasing for negative). a is destroyed. Returns 0; 1 for the
// trivial case (n = 1 or a negligible matrix: diagonal and identity, not
// sorted); 3 for n < 1 or tol <= 0 (with "$$ (eigen_c_mat) invalid n or
// epsilon.\n" on standard error); 30000 when an eigenvalue did not converge
// within 31 iterations.
int eigen_c_mat(int n, double tol, int mode, CMatrix& a, complex* eigval, CMatrix& eigvec);
int eigen_c_mat(int n, double tol, int mode, CMatrix& a, complex* eigval, CMatrix& eigvec, eigen_scratch& es);

// Exchange sorts into non-increasing order of |val|^2 or Re val (of the
// negated key when dir < 0), moving the columns of vec along.
void norm_csort(int n, complex* val, CMatrix& vec, int dir);
void re_part_csort(int n, complex* val, CMatrix& vec, int dir);

}  // namespace kv
