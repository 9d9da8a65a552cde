#include "core/scoring/kernels.hpp"

#include <atomic>

namespace tamsel {
// The sets' tables (kernels/<set>.cpp).
namespace baseline {
extern const Kernels kernel_table;
}
#if defined(TAMSEL_X86_KERNELS)
namespace avx2 {
extern const Kernels kernel_table;
}
namespace avx512 {
extern const Kernels kernel_table;
}
#endif

namespace {

struct KernelSet {
  const Kernels* table;
  bool (*runs)();
};

#if defined(TAMSEL_X86_KERNELS)
// __builtin_cpu_supports reports a set only when the operating system also
// saves its registers (xgetbv), so a set it reports runs.
bool runs_avx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}
bool runs_avx512() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl");
}
#endif

// From the smallest to the largest.
constexpr KernelSet kSets[] = {
    {&baseline::kernel_table, [] { return true; }},
#if defined(TAMSEL_X86_KERNELS)
    {&avx2::kernel_table, runs_avx2},
    {&avx512::kernel_table, runs_avx512},
#endif
};

const Kernels* best() {
  const Kernels* chosen = nullptr;
  for (const KernelSet& set : kSets) {
    if (set.runs()) chosen = set.table;
  }
  return chosen;
}

std::atomic<const Kernels*> active{nullptr};

}  // namespace

const Kernels& kernels() {
  const Kernels* table = active.load(std::memory_order_acquire);
  if (table == nullptr) {
    // Concurrent first calls find the same table.
    table = best();
    active.store(table, std::memory_order_release);
  }
  return *table;
}

KernelChoice choose_kernels(std::string_view name) {
  for (const KernelSet& set : kSets) {
    if (name != set.table->name) continue;
    if (!set.runs()) return KernelChoice::NotRunnable;
    active.store(set.table, std::memory_order_release);
    return KernelChoice::Chosen;
  }
  return KernelChoice::Unknown;
}

std::string kernel_names(bool runnable_only) {
  std::string names;
  for (const KernelSet& set : kSets) {
    if (runnable_only && !set.runs()) continue;
    if (!names.empty()) names += ", ";
    names += set.table->name;
  }
  return names;
}

}  // namespace tamsel
