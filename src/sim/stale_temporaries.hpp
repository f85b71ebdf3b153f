#pragma once
// Output files are written under hidden temporary names ".NAME.XXXXXX"
// beside their final names and renamed when complete; a run that is killed
// (or loses its machine) leaves them behind. The next run of the same base
// name, once it holds that base name's lock, removes them.
#include <string>

namespace kv {

// Removes, from the working folder, every ".NAME.XXXXXX" whose NAME is an
// output name of base_name (base_name followed by '_' or '.'), unless NAME
// belongs as well to a longer base name whose run is going on now (its lock
// is held: "si" and "si_110" share the prefix). Returns how many it removed.
int remove_stale_temporaries(const std::string& base_name);

}  // namespace kv
