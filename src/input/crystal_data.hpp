#pragma once
// The reader of the CRYSTAL_STRUCTURE_DATA block of a parameter file: it
// builds the crystal record (crystal/crystal.hpp) from the LATTICE, ATOM (or
// CIF) and LOW_ORDER_FG blocks and their refinable-parameter lines.
#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "crystal/crystal.hpp"
#include "input/fields.hpp"

namespace kv {

// Reads one parameter line into p and stores its value in *value:
//   value [FIX|0|ADJ|2 name] | value RST|1 name rst_val | expr CST|-1 name
// A line without a known flag word is a fixed parameter with an automatic
// name "id%d" (one counter for the whole process).
void fget_fitpar(fitpar* p, double* value, FILE* fp);
// The LATTICE block after its opening marker.
void fget_latpar_body(csd& cs, FILE* fp);
// "CIF{", the file name, "}CIF" in place of the LATTICE and ATOM blocks:
// reads the line with the name (a relative name not in the working folder is
// looked for beside the parameter file) and its closing marker, and fills
// the cell, space group and sites from the file.
void fget_cif_cstr(csd& cs, FILE* fp);
// The same, naming the field in the messages about a malformed number.
void fget_fitpar(fitpar* p, double* value, FILE* fp, const char* field);
// The same with an optional unit word after the value ("0.5 mrad FIX tH" or
// "0.5mrad FIX tH"); *in_unit tells whether it was written. The value and an
// RST restraint number are left in that unit. A CST line with a unit is
// refused.
void fget_fitpar_unit(fitpar* p, double* value, FILE* fp, const char* field, const char* unit, bool* in_unit);

// The LATTICE{ ... }LATTICE part: space-group number (the operator table is
// read at once) and the six cell parameters.
void fget_latpar_cstr(csd& cs, FILE* fp);
// The ATOM{ ... }ATOM part: the number of sites and the site groups, with
// both scattering-factor tables of every site.
void fget_atmpar_cstr(csd& cs, FILE* fp);
// The LOW_ORDER_FG{ ... }LOW_ORDER_FG part.
void fget_lofg_cstr(csd& cs, FILE* fp);
// Entry arrays of the low-order block for num_lofg entries; for lof_type 3
// and 4 also the per-site lists of every entry.
void alloc_csd_sub_cstr(int num_atom, int num_lofg, int lof_type, csd& cs);
// Releases everything the record holds and leaves it empty.
void free_csd(csd& cs);

// Reads the whole CRYSTAL_STRUCTURE_DATA block at the stream's position and
// completes the record: constraints evaluated, cell checked, multiplicity
// factors set, and the generated positions written to "%s_aps.txt" (from
// base_name) when korvex.ini asks for them.
void input_csd_cstr(csd& cs, FILE* fp, const std::string& base_name);

}  // namespace kv
