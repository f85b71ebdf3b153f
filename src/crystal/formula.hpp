#pragma once
// Chemical formulae for titles: element counts written in the usual order
// of inorganic chemistry, the most electropositive element first, as the
// element sequence of the IUPAC recommendations for inorganic nomenclature
// (Table VI) ranks them: SrTiO3, Al2O3, SiO2, GaN.
#include <string>
#include <utility>
#include <vector>

namespace kv {

// Position of an element symbol in that sequence (metals of the first
// groups first, fluorine last); symbols it does not know come after all.
int electropositive_rank(const std::string& element);

// The counts in that order, each written after its symbol unless it is 1
// ("Al2O3", "PbMg0.33" with %g for counts that are not whole). With
// reduce, the counts are first scaled to the smallest whole numbers that
// hold them to 2 % (per-cell counts 12 Al and 18 O give Al2O3); counts that
// no multiplier up to 12 makes whole are divided by the smallest one.
std::string formula_text(std::vector<std::pair<std::string, double>> counts, bool reduce);

}  // namespace kv
