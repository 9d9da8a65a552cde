// The working memory of a graph walk, and the pool an index lends it from.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/base/scored.hpp"
#include "core/graph/visited_list.hpp"
#include "core/rows/walk_code.hpp"

namespace tamsel {

struct SearchScratch {
  VisitedList visited;
  std::vector<ScoredId> queue;      // candidates still to expand
  std::vector<ScoredId> results;    // the nearest found so far
  std::vector<double> query_point;  // the walk's point of the vector searched for
  WalkForms query_form;             // and its form
  std::vector<double> measures;     // walk measures of many nodes
  std::vector<double> negated;      // the negated query
};

// Holds one scratch between calls, so that searches do not allocate it anew.
// A search leases it; when it is out (another search on this index runs at
// the same time, on another thread), the lease makes a fresh one, so
// concurrent searches never share memory.
class ScratchPool {
 public:
  class Lease {
   public:
    SearchScratch& operator*() const { return *scratch_; }
    SearchScratch* operator->() const { return scratch_.get(); }
    Lease(Lease&&) = default;
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    Lease& operator=(Lease&&) = delete;
    ~Lease() {
      if (scratch_) delete pool_->spare_.exchange(scratch_.release());
    }

   private:
    friend class ScratchPool;
    Lease(const ScratchPool& pool, std::unique_ptr<SearchScratch> scratch)
        : pool_(&pool), scratch_(std::move(scratch)) {}
    const ScratchPool* pool_;
    std::unique_ptr<SearchScratch> scratch_;
  };

  ScratchPool() = default;
  // An index that moves takes its scratch along.
  ScratchPool(ScratchPool&& other) noexcept : spare_(other.spare_.exchange(nullptr)) {}
  ScratchPool& operator=(ScratchPool&&) = delete;
  ScratchPool(const ScratchPool&) = delete;
  ScratchPool& operator=(const ScratchPool&) = delete;
  ~ScratchPool() { delete spare_.load(); }

  // A scratch whose visited marks cover `nodes` ids.
  Lease lease(std::size_t nodes) const {
    std::unique_ptr<SearchScratch> scratch(spare_.exchange(nullptr));
    if (!scratch) scratch = std::make_unique<SearchScratch>();
    Lease lease(*this, std::move(scratch));
    lease->visited.grow(nodes);
    return lease;
  }

 private:
  mutable std::atomic<SearchScratch*> spare_{nullptr};
};

}  // namespace tamsel
