#include "vis/asf_menu.hpp"

#include <cstdio>

#include "crystal/scattering.hpp"

namespace kv {

int run_asf_test() { return asf_test(stdin); }

}  // namespace kv
