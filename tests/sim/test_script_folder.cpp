// Names read from a talvis script are looked for beside the script first,
// then taken as given.
#include <gtest/gtest.h>

#include "sim/script_folder.hpp"
#include "support/run_program.hpp"

namespace kv {
namespace {

TEST(ScriptFolder, FolderPartOfAPath) {
  EXPECT_EQ(folder_of("x_tlv.txt"), "");
  EXPECT_EQ(folder_of("../run/x_tlv.txt"), "../run");
  EXPECT_EQ(folder_of("/x_tlv.txt"), "/");
  EXPECT_EQ(folder_of("/a/b/x_tlv.txt"), "/a/b");
}

TEST(ScriptFolder, NamesResolveBesideTheScriptThenAsGiven) {
  kvtest::ScratchDir d;
  d.write("beside.txt", "x");
  const std::string script_path = (d / "s_tlv.txt").string();
  kvtest::StringFile script("TALVIS_SCRIPT\n");
  {
    const ScriptFolder folder(script.get(), script_path);
    EXPECT_EQ(script_input_file(script.get(), "beside.txt"), (d / "beside.txt").string());
    EXPECT_EQ(script_input_file(script.get(), "missing.txt"), "missing.txt");
    EXPECT_EQ(script_input_file(script.get(), "/abs/beside.txt"), "/abs/beside.txt");
    // Another stream has no folder of its own.
    kvtest::StringFile other("x\n");
    EXPECT_EQ(script_input_file(other.get(), "beside.txt"), "beside.txt");
  }
  // Once the script is closed its folder no longer applies.
  EXPECT_EQ(script_input_file(script.get(), "beside.txt"), "beside.txt");
}

}  // namespace
}  // namespace kv
