#include <gtest/gtest.h>

#include "sim/error.hpp"
#include "sim/linereader.hpp"
#include "support/run_program.hpp"

using kvtest::StringFile;

namespace kv {
namespace {

std::vector<std::string> all_lines(const std::string& text, int cap = kLineCap) {
  StringFile f(text);
  std::vector<std::string> out;
  while (auto line = comment_skip_fgets(cap, f.get())) out.push_back(*line);
  return out;
}

TEST(CommentSkip, SkipsCommentLinesAndBlocksButDeliversBlankLines) {
  const auto lines = all_lines(
      "% percent comment\n"
      "# hash comment\n"
      "first\n"
      "\n"
      " # a hash after a blank is text\n"
      "COMMENT{ text behind the opening marker\n"
      "inside\n"
      "COMMENT{ a second opening inside is just text\n"
      "}COMMENT text behind the closing marker\n"
      "last % not a comment\n");
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "first\n");
  EXPECT_EQ(lines[1], "\n");
  EXPECT_EQ(lines[2], " # a hash after a blank is text\n");
  EXPECT_EQ(lines[3], "last % not a comment\n");
}

TEST(CommentSkip, OpeningMarkerLineIsNeverTakenForTheClosingOne) {
  const auto lines = all_lines("COMMENT{ }COMMENT on the same line\nhidden\n}COMMENT\nseen\n");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "seen\n");
}

TEST(CommentSkip, UnclosedCommentBlockIsAFormatError) {
  StringFile f("a\nCOMMENT{\nnever closed\n");
  EXPECT_EQ(*comment_skip_fgets(kLineCap, f.get()), "a\n");
  try {
    comment_skip_fgets(kLineCap, f.get());
    FAIL() << "no error";
  } catch (const FatalError& e) {
    EXPECT_EQ(e.status(), 1);
    EXPECT_NE(e.text().find("}COMMENT"), std::string::npos);
  }
}

TEST(CommentSkip, OverLongLinesComeInPieces) {
  const std::string longline(300, 'x');
  const auto lines = all_lines(longline + "\nnext\n");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].size(), 255u);
  EXPECT_EQ(lines[1], std::string(45, 'x') + "\n");
  EXPECT_EQ(lines[2], "next\n");
}

TEST(NeedLine, RejectsEndOfFileAndOverLongLines) {
  {
    StringFile f("% only a comment\n");
    EXPECT_THROW(need_line(kLineCap, f.get()), FatalError);
  }
  {
    StringFile f(std::string(300, '1') + "\n");
    EXPECT_THROW(need_line(kLineCap, f.get()), FatalError);
  }
  {
    StringFile f("no line end at end of file");
    EXPECT_EQ(need_line(kLineCap, f.get()), "no line end at end of file");
  }
}

TEST(Tokens, SeparatorsAndLineEnds) {
  const auto t = split_tokens("  a,b\t,, c\r\n");
  ASSERT_EQ(t.size(), 3u);
  EXPECT_EQ(t[0], "a");
  EXPECT_EQ(t[1], "b");
  EXPECT_EQ(t[2], "c");
  EXPECT_TRUE(split_tokens(" ,\t\n").empty());
}

TEST(StringRoutines, SecondTokenStrToFsAndRmCr) {
  EXPECT_EQ(second_int("key 42 trailing\n"), 42);
  EXPECT_DOUBLE_EQ(second_double("general_eps 1e-12, followed by a comment\n"), 1e-12);
  EXPECT_THROW(second_int("key_without_value\n"), FatalError);

  double v[4] = {9, 9, 9, 9};
  EXPECT_EQ(str_to_fs(4, "1, 2.5\tabc\n", v), 3);
  EXPECT_DOUBLE_EQ(v[0], 1.0);
  EXPECT_DOUBLE_EQ(v[1], 2.5);
  EXPECT_DOUBLE_EQ(v[2], 0.0);  // a token without a number reads as 0
  EXPECT_DOUBLE_EQ(v[3], 0.0);

  std::string s = "line\r\n";
  EXPECT_EQ(rm_cr(s), "line");
}

TEST(StringRoutines, RemoveExtention) {
  EXPECT_EQ(remove_extention("run.dat"), "run");
  EXPECT_EQ(remove_extention("a.b.dat"), "a");
  EXPECT_EQ(remove_extention("noext"), "noext");
  EXPECT_EQ(remove_extention("..hidden.txt"), "..hidden");
  // Folder parts never reach the base name, dots in them included.
  EXPECT_EQ(remove_extention("./sub.dir/si.dat"), "si");
  EXPECT_EQ(remove_extention("../x.dat"), "x");
  EXPECT_EQ(remove_extention("/abs/path.d/a.b.dat"), "a");
  EXPECT_EQ(remove_extention("dir/"), "");
}

TEST(Markers, ChkDataExactFirstToken) {
  StringFile f("# c\nLATTICE{ trailing text\nLATTICE\n");
  EXPECT_NO_THROW(chk_data("LATTICE{", f.get()));
  try {
    chk_data("LATTICE{", f.get());
    FAIL();
  } catch (const FatalError& e) {
    EXPECT_EQ(e.text(),
              "$$ Data format error has been found at LATTICE{.\n$$ Abort.\n$$ buf=LATTICE\n"
              "$$ (line 3, block LATTICE)\n");
    EXPECT_EQ(e.channel(), Channel::out);
  }
  EXPECT_THROW(chk_data("LATTICE{", f.get()), FatalError);  // end of file
}

TEST(Markers, ChkDataInfoComparesTheWholeLine) {
  StringFile f("TALVIS_SCRIPT\r\nTALVIS_SCRIPT extra\n");
  EXPECT_NO_THROW(chk_data_info("TALVIS_SCRIPT", "hint", f.get()));
  try {
    chk_data_info("TALVIS_SCRIPT", "this is not a script", f.get());
    FAIL();
  } catch (const FatalError& e) {
    EXPECT_NE(e.text().find("$$ buf=TALVIS_SCRIPT extra\n$$this is not a script\n"), std::string::npos);
  }
}

TEST(Markers, Fget1sKeepsFirstTokenOnly) {
  StringFile f("%c\nSIM_MODE, rest of line\n");
  EXPECT_EQ(*fget_1s(f.get()), "SIM_MODE");
  EXPECT_FALSE(fget_1s(f.get()).has_value());
}

}  // namespace
}  // namespace kv
