#pragma once
// One-line field readers: each takes exactly one non-comment line and pulls a
// fixed set of fields out of it. Missing numbers read as zero, surplus tokens
// (and a trailing '%' or '#' comment) are ignored; every number present must
// be a whole finite number token, and integers (truncated toward zero) must
// lie in the int range. End of file where a line is needed is a format error.
#include <array>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "crystal/hkl.hpp"
#include "numeric/matrix.hpp"

namespace kv {


double fget_d(FILE* fp);
int fget_i(FILE* fp);
// A number optionally followed by a unit word ("3.3 mrad" or "3.3mrad"):
// *in_unit tells whether the unit was written.
// A word after the number (and the unit) other than a trailing comment
// ("#...", "%...") is refused with the line.
double fget_d_unit(FILE* fp, const char* unit, bool* in_unit);
// Whether a token opens a trailing comment ("#..." or "%...").
bool is_comment_word(std::string_view word);
// Takes the unit word off the number that leads the tokens of a line, as
// fget_d_unit reads it: "3.3mrad" loses its suffix, "3.3 mrad" its second
// token. Returns whether the unit was there.
bool take_unit(std::vector<std::string_view>& t, std::string_view unit);
void fget_2d(double* a, double* b, FILE* fp);
void fget_3d(double* a, double* b, double* c, FILE* fp);
void fget_4d(double* a, double* b, double* c, double* d, FILE* fp);
void fget_6d(double v[6], FILE* fp);
void fget_2i(int* a, int* b, FILE* fp);
void fget_3i(int* a, int* b, int* c, FILE* fp);
void fget_3i1d(int* a, int* b, int* c, double* d, FILE* fp);
Hkl fget_hkl(FILE* fp);
Hkl fget_uvw(FILE* fp);
// One of `count` counted lines "h k l ...": a block marker in its place
// means the count exceeds the lines written, and says so.
Hkl fget_counted_hkl(FILE* fp, long long count, const char* what);
std::array<double, 3> fget_r_hkl(FILE* fp);
// The same readers for a crystal whose axes may be hexagonal (lp its cell):
// four numbers on the line are Miller-Bravais indices, a direction
// [U V T W] with T = -(U + V) or a reflection (h k i l) with i = -(h + k),
// returned as three-index [u v w] (reduced) or (h k l); three numbers are
// read as the readers above read them. Four numbers for a cell without
// hexagonal axes, or a third index that breaks its rule, end the run with a
// message naming `what`.
Hkl fget_uvw_hex(FILE* fp, const double lp[6], const char* what);
Hkl fget_counted_hkl_hex(FILE* fp, long long count, const char* what, const double lp[6]);
std::array<double, 3> fget_r_hkl_hex(FILE* fp, const double lp[6], const char* what);
// A string, a double, two integers and a double; fields that are absent keep
// their previous values. Returns how many of the five were present.
int fget_str_diid(std::string* s, double* d1, int* i1, int* i2, double* d2, FILE* fp);
// h, k, l and an optional weight (1.0 when absent or a "%" comment follows).
void fget_hkl_weight(Hkl* hkl, double* weight, FILE* fp);

// Descending heap sort; index[k] is the original position of sorted value k.
void d_heapsort(int n, double* a, int* index);
// Largest and smallest element of an n1 x n2 matrix.
void findmaxmin2(int n1, int n2, const RMatrix& m, double* max, double* min);

}  // namespace kv
