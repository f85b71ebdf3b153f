#pragma once
// Catching the fatal error a piece of library code ends with.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "sim/error.hpp"

namespace kvtest {

// The FatalError a piece of code ends with (fails the test when it returns).
inline kv::FatalError fatal_of(const std::function<void()>& body) {
  try {
    body();
  } catch (const kv::FatalError& e) {
    return e;
  }
  ADD_FAILURE() << "expected a fatal error";
  return kv::FatalError("", kv::Channel::out, 0);
}

// The message of a fatal error that ends the run with status 1.
inline std::string fatal_text(const std::function<void()>& body) {
  const kv::FatalError e = fatal_of(body);
  EXPECT_EQ(e.status(), 1);
  return e.text();
}

}  // namespace kvtest
