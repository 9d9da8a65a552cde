#include <cstdio>
#include <cstring>
#include <exception>

#include "check.hpp"

namespace tamsel::testing {
namespace {
std::size_t failed_checks = 0;
}

std::vector<TestCase>& registry() {
  static std::vector<TestCase> cases;
  return cases;
}

void check(bool ok, const std::string& what, std::source_location where) {
  if (ok) return;
  ++failed_checks;
  std::printf("  check failed at %s:%u: %s\n", where.file_name(), static_cast<unsigned>(where.line()), what.c_str());
}

}  // namespace tamsel::testing

int main(int argc, char** argv) {
  using namespace tamsel::testing;
  const char* only = argc > 1 ? argv[1] : nullptr;
  std::size_t passed = 0, failed = 0;
  for (const TestCase& test : registry()) {
    if (only != nullptr && std::strstr(test.name, only) == nullptr) continue;
    const std::size_t before = failed_checks;
    try {
      test.run();
    } catch (const std::exception& error) {
      ++failed_checks;
      std::printf("  unexpected exception: %s\n", error.what());
    }
    const bool ok = failed_checks == before;
    std::printf("%s %s\n", ok ? "PASS" : "FAIL", test.name);
    ++(ok ? passed : failed);
  }
  std::printf("%zu passed, %zu failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
