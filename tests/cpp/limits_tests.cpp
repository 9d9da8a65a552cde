// What the core throws when the index would pass a limit of its own
// representation, and when an invariant does not hold.
#include <cstddef>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/base/exceptions.hpp"
#include "core/hnsw.hpp"
#include "core/lists/holder_links.hpp"

namespace tamsel::testing {
namespace {

template <class Failure, class Body>
std::string thrown_by(Body body) {
  try {
    body();
  } catch (const Failure& failure) {
    return failure.what();
  } catch (...) {
    return "another exception";
  }
  return "nothing";
}

HNSWParams params(std::size_t dim, std::size_t layers) {
  HNSWParams p;
  p.dim = dim;
  p.layers = layers;
  return p;
}

const Register id_limit("a batch past the 32-bit ids is refused as a limit, and the index goes on", [] {
  HNSW index(params(0, 5), Metric::Euclidean, std::nullopt);
  LevelRandom random(3);
  const std::vector<double> none;
  check(!index.create({none.data(), 2}, {}, random), "two empty vectors were refused");
  // Vectors of no numbers: the limit is reached before a row is read.
  const std::string what = thrown_by<CapacityExceeded>([&] {
    (void)index.create({none.data(), Graph::kMaxNodes - 1}, {}, random);
  });
  check(what.find("4294967294") != std::string::npos, "the limit is not named: " + what);
  check(index.size() == 2, "the refused batch changed the index");
  check(!index.insert(none, nullptr, random), "the index refuses the next vector");
  check(index.size() == 3, "the next vector was not stored");
});

const Register layer_limit("more layers than a level holds are refused as a limit", [] {
  const std::string what =
      thrown_by<CapacityExceeded>([] { HNSW index(params(2, HNSW::kMaxLayers + 1), Metric::Euclidean, std::nullopt); });
  check(what.find(std::to_string(HNSW::kMaxLayers)) != std::string::npos, "the limit is not named: " + what);
});

const Register broken_invariant("holder lists wider than their blocks are a broken invariant", [] {
  const std::string what = thrown_by<BrokenInvariant>([] { HolderLinks links(1, HolderLinks::kMaxWidth + 1); });
  check(what.find("kMaxWidth") != std::string::npos, "not reported as a broken invariant: " + what);
});

}  // namespace
}  // namespace tamsel::testing
