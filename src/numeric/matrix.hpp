#pragma once
// Owned storage of the numerical code: one contiguous row-major block per
// matrix (element (i, j) is a[i][j]), and a three-index array whose last
// index is contiguous. Allocation failure is fatal with the
// "Not enough memory for ..." messages.
#include <cstddef>
#include <cstdio>
#include <new>
#include <vector>

#include "numeric/complex.hpp"
#include "sim/error.hpp"

namespace kv {

[[noreturn]] inline void out_of_memory(const char* what) {
  fatal(Channel::err, std::string("Not enough memory for ") + what + ".\n");
}

template <class T>
std::vector<T> alloc_vector(std::size_t n) {
  try {
    return std::vector<T>(n);
  } catch (const std::bad_alloc&) {
    out_of_memory("vector");
  } catch (const std::length_error&) {
    out_of_memory("vector");
  }
}

template <class T>
class Matrix {
 public:
  Matrix() = default;
  Matrix(std::size_t rows, std::size_t cols) : rows_(rows), cols_(cols) {
    try {
      data_.assign(rows * cols, T{});
    } catch (const std::bad_alloc&) {
      out_of_memory("matrix");
    } catch (const std::length_error&) {
      out_of_memory("matrix");
    }
  }
  T* operator[](std::size_t i) { return data_.data() + i * cols_; }
  const T* operator[](std::size_t i) const { return data_.data() + i * cols_; }
  T& operator()(std::size_t i, std::size_t j) { return data_[i * cols_ + j]; }
  const T& operator()(std::size_t i, std::size_t j) const { return data_[i * cols_ + j]; }
  std::size_t rows() const { return rows_; }
  std::size_t cols() const { return cols_; }
  bool empty() const { return data_.empty(); }
  T* data() { return data_.data(); }
  const T* data() const { return data_.data(); }
  void fill(const T& v) { data_.assign(data_.size(), v); }

 private:
  std::size_t rows_ = 0, cols_ = 0;
  std::vector<T> data_;
};

using CMatrix = Matrix<complex>;
using RMatrix = Matrix<double>;
using CVector = std::vector<complex>;

// P x Q x R values; t(i, j) is the contiguous run of R values at (i, j).
template <class T>
class Tensor3 {
 public:
  Tensor3() = default;
  Tensor3(std::size_t p, std::size_t q, std::size_t r) : p_(p), q_(q), r_(r) {
    try {
      data_.assign(p * q * r, T{});
    } catch (const std::bad_alloc&) {
      out_of_memory("tensor");
    } catch (const std::length_error&) {
      out_of_memory("tensor");
    }
  }
  T* operator()(std::size_t i, std::size_t j) { return data_.data() + (i * q_ + j) * r_; }
  const T* operator()(std::size_t i, std::size_t j) const { return data_.data() + (i * q_ + j) * r_; }
  T& operator()(std::size_t i, std::size_t j, std::size_t k) { return data_[(i * q_ + j) * r_ + k]; }
  const T& operator()(std::size_t i, std::size_t j, std::size_t k) const {
    return data_[(i * q_ + j) * r_ + k];
  }
  std::size_t dim1() const { return p_; }
  std::size_t dim2() const { return q_; }
  std::size_t dim3() const { return r_; }

 private:
  std::size_t p_ = 0, q_ = 0, r_ = 0;
  std::vector<T> data_;
};

// Square complex matrix operations (n x n).
void c_matcopy2(int n, const CMatrix& src, CMatrix& dst);
void c_matsub2(int n, CMatrix& a, const CMatrix& b);
// c (l x m) = a (l x k) b (k x m).
void c_matmult(int l, int m, int k, CMatrix& c, const CMatrix& a, const CMatrix& b);
// a <- a b in place.
void c_matmult2(int n, CMatrix& a, const CMatrix& b);
// One line "%d\t%d\t%g\t%g\n" per element, column by column.
void fprint_complexmat(FILE* fp, int n, const CMatrix& a);

}  // namespace kv
