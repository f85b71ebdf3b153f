#pragma once
// An integer index triple: a reflection (h k l) or a direction [u v w].

namespace kv {

struct Hkl {
  int h = 0, k = 0, l = 0;
  friend bool operator==(const Hkl&, const Hkl&) = default;
};

}  // namespace kv
