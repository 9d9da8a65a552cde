// The hot loops (exact scores of many vectors, the walk's measures) exist
// once per instruction set (kernels/*.cpp, each built with its own flags);
// one set serves the whole process, chosen from what the processor runs, so
// that one binary runs on any processor of its architecture at the speed of
// the best set it can run. Every set gives bit-identical results.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/rows/walk_code.hpp"
#include "core/scoring/metric.hpp"

namespace tamsel {

struct Kernels {
  const char* name;
  // Scores `count` stored vectors of length `dim` against a query of length
  // `dim`; `vectors[j]` points at the j-th. The scores go to `out`.
  void (*score_batch)(Metric metric, const double* query, std::size_t dim, const double* const* vectors,
                      std::size_t count, double* out);
  // The same of the `count` consecutive vectors from `first` (row-major, `dim` apart).
  void (*score_rows)(Metric metric, const double* query, std::size_t dim, const double* first, std::size_t count,
                     double* out);
  // The walk's measures of the rows `ids` from `form`, as `search` ranks them
  // (NaN comes out as +infinity), into `out`.
  void (*walk_score)(const WalkRows& rows, WalkSearch search, const std::byte* form, const std::uint32_t* ids,
                     std::size_t count, double* out);
  // Whether row `id` lies nearer than `bound`, by the squared walk distance
  // (NaN as +infinity), to any of the `count` forms from `forms`, `stride`
  // bytes apart: one call for a whole test of diversity, not one a pair.
  bool (*walk_nearer_to_any)(const WalkRows& rows, const std::byte* forms, std::size_t stride, std::size_t count,
                             std::uint32_t id, double bound);
};

// The set in use: the best this processor runs, unless choose_kernels chose another.
const Kernels& kernels();

enum class KernelChoice { Chosen, Unknown, NotRunnable };
// Uses the set called `name` (baseline, avx2, avx512) from now on. Meant for
// the start of a process, before any index exists: a thread scoring meanwhile
// may finish a call with the set it started with.
KernelChoice choose_kernels(std::string_view name);
// The names of the sets this build has ("baseline, avx2, avx512"), or of
// those this processor runs.
std::string kernel_names(bool runnable_only);

inline void score_batch(Metric metric, const double* query, std::size_t dim, const double* const* vectors,
                        std::size_t count, double* out) {
  kernels().score_batch(metric, query, dim, vectors, count, out);
}

inline void score_rows(Metric metric, const double* query, std::size_t dim, const double* first, std::size_t count,
                       double* out) {
  kernels().score_rows(metric, query, dim, first, count, out);
}

}  // namespace tamsel
