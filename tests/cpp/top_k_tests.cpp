// The k best kept by offer_best against a sort of every entry offered.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/base/top_k.hpp"

namespace tamsel::testing {
namespace {

// Scores from a few values (ties everywhere) and NaN, ids each offered once.
const Register top_k_against_sort(
    "the k best kept equal the first k of every entry sorted, ties and NaN among them", [] {
      std::mt19937_64 engine(41);
      for (const std::size_t k : {std::size_t{1}, std::size_t{7}, std::size_t{64}, std::size_t{5000}}) {
        std::vector<ScoredId> offered, best;
        for (std::uint32_t id = 0; id < 2000; ++id) {
          const auto draw = engine() % 12;
          const double score = draw == 11 ? std::numeric_limits<double>::quiet_NaN() : static_cast<double>(draw % 5);
          offered.push_back({score, (id * 7919U) % 2000U});
          offer_best(best, k, offered.back());
        }
        std::sort(offered.begin(), offered.end(), ScoredBefore{});
        offered.resize(std::min(k, offered.size()));
        sort_best(best);
        bool same = best.size() == offered.size();
        for (std::size_t j = 0; same && j < best.size(); ++j) same = best[j].id == offered[j].id;
        check(same, "the best " + std::to_string(k) + " differ from the sorted entries");
      }
    });

}  // namespace
}  // namespace tamsel::testing
