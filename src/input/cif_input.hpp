#pragma once
// Crystal structures from CIF files (read with gemmi): the cell, the space
// group in whatever setting the file uses, transformed to the setting of the
// space-group table korvexspg.dat (unique axis b, origin choice 2, hexagonal
// axes for R), and the asymmetric unit with element or ion names,
// occupancies and displacement parameters converted to the crystal block's
// B (angstrom^2) or beta coefficients.
#include <array>
#include <string>
#include <vector>

namespace kv {

struct CifSite {
  std::string label;  // the CIF's site label
  std::string name;   // element or ion as the scattering-factor table spells it
  double x = 0, y = 0, z = 0;
  double occ = 1.0;
  int bf = 0;          // 0 isotropic (b_iso), 1 anisotropic (beta)
  double b_iso = 0.0;  // angstrom^2
  std::array<double, 6> beta{};  // beta11 beta22 beta33 beta12 beta13 beta23
};

struct CifCrystal {
  int sp_grp_no = 0;
  std::string setting;  // the space-group symbol as the CIF's operators give it
  bool transformed = false;  // whether the cell and sites were moved to the table setting
  std::array<double, 6> lp{};
  std::vector<CifSite> sites;
  // What the reader found worth saying, one line each: how the symmetry was
  // read, the atoms per cell against the formula; lines beginning "$$
  // Warning" report a disagreement or a value assumed.
  std::vector<std::string> notes;
  // _chemical_formula_sum for titles, its elements in the usual order
  // (formula_text: "O3 Sr Ti" gives "SrTiO3"), empty when the file has none
  // that reads as elements with counts.
  std::string formula;
  // How directions and reflections go from the CIF's axes to the table's
  // when the two differ (not for a shift of the origin alone); empty
  // otherwise.
  std::string axes_change;
};

// Reads the first data block of a CIF file. Fatal, with a message naming the
// file and the problem, when the file cannot be read, lacks a cell, a space
// group or sites, or uses a setting that cannot be brought to the table's.
CifCrystal read_cif_crystal(const std::string& path);

// The equivalent CRYSTAL_STRUCTURE_DATA block (every parameter FIX, named
// from the site labels, and an empty LOW_ORDER_FG block unless
// with_low_order_fg is false), ready to be pasted into a parameter file.
std::string cif_crystal_block(const CifCrystal& c, bool with_low_order_fg = true);
// The LATTICE and ATOM blocks alone (what a CIF{ ... }CIF line stands for).
std::string cif_lattice_atom_blocks(const CifCrystal& c);

}  // namespace kv
