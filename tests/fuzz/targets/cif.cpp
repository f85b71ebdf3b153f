// A CIF file: the crystal it describes, and the crystal block made from it
// read back by the parameter-file reader. A CIF that is accepted must give a
// block that reads back with the same space group and number of sites.
#include <cstdio>
#include <string>

#include "fuzz_target.hpp"
#include "input/cif_input.hpp"
#include "input/crystal_data.hpp"
#include "sim/error.hpp"
#include "sim/qzio.hpp"

KV_FUZZ_TARGET(cif) {
  const std::string file = kvfuzz::write_input(data, size, "fz.cif");
  kv::CifCrystal crystal;
  bool accepted = false;
  kvfuzz::run_reader([&] {
    crystal = kv::read_cif_crystal(file);
    accepted = true;
  });
  if (!accepted) return 0;
  const std::string block = kv::cif_crystal_block(crystal);
  const std::string block_file = kvfuzz::write_input(reinterpret_cast<const std::uint8_t*>(block.data()),
                                                     block.size(), "fz_block.dat");
  kv::csd cs;
  try {
    kv::File fp = kv::fopen_chk_rmode(block_file);
    kv::input_csd_cstr(cs, fp.get(), "fz_block");
  } catch (const kv::FatalError& e) {
    kvfuzz::fault("the crystal block made from an accepted CIF is refused:\n" + e.text() + "--- block:\n" + block);
  }
  if (cs.sp_grp_no != crystal.sp_grp_no || cs.num_atom != static_cast<int>(crystal.sites.size()))
    kvfuzz::fault("the crystal block made from an accepted CIF reads back as another crystal:\n" + block);
  return 0;
}
