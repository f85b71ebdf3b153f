#pragma once
// Where the programs find their data tables (korvexspg.dat, korvexxdt.dat,
// korvexbk.dat): the working directory first, so that a user can supply a
// table of his own; otherwise the data directory installed with the programs,
// found from the location of the running executable (<exe dir>/../share/korvex,
// and in a build tree <exe dir>/../data), and last the source tree's data/.
#include <optional>
#include <string>
#include <vector>

namespace kv {

// The directories searched after the working directory, in order.
std::vector<std::string> data_table_dirs();
// Path of the table, or nothing when no place has it.
std::optional<std::string> locate_data_table(const std::string& name);
// Text naming the table and the places searched, for failure messages:
// "korvexspg.dat (neither in the working directory nor in /usr/share/korvex)".
std::string data_table_places(const std::string& name);
// Path of the table; when no place has it the run ends with status 1 and
// "$$ Cannot open <places>. Abort." on standard error.
std::string find_data_table(const std::string& name);

}  // namespace kv
