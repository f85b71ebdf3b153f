#include "input/parameter_names.hpp"

#include <algorithm>
#include <cctype>
#include <functional>
#include <map>
#include <set>

#include "sim/error.hpp"
#include "sim/linereader.hpp"

namespace kv {

namespace {

// The names an expression refers to: its operands that are no numbers
// (operands are separated by + - * = and blanks, as the evaluator reads them).
std::vector<std::string> referenced_names(const std::string& expr) {
  std::vector<std::string> names;
  std::string operand;
  const auto flush = [&] {
    if (!operand.empty() && !std::isdigit(static_cast<unsigned char>(operand[0]))) names.push_back(operand);
    operand.clear();
  };
  for (const char c : expr) {
    if (c == '+' || c == '-' || c == '*' || c == '=' || c == ' ')
      flush();
    else
      operand += c;
  }
  flush();
  return names;
}

}  // namespace

void check_parameter_names(const std::vector<named_parameter>& ps, const char* block) {
  // Names that constraints refer to.
  std::set<std::string> referenced;
  for (const named_parameter& np : ps)
    if (np.p->flg == kFlgCst)
      for (const std::string& r : referenced_names(np.p->expr)) referenced.insert(r);
  // A name may stand on several parameters that no constraint refers to (a
  // habit of hand-written files: x on every site, tH in every dataset); a
  // name that a constraint looks up must be unique, or the constraint would
  // silently take the first parameter of that name.
  const auto matters = [&](const named_parameter& np) { return referenced.count(np.p->name) != 0; };
  std::map<std::string, const named_parameter*> by_name;
  for (const named_parameter& np : ps) {
    if (np.p->name.empty()) continue;
    const auto [it, fresh] = by_name.emplace(np.p->name, &np);
    if (!fresh && (matters(np) || matters(*it->second)))
      fatal_out("$$ The parameter name %s is given twice (%s and %s) in %s: a name that a constraint refers to "
                "must belong to one parameter only. Abort.\n",
                printable(np.p->name).c_str(), it->second->field.c_str(), np.field.c_str(), block);
  }
  // Depth-first search over the constrained parameters; a name met again on
  // the current path closes a cycle.
  std::map<std::string, int> state;  // 1 on the path, 2 done
  std::vector<std::string> path;
  std::function<void(const std::string&)> visit = [&](const std::string& name) {
    const auto it = by_name.find(name);
    if (it == by_name.end() || it->second->p->flg != kFlgCst) return;
    int& s = state[name];
    if (s == 2) return;
    if (s == 1) {
      std::string cycle;
      for (auto at = std::find(path.begin(), path.end(), name); at != path.end(); ++at)
        cycle += (cycle.empty() ? "" : ", ") + by_name[*at]->p->expr + " CST " + *at;
      fatal_out("$$ The constraints %s in %s refer to each other in a cycle: at least one of these parameters must "
                "be FIX, ADJ or RST. Abort.\n",
                cycle.c_str(), block);
    }
    s = 1;
    path.push_back(name);
    for (const std::string& ref : referenced_names(it->second->p->expr)) visit(ref);
    path.pop_back();
    state[name] = 2;
  };
  for (const auto& [name, np] : by_name) visit(name);
}

std::vector<named_parameter> crystal_parameters(const csd& cs) {
  std::vector<named_parameter> ps;
  static const char* const lp_names[6] = {"a", "b", "c", "alpha", "beta", "gamma"};
  for (int i = 0; i < 6; ++i) ps.push_back({&cs.lp_fp[i], std::string("lattice parameter ") + lp_names[i]});
  for (int j = 0; j < cs.num_atom; ++j) {
    const auto& p = cs.atom_fp[j];
    const std::string site = " of site " + std::to_string(j + 1);
    ps.push_back({&p[kApX], "x" + site});
    ps.push_back({&p[kApY], "y" + site});
    ps.push_back({&p[kApZ], "z" + site});
    if (cs.atoms[j].bf == 0) {
      ps.push_back({&p[kApB], "B" + site});
    } else {
      static const char* const bn[6] = {"beta11", "beta22", "beta33", "beta12", "beta13", "beta23"};
      for (int k = 0; k < 6; ++k) ps.push_back({&p[kApBeta11 + k], bn[k] + site});
    }
    ps.push_back({&p[kApOcc], "occupancy" + site});
  }
  for (int e = 0; e < cs.num_lofg; ++e) {
    const std::string entry = " of LOW_ORDER_FG entry " + std::to_string(e + 1);
    if (cs.lof_type == 1 || cs.lof_type == 2) {
      ps.push_back({&cs.lofg_fp[e][0], "real part" + entry});
      ps.push_back({&cs.lofg_fp[e][1], "imaginary part" + entry});
    } else if (cs.lof_type == 3 || cs.lof_type == 4) {
      for (int j = 0; j < cs.num_atom; ++j) {
        ps.push_back({&cs.lofg_f_fp[e][j][0], "f_ela of site " + std::to_string(j + 1) + entry});
        ps.push_back({&cs.lofg_f_fp[e][j][1], "f_inela of site " + std::to_string(j + 1) + entry});
      }
    }
  }
  return ps;
}

}  // namespace kv
