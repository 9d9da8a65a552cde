#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/scoring/kernels.hpp"
#include "testing/sample_data.hpp"

namespace tamsel::testing {
namespace {

// Everything the kernels compute for a few lengths (with tails after every
// vector width), metrics and walk precisions, under the set in use.
std::vector<double> kernel_outputs() {
  std::vector<double> out;
  const Kernels& k = kernels();
  std::uint64_t seed = 1;
  for (const std::size_t dim : {1, 3, 4, 5, 16, 17, 31, 33, 37, 64, 100}) {
    constexpr std::size_t kCount = 37;
    const std::vector<double> rows = uniform_rows(kCount + 1, dim, seed++);
    const double* query = rows.data() + kCount * dim;
    std::vector<const double*> vectors;
    for (std::size_t j = 0; j < kCount; ++j) vectors.push_back(rows.data() + j * dim);
    for (const Metric metric : {Metric::Euclidean, Metric::Cosine, Metric::InnerProduct}) {
      std::vector<double> batch(kCount), consecutive(kCount);
      k.score_batch(metric, query, dim, vectors.data(), kCount, batch.data());
      k.score_rows(metric, query, dim, rows.data(), kCount, consecutive.data());
      for (std::size_t j = 0; j < kCount; ++j) {
        const double single = distance(metric, query, dim, vectors[j], dim);
        check(std::memcmp(&batch[j], &single, sizeof single) == 0 &&
                  std::memcmp(&consecutive[j], &single, sizeof single) == 0,
              std::string(k.name) + ": a grouped exact score differs from the single one");
      }
      out.insert(out.end(), batch.begin(), batch.end());
    }
    for (const WalkPrecision precision : {WalkPrecision::Bytes, WalkPrecision::Floats, WalkPrecision::Doubles}) {
      const WalkCode code(dim, precision);
      std::vector<std::byte> walk_rows(kCount * code.row_size());
      std::vector<std::uint32_t> ids;
      for (std::size_t j = 0; j < kCount; ++j) {
        code.encode(vectors[j], 0.25 * static_cast<double>(j % 3), walk_rows.data() + j * code.row_size());
        ids.push_back(static_cast<std::uint32_t>(kCount - 1 - j));
      }
      WalkForms form(code.form_words());
      auto* form_bytes = reinterpret_cast<std::byte*>(form.data());
      code.make_form(query, 0.5, form_bytes);
      const WalkRows walk{walk_rows.data(), code.row_size(), dim, precision};
      for (const WalkSearch search : {WalkSearch::Nearest, WalkSearch::Farthest, WalkSearch::SmallestProduct}) {
        std::vector<double> measured(kCount);
        k.walk_score(walk, search, form_bytes, ids.data(), kCount, measured.data());
        out.insert(out.end(), measured.begin(), measured.end());
      }
      // Linking's forms, decoded from rows, and bounds at the measures, so
      // that a measure off by one unit in the last place turns an answer.
      WalkForms forms(3 * code.form_words());
      const std::size_t stride = code.form_words() * sizeof(std::uint64_t);
      auto* first_form = reinterpret_cast<std::byte*>(forms.data());
      for (std::size_t j = 0; j < 3; ++j)
        code.decode_form(walk_rows.data() + j * code.row_size(), first_form + j * stride);
      std::vector<double> from_first(kCount);
      k.walk_score(walk, WalkSearch::Nearest, first_form, ids.data(), kCount, from_first.data());
      out.insert(out.end(), from_first.begin(), from_first.end());
      for (std::size_t j = 0; j < kCount; ++j) {
        for (const double bound : {from_first[j], std::nextafter(from_first[j], 1e300)})
          out.push_back(k.walk_nearer_to_any(walk, first_form, stride, 3, ids[j], bound) ? 1.0 : 0.0);
      }
    }
  }
  return out;
}

const Register same_everywhere("every set of kernels this processor runs computes what the baseline set does", [] {
  std::istringstream runnable(kernel_names(true));
  std::vector<std::string> names;
  for (std::string name; std::getline(runnable >> std::ws, name, ',');) names.push_back(name);
  check(choose_kernels("baseline") == KernelChoice::Chosen, "the baseline set always runs");
  const std::vector<double> baseline = kernel_outputs();
  for (const std::string& name : names) {
    check(choose_kernels(name) == KernelChoice::Chosen, name + " runs");
    const std::vector<double> outputs = kernel_outputs();
    check(outputs.size() == baseline.size() &&
              std::memcmp(outputs.data(), baseline.data(), outputs.size() * sizeof(double)) == 0,
          name + " differs from the baseline set");
  }
  // The other cases run on the best set, as a process does.
  choose_kernels(names.back());
});

}  // namespace
}  // namespace tamsel::testing
