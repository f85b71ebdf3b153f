#pragma once
// Reference data of the scattering-factor tests.

namespace kvtest {

// Element symbols, Z = 1 (H) to 98 (Cf).
inline constexpr const char* kElements[98] = {
    "H",  "He", "Li", "Be", "B",  "C",  "N",  "O",  "F",  "Ne", "Na", "Mg", "Al", "Si",
    "P",  "S",  "Cl", "Ar", "K",  "Ca", "Sc", "Ti", "V",  "Cr", "Mn", "Fe", "Co", "Ni",
    "Cu", "Zn", "Ga", "Ge", "As", "Se", "Br", "Kr", "Rb", "Sr", "Y",  "Zr", "Nb", "Mo",
    "Tc", "Ru", "Rh", "Pd", "Ag", "Cd", "In", "Sn", "Sb", "Te", "I",  "Xe", "Cs", "Ba",
    "La", "Ce", "Pr", "Nd", "Pm", "Sm", "Eu", "Gd", "Tb", "Dy", "Ho", "Er", "Tm", "Yb",
    "Lu", "Hf", "Ta", "W",  "Re", "Os", "Ir", "Pt", "Au", "Hg", "Tl", "Pb", "Bi", "Po",
    "At", "Rn", "Fr", "Ra", "Ac", "Th", "Pa", "U",  "Np", "Pu", "Am", "Cm", "Bk", "Cf"};

// Electron factors of the International Tables (Vol. C, Table 4.3.2.2, five
// Gaussians, angstrom): an independent parametrisation of the same quantity.
struct ElectronFit {
  const char* name;
  double a[5], b[5];
};
inline constexpr ElectronFit kElectronFits[] = {
    {"C", {0.0893, 0.2563, 0.757, 1.0487, 0.3575}, {0.2465, 1.71, 6.4094, 18.6113, 50.2523}},
    {"O", {0.0974, 0.2921, 0.691, 0.699, 0.2039}, {0.2067, 1.3815, 4.6943, 12.7105, 32.4726}},
    {"Si", {0.2519, 0.6372, 1.3795, 2.5082, 1.05}, {0.3075, 2.0174, 9.6746, 29.3744, 80.4732}},
    {"Ti", {0.3825, 1.2598, 2.0008, 3.0617, 2.0694}, {0.304, 2.4863, 9.2783, 39.0751, 109.4583}},
    {"Fe", {0.3946, 1.2725, 1.7031, 2.314, 1.4795}, {0.2717, 2.0443, 7.6007, 29.9714, 86.2265}},
    {"Sr", {0.6703, 1.4926, 3.3368, 4.46, 3.1501}, {0.319, 2.2287, 10.3504, 52.3291, 151.2216}},
    {"Au", {0.9674, 1.8916, 3.3993, 3.0524, 1.2607}, {0.2358, 1.4712, 5.6758, 18.7119, 61.5286}},
};

}  // namespace kvtest
