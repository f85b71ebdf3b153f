#include <gtest/gtest.h>

#include "support/fatal.hpp"

#include "input/fields.hpp"
#include "sim/error.hpp"
#include "support/run_program.hpp"

using kvtest::StringFile;

namespace kv {
namespace {

TEST(FieldReaders, MixedSeparatorsMissingFieldsAndComments) {
  StringFile f("% comment\n1, 2,3\n1 2\n0.5 -1.7 2.2\n7 8 9 0.25 extra\n-3.9\n 12abc\nabc\n");
  double a, b, c;
  fget_3d(&a, &b, &c, f.get());
  EXPECT_EQ(a, 1.0);
  EXPECT_EQ(b, 2.0);
  EXPECT_EQ(c, 3.0);
  fget_3d(&a, &b, &c, f.get());
  EXPECT_EQ(c, 0.0);
  int h, k, l;
  fget_3i(&h, &k, &l, f.get());
  EXPECT_EQ(h, 0);
  EXPECT_EQ(k, -1);
  EXPECT_EQ(l, 2);
  double d;
  fget_3i1d(&h, &k, &l, &d, f.get());
  EXPECT_EQ(l, 9);
  EXPECT_EQ(d, 0.25);
  EXPECT_EQ(fget_hkl(f.get()), (Hkl{-3, 0, 0}));  // truncated toward zero
  // A number with a typo in it, and a word where a number stands, are refused
  // with the text found and the line.
  const std::string typo = kvtest::fatal_text([&] { fget_i(f.get()); });
  EXPECT_NE(typo.find("the number \"12abc\" has trailing characters \"abc\""), std::string::npos)
      << typo;
  EXPECT_NE(typo.find("(line 7)"), std::string::npos) << typo;
  const std::string word = kvtest::fatal_text([&] { fget_d(f.get()); });
  EXPECT_NE(word.find("expected a number, found \"abc\""), std::string::npos) << word;
  EXPECT_THROW(fget_d(f.get()), FatalError);  // end of file
}

TEST(FieldReaders, WideReaders) {
  StringFile f("1 2 3 4 5 6 7\n1.5 2.5 3.5 4.5\n9.9 -9.9\n");
  double v[6];
  fget_6d(v, f.get());
  EXPECT_EQ(v[5], 6.0);
  double a, b, c, d;
  fget_4d(&a, &b, &c, &d, f.get());
  EXPECT_EQ(d, 4.5);
  int i, j;
  fget_2i(&i, &j, f.get());
  EXPECT_EQ(i, 9);
  EXPECT_EQ(j, -9);
}

TEST(FieldReaders, StrDiidKeepsAbsentFields) {
  StringFile f("name 1.5 2 3 4.5\nother 2.5\n");
  std::string s;
  double d1 = 0, d2 = 0;
  int i1 = 0, i2 = 0;
  EXPECT_EQ(fget_str_diid(&s, &d1, &i1, &i2, &d2, f.get()), 5);
  EXPECT_EQ(s, "name");
  EXPECT_EQ(i2, 3);
  EXPECT_EQ(fget_str_diid(&s, &d1, &i1, &i2, &d2, f.get()), 2);
  EXPECT_EQ(s, "other");
  EXPECT_EQ(d1, 2.5);
  EXPECT_EQ(i1, 2);
  EXPECT_EQ(d2, 4.5);
}

TEST(FieldReaders, HklWeight) {
  StringFile f("1 2 3 %weight\n1 -1 0 0.5\n4 4 4\n1 2\n");
  Hkl hkl;
  double w = 0;
  fget_hkl_weight(&hkl, &w, f.get());
  EXPECT_EQ(hkl, (Hkl{1, 2, 3}));
  EXPECT_EQ(w, 1.0);
  fget_hkl_weight(&hkl, &w, f.get());
  EXPECT_EQ(w, 0.5);
  fget_hkl_weight(&hkl, &w, f.get());
  EXPECT_EQ(w, 1.0);
  try {
    fget_hkl_weight(&hkl, &w, f.get());
    FAIL();
  } catch (const FatalError& e) {
    EXPECT_EQ(e.text(), "$$(fget_hkl_weight) Format error. Abort. buf=1 2\n.");
  }
}

std::vector<double> sorted(std::vector<double> v, std::vector<int>* idx) {
  idx->assign(v.size(), -1);
  d_heapsort(static_cast<int>(v.size()), v.data(), idx->data());
  return v;
}

TEST(HeapSort, DescendingWithOriginalPositions) {
  std::vector<int> idx;
  EXPECT_EQ(sorted({8, 6}, &idx), (std::vector<double>{8, 6}));
  EXPECT_EQ(idx, (std::vector<int>{0, 1}));
  EXPECT_EQ(sorted({6, 8}, &idx), (std::vector<double>{8, 6}));
  EXPECT_EQ(idx, (std::vector<int>{1, 0}));
  EXPECT_EQ(sorted({7, 4, 1, 8, 0}, &idx), (std::vector<double>{8, 7, 4, 1, 0}));
  EXPECT_EQ(idx, (std::vector<int>{3, 0, 1, 2, 4}));
  EXPECT_EQ(sorted({5}, &idx), (std::vector<double>{5}));
  EXPECT_EQ(idx, (std::vector<int>{0}));

  // A larger random case: sorted, and the index is a permutation that maps back.
  std::vector<double> v;
  unsigned x = 12345;
  for (int i = 0; i < 257; ++i) {
    x = x * 1103515245u + 12345u;
    v.push_back(static_cast<double>((x >> 8) % 1000) - 500.0);
  }
  const std::vector<double> s = sorted(v, &idx);
  for (std::size_t i = 1; i < s.size(); ++i) EXPECT_GE(s[i - 1], s[i]);
  for (std::size_t i = 0; i < s.size(); ++i) EXPECT_EQ(s[i], v[idx[i]]);
}

TEST(MaxMin, WholeMatrix) {
  RMatrix m(3, 3);
  m[0][2] = -7;
  m[1][1] = 4;
  m[2][0] = 9;
  double hi, lo;
  findmaxmin2(3, 3, m, &hi, &lo);
  EXPECT_EQ(hi, 9);
  EXPECT_EQ(lo, -7);
}

}  // namespace
}  // namespace kv
