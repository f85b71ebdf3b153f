#pragma once
// Eigen-decomposition of a structure matrix split into its Hermitian
// (elastic) part and its anti-Hermitian (absorptive) remainder.
//
// A = H + i G with H = (A + A^H) / 2 and G = (A - A^H) / (2i), both
// Hermitian. H = V D V^H is solved by LAPACK zheevd (real eigenvalues,
// orthonormal vectors). In that basis M = V^H A V = D + i V^H G V is
// diagonal up to the absorption, whose elements are small next to the
// spread of D. The eigenvalues of D are grouped into clusters: a new
// cluster starts where the gap to the next value reaches
// kClusterGap times the largest off-diagonal |M_kj|, so that the
// degenerate and near-degenerate states of a zone axis stay together. Each
// cluster's block of M is diagonalised exactly (zgeev on the small block);
// the coupling between clusters is then removed by the fixed-point
// iteration of the invariant-subspace equation
//     M [I; P] = [I; P] T
// for each cluster S (rows of S the identity, P the components on the other
// states, T = M_SS + M_SQ P the cluster's reduced matrix). One sweep is one
// matrix product M X with X = I + P, followed by the update
//     P_kS += R_kS (T_S - M_kk)^-1,  R_kS = (M X)_kS - P_kS T_S,
// which is exact first-order perturbation on the first sweep and repeats
// until the largest update is below kSplitTol. The eigenvalues are those of
// the T_S, the eigenvectors V X W with W the T_S's own vectors, each scaled
// to unit length, sorted by decreasing real part as the other solvers do.
//
// A complex symmetric A (a centrosymmetric crystal described from an
// inversion centre: real Fourier coefficients) has real symmetric H and G;
// then H is solved by the real LAPACK dsyevr and M = D + i Q^T G Q formed
// by real products, which makes the transform about twice as fast, and the
// iteration goes on as for any other matrix.
//
// The decomposition is thus the exact one to the stated tolerance, not a
// truncated perturbation series. When the iteration does not settle (a
// cluster grows past kMaxCluster states, or the coupling is too strong for
// the sweeps to contract), the routine says so by its result and the caller
// solves the matrix by a general solver instead.
#include <vector>

#include "numeric/complex.hpp"
#include "numeric/matrix.hpp"

namespace kv {

// Largest update of P at which the sweeps stop (dimensionless: components of
// a unit eigenvector). The eigenvalues are then right to about this times
// the absorptive coupling; at 3000 A and 200 kV a phase error of the order
// of 1e-9 of the largest intensity, far below what a pattern resolves.
inline constexpr double kSplitTol = 1e-10;
// Cluster threshold as a multiple of the largest absorptive coupling.
inline constexpr double kClusterGap = 8.0;
// States of the largest cluster solved as one block; a larger one hands the
// matrix back to the general solver.
inline constexpr int kMaxCluster = 48;
// Sweeps allowed before the iteration counts as not converging.
inline constexpr int kMaxSweeps = 60;
// Largest residual of X y = V^H e_0, relative to the right-hand side, at
// which the entrance-condition solve from the factors stops, and the steps
// it may take.
inline constexpr double kFirstInvTol = 1e-14;
inline constexpr int kMaxFirstInvSteps = 60;

// The Hermitian part is solved by LAPACK's MRRR solver zheevr below this
// order and by divide and conquer (zheevd) from it: on structure matrices
// (bench/bench_engine.cpp, stage 6) zheevr makes the split 1.2x faster at
// 50-100 exact beams, and the two are level from about 200, where zheevd's
// deflation of the clustered spectrum pays.
inline constexpr int kSplitMrrrBelow = 200;

// Largest |A_ij - A_ji|, relative to the largest element, at which a
// structure matrix counts as complex symmetric and is split in real
// arithmetic: a few rounding errors of the elements.
inline constexpr double kSymmetricTol = 64 * 2.220446049250313e-16;

// Scratch of the split solver for matrices up to n x n (column-major arrays).
struct split_work {
  int n_max = 0;
  std::vector<complex> a, v, m, x, y, tmp;  // n^2 each
  std::vector<double> d;                     // eigenvalues of H
  std::vector<complex> work;                 // zheevd workspace
  std::vector<double> rwork;
  std::vector<int> iwork;
  std::vector<int> isuppz;                   // zheevr's support of each vector
  std::vector<double> rh, rg, rq, rt;        // the real route: Re A, Im A, Q, a product (n^2 each)
  bool real_basis = false;                   // the last call took the real route
  std::vector<int> start;                    // first state of each cluster, then n
  std::vector<int> cluster;                  // cluster of each state
  std::vector<complex> block, block_v, block_w, block_work, small;  // cluster-sized scratch
  std::vector<double> block_rwork;
  std::vector<complex> val;                  // eigenvalues before sorting
  // The first column of C^-1 (C the returned, unsorted eigenvectors), from
  // the factors of the split; valid when have_first_inv is set.
  std::vector<complex> u, first_inv;
  bool have_first_inv = false;
  int sweeps = 0;                            // sweeps of the last call
  int largest_cluster = 0;                   // states in the last call's largest cluster
};
split_work alloc_split_work(int n);

// Eigenvalues and unit right eigenvectors of the n x n matrix a (unchanged)
// by the Hermitian split, eigenvalues in decreasing real part, eigvec[i][j]
// component i of vector j. Returns 0 on success; 1 when the iteration did
// not settle, 2 when a cluster was too large; -info for a LAPACK failure.
// On a non-zero result the outputs are undefined.
//
// On success sw.first_inv usually holds C^-1 e_0 as well, the solution of
// the entrance-surface condition, found from the factors for O(n^2) work:
// C = V X Z N (V unitary, X = I + P, Z the clusters' block vectors, N the
// column scaling), so C^-1 e_0 = N^-1 Z^-1 X^-1 V^H e_0 with X^-1 by a
// fixed-point iteration that contracts as the sweeps did. When that
// iteration does not settle to kFirstInvTol, have_first_inv is false and the
// caller solves C x = e_0 itself.
int split_eigmat(int n, const CMatrix& a, complex* eigval, CMatrix& eigvec, split_work& sw);

}  // namespace kv
