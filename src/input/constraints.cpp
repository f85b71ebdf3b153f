#include "input/constraints.hpp"

#include <cctype>

#include "sim/linereader.hpp"
#include "sim/qzio.hpp"

namespace kv {

namespace {

bool starts_with_digit(const std::string& s) {
  return !s.empty() && std::isdigit(static_cast<unsigned char>(s[0]));
}

// A number operand ending in an exponent letter right before a sign
// ("1e-5") would be split at the sign and silently give a wrong value.
bool is_cut_exponent(const std::string& operand) {
  if (!starts_with_digit(operand)) return false;
  const char last = operand.back();
  return last == 'e' || last == 'E';
}

}  // namespace

double val_trans(const std::string& operand,
                 const std::function<double(const std::string&)>& lookup) {
  if (operand.empty()) return 0.0;
  if (starts_with_digit(operand)) return to_double(operand);
  return lookup(operand);
}

double constraint_value(const std::string& expr,
                        const std::function<double(const std::string&)>& lookup) {
  double sum = 0.0, factor = 1.0;
  std::string operand;
  bool in_product = false;  // the current operand follows a "*"

  const auto empty_factor = [&](char op) {
    if (op == '-')
      qz_error_exit(stdout,
                    "constraint %s: a \"-\" directly after \"*\" is not supported "
                    "(write -2*a, not 2*-a)",
                    expr.c_str());
    qz_error_exit(stdout, "constraint %s: a product has an empty factor", expr.c_str());
  };
  const auto check_exponent = [&](char op) {
    if (is_cut_exponent(operand))
      qz_error_exit(stdout, "constraint %s: exponent notation (%s%c...) is not supported",
                    expr.c_str(), operand.c_str(), op);
  };

  for (const char c : expr) {
    switch (c) {
      case ' ':
      case '=':
        break;
      case '*':
        if (operand.empty()) empty_factor('*');
        factor *= val_trans(operand, lookup);
        operand.clear();
        in_product = true;
        break;
      case '+':
      case '-':
        if (in_product && operand.empty()) empty_factor(c);
        check_exponent(c);
        sum += factor * val_trans(operand, lookup);
        factor = c == '+' ? 1.0 : -1.0;
        operand.clear();
        in_product = false;
        break;
      default:
        if (operand.size() >= kOperandMax) qz_error_exit(stdout, "%s too long", operand.c_str());
        operand += c;
        break;
    }
  }
  if (in_product && operand.empty()) empty_factor('*');
  return sum + factor * val_trans(operand, lookup);
}

double val_search_csd(const std::string& name, const csd& cs) {
  for (int i = 0; i < 6; ++i)
    if (cs.lp_fp[i].name == name) return cs.lp[i];

  for (int j = 0; j < cs.num_atom; ++j) {
    const atom& a = cs.atoms[j];
    const std::array<fitpar, kNumAtomPar>& p = cs.atom_fp[j];
    if (p[kApX].name == name) return a.x;
    if (p[kApY].name == name) return a.y;
    if (p[kApZ].name == name) return a.z;
    if (a.bf == 0) {
      if (p[kApB].name == name) return a.b_iso;
    } else if (a.bf == 1) {
      const double beta[6] = {a.beta11, a.beta22, a.beta33, a.beta12, a.beta13, a.beta23};
      for (int k = 0; k < 6; ++k)
        if (p[kApBeta11 + k].name == name) return beta[k];
    } else {
      qz_error_exit(stdout, "Invalid bf");
    }
    if (p[kApOcc].name == name) return a.occ;
  }

  if (cs.num_lofg > 0) {
    if (cs.lof_type == 1 || cs.lof_type == 2) {
      for (int e = 0; e < cs.num_lofg; ++e) {
        if (cs.lofg_fp[e][0].name == name) return cs.lofg_fg[e].re;
        if (cs.lofg_fp[e][1].name == name) return cs.lofg_fg[e].im;
      }
    } else if (cs.lof_type == 3 || cs.lof_type == 4) {
      for (int e = 0; e < cs.num_lofg; ++e)
        for (int j = 0; j < cs.num_atom; ++j) {
          if (cs.lofg_f_fp[e][j][0].name == name) return cs.lofg_f[e][j].re;
          if (cs.lofg_f_fp[e][j][1].name == name) return cs.lofg_f[e][j].im;
        }
    } else if (cs.lof_type == 5) {
      qz_error_exit(stdout, "lof_type=5 not available");
    } else {
      qz_error_exit(stdout, "(fget_low_g_cst) invalid lof_type(=%d)", cs.lof_type);
    }
  }
  qz_error_exit(stdout, "$$ (val_search_csd) constraint %s not found", name.c_str());
}

double val_trans_csd(const std::string& operand, const csd& cs) {
  return val_trans(operand, [&cs](const std::string& name) { return val_search_csd(name, cs); });
}

double constraint_value_csd(const std::string& expr, const csd& cs) {
  return constraint_value(expr,
                          [&cs](const std::string& name) { return val_search_csd(name, cs); });
}

namespace {

void eval_if_constrained(const fitpar& p, double* field, const csd& cs) {
  if (p.flg == kFlgCst) *field = constraint_value_csd(p.expr, cs);
}

}  // namespace

void constraint_csd_lp(csd& cs) {
  for (int i = 0; i < 6; ++i) eval_if_constrained(cs.lp_fp[i], &cs.lp[i], cs);
}

void constraint_csd_atm(csd& cs) {
  for (int j = 0; j < cs.num_atom; ++j) {
    atom& a = cs.atoms[j];
    const std::array<fitpar, kNumAtomPar>& p = cs.atom_fp[j];
    eval_if_constrained(p[kApX], &a.x, cs);
    eval_if_constrained(p[kApY], &a.y, cs);
    eval_if_constrained(p[kApZ], &a.z, cs);
    if (a.bf == 0) {
      eval_if_constrained(p[kApB], &a.b_iso, cs);
    } else if (a.bf == 1) {
      double* beta[6] = {&a.beta11, &a.beta22, &a.beta33, &a.beta12, &a.beta13, &a.beta23};
      for (int k = 0; k < 6; ++k) eval_if_constrained(p[kApBeta11 + k], beta[k], cs);
    } else {
      qz_error_exit(stdout, "invalid bf");
    }
    eval_if_constrained(p[kApOcc], &a.occ, cs);
  }
}

void constraint_csd_lofg(csd& cs) {
  if (cs.num_lofg <= 0) return;
  if (cs.lof_type == 1 || cs.lof_type == 2) {
    for (int e = 0; e < cs.num_lofg; ++e) {
      eval_if_constrained(cs.lofg_fp[e][0], &cs.lofg_fg[e].re, cs);
      eval_if_constrained(cs.lofg_fp[e][1], &cs.lofg_fg[e].im, cs);
    }
  } else if (cs.lof_type == 3 || cs.lof_type == 4) {
    for (int e = 0; e < cs.num_lofg; ++e)
      for (int j = 0; j < cs.num_atom; ++j) {
        eval_if_constrained(cs.lofg_f_fp[e][j][0], &cs.lofg_f[e][j].re, cs);
        eval_if_constrained(cs.lofg_f_fp[e][j][1], &cs.lofg_f[e][j].im, cs);
      }
  } else if (cs.lof_type == 5) {
    qz_error_exit(stdout, "lof_type=5 not available");
  } else {
    qz_error_exit(stdout, "(fget_low_g_cst) invalid lof_type(=%d)", cs.lof_type);
  }
}

void constraint_csd(csd& cs) {
  constraint_csd_lp(cs);
  constraint_csd_atm(cs);
  constraint_csd_lofg(cs);
}

}  // namespace kv
