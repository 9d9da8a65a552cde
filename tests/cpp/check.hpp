// A small self-contained test driver: named cases, checks that report where they failed.
#pragma once

#include <cstddef>
#include <source_location>
#include <string>
#include <vector>

namespace tamsel::testing {

struct TestCase {
  const char* name;
  void (*run)();
};

std::vector<TestCase>& registry();

struct Register {
  Register(const char* name, void (*run)()) { registry().push_back({name, run}); }
};

// Records a failed check of the running case; the case fails if any check does.
void check(bool ok, const std::string& what, std::source_location where = std::source_location::current());

}  // namespace tamsel::testing
