#include <gtest/gtest.h>

#include "sim/error.hpp"
#include "sim/linereader.hpp"
#include "support/fatal.hpp"
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

TEST(CommentSkip, OverLongCommentsStayCommentsToTheirEnd) {
  const std::string tail = " The default intensity_scaling is 10000\n";
  const auto lines = all_lines("% " + std::string(300, 'x') + tail + "# " + std::string(600, 'y') + tail +
                               "COMMENT{ " + std::string(400, 'z') + "\n" + std::string(300, 'w') +
                               "}COMMENT\n}COMMENT\nnext\n");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "next\n");
}

TEST(CommentSkip, OverLongDataLinesAndNulBytesAreRefusedWithTheirLine) {
  struct Case {
    std::string text, message;
  };
  const std::vector<Case> cases = {
      {"a\n" + std::string(300, '1') + "\n",
       "$$ Data format error: line 2 is longer than 255 characters: " + std::string(40, '1') +
           "...\n$$ (line 2)\n$$ Abort.\n"},
      {std::string("a\nb\0c\n", 6), "$$ Data format error: line 2 holds a NUL byte; this is not a text file.\n$$ (line 2)\n$$ Abort.\n"},
      {"% c\n\x01\x02\xff" + std::string(300, 'q') + "\n",
       "$$ Data format error: line 2 is longer than 255 characters: \\x01\\x02\\xff" + std::string(37, 'q') +
           "...\n$$ (line 2)\n$$ Abort.\n"},
  };
  for (const Case& c : cases) {
    StringFile f(c.text);
    const std::string msg = kvtest::fatal_text([&] {
      while (comment_skip_fgets(kLineCap, f.get())) {
      }
    });
    EXPECT_EQ(msg, c.message);
  }
  // A line just within the buffer, and one without a line end at the end
  // of the file, are whole lines.
  const auto whole = all_lines(std::string(255, 'k') + "\n" + std::string(255, 'e'));
  ASSERT_EQ(whole.size(), 2u);
  EXPECT_EQ(whole[0], std::string(255, 'k') + "\n");
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
  EXPECT_EQ(str_to_fs(4, "1, 2.5\t% comment\n", v), 2);
  EXPECT_DOUBLE_EQ(v[0], 1.0);
  EXPECT_DOUBLE_EQ(v[1], 2.5);
  EXPECT_DOUBLE_EQ(v[2], 0.0);  // missing numbers read as 0
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

// Every number field of every reader goes through these conversions: a bad
// token ends the run with a message naming the field and the place.
TEST(CheckedNumbers, BadTokensAreRefusedWithFieldAndPlace) {
  struct Case {
    std::string token;
    bool integer;
    std::string message;
  };
  const std::string at = "$$ (line 1 of t.dat)\n$$ Abort.\n";
  const std::vector<Case> cases = {
      {"nan", false, "$$ Data format error: \"nan\" for voltage is not a finite number.\n" + at},
      {"-inf", false, "$$ Data format error: \"-inf\" for voltage is not a finite number.\n" + at},
      {"1e400", false, "$$ Data format error: \"1e400\" for voltage is not a finite number.\n" + at},
      {"5.43l", false, "$$ Data format error: the number \"5.43l\" for voltage has trailing characters \"l\".\n" + at},
      {"abc", false, "$$ Data format error: voltage must be a number, found \"abc\".\n" + at},
      {"\x7f", false, "$$ Data format error: voltage must be a number, found \"\\x7f\".\n" + at},
      {"3e9", true,
       "$$ Data format error: the integer \"3e9\" for voltage is outside the range -2147483648 to 2147483647.\n" + at},
      {"-2147483649", true,
       "$$ Data format error: the integer \"-2147483649\" for voltage is outside the range -2147483648 to "
       "2147483647.\n" + at},
      {"nan", true, "$$ Data format error: \"nan\" for voltage is not a finite number.\n" + at},
  };
  for (const Case& c : cases) {
    StringFile f("x\n");
    start_reading(f.get(), "t.dat");
    comment_skip_fgets(kLineCap, f.get());
    const std::string msg = kvtest::fatal_text([&] {
      if (c.integer)
        checked_int(c.token, "voltage", f.get());
      else
        checked_double(c.token, "voltage", f.get());
    });
    EXPECT_EQ(msg, c.message) << c.token;
  }
  StringFile f("x\n");
  EXPECT_EQ(checked_int("2147483647", "n", f.get()), 2147483647);
  EXPECT_EQ(checked_int("-2147483648", "n", f.get()), -2147483647 - 1);
  EXPECT_EQ(checked_int("-3.9", "n", f.get()), -3);  // truncated toward zero
  EXPECT_DOUBLE_EQ(checked_double("1e-400", "x", f.get()), 0.0);  // underflow is 0, not an error
  EXPECT_FALSE(is_number("inf"));
  EXPECT_FALSE(is_number("nan"));
  EXPECT_TRUE(is_number("-1.5e3"));
}

TEST(CheckedNumbers, SecondTokenAndLineNumbersAreCheckedToo) {
  // Without a stream of their own, messages name the place of the line read last.
  StringFile f("intensity_scaling is 10000\nnum_threads 1e12\n1 nan 2\n");
  EXPECT_EQ(kvtest::fatal_text([&] { second_double(need_line(kLineCap, f.get())); }),
            "$$ Data format error: intensity_scaling must be a number, found \"is\".\n$$ (line 1)\n$$ Abort.\n");
  EXPECT_EQ(kvtest::fatal_text([&] { second_int(need_line(kLineCap, f.get())); }),
            "$$ Data format error: the integer \"1e12\" for num_threads is outside the range -2147483648 to "
            "2147483647.\n$$ (line 2)\n$$ Abort.\n");
  double v[3];
  EXPECT_EQ(kvtest::fatal_text([&] { str_to_fs(3, need_line(kLineCap, f.get()), v, f.get()); }),
            "$$ Data format error: \"nan\" is not a finite number.\n$$ (line 3)\n$$ Abort.\n");
}

TEST(PhysicalRanges, ValuesOutsideTheirRangeAreRefused) {
  StringFile f("x\n");
  EXPECT_NO_THROW(require_positive(1e-30, "eigen_eps", f.get()));
  EXPECT_NO_THROW(require_nonnegative(0.0, "thickness", f.get()));
  EXPECT_NO_THROW(require_between(1.0, 0.0, 1.0, "occupancy", f.get()));
  EXPECT_EQ(kvtest::fatal_text([&] { require_positive(0.0, "eigen_eps", f.get()); }),
            "$$ Invalid eigen_eps (=0): it must be a finite number greater than 0.\n$$ Abort.\n");
  EXPECT_EQ(kvtest::fatal_text([&] { require_nonnegative(-500, "thickness", f.get()); }),
            "$$ Invalid thickness (=-500): it must be a finite number not below 0.\n$$ Abort.\n");
  EXPECT_EQ(kvtest::fatal_text([&] { require_between(1.5, 0.0, 1.0, "occupancy", f.get()); }),
            "$$ Invalid occupancy (=1.5): it must be between 0 and 1.\n$$ Abort.\n");
}

TEST(Counts, ACountTheRestOfTheFileCannotHoldIsRefusedBeforeAllocation) {
  StringFile f("3\n1\n2\n3\n");
  start_reading(f.get(), "c.dat");
  comment_skip_fgets(kLineCap, f.get());
  EXPECT_EQ(bytes_left(f.get()), 6);
  EXPECT_NO_THROW(check_count_fits(3, 2, "num_thickness", f.get()));
  EXPECT_EQ(kvtest::fatal_text([&] { check_count_fits(1000000000, 2, "num_thickness", f.get()); }),
            "$$ Invalid num_thickness (=1000000000): the 6 bytes left in the file cannot hold so many entries (at "
            "least 2 bytes each).\n$$ (line 1 of c.dat)\n$$ Abort.\n");
  // The check left the read position where it was.
  EXPECT_EQ(need_line(kLineCap, f.get()), "1\n");
  EXPECT_EQ(kvtest::fatal_text([&] { refuse_block_marker("}OUTPUT_THICKNESS\n", 3, "thickness", f.get()); }),
            "$$ Data format error: expected 3 thickness lines, found block marker }OUTPUT_THICKNESS.\n"
            "$$ (line 2 of c.dat)\n$$ Abort.\n");
  EXPECT_NO_THROW(refuse_block_marker("-1 0 0\n", 3, "reflection", f.get()));
}

TEST(Markers, RawBinaryIsNeverEchoed) {
  StringFile f("LAT\x01\x1b[2J\xfe\n");
  const std::string msg = kvtest::fatal_text([&] { chk_data("LATTICE{", f.get()); });
  EXPECT_NE(msg.find("$$ buf=LAT\\x01\\x1b[2J\\xfe\n"), std::string::npos) << msg;
  EXPECT_EQ(printable("a\tb\n"), "a\\tb\\x0a");
}

}  // namespace
}  // namespace kv
