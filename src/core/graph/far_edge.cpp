#include "core/graph/far_edge.hpp"

#include <algorithm>

namespace tamsel {

const std::uint32_t* FarEdgeLists::block(std::uint32_t id) {
  const std::uint32_t* own = graph_->layer0_list(id);
  std::size_t count = own[0];
  std::copy(own + 1, own + 1 + count, block_ + 1);
  for (const std::uint32_t opposite : far_->of(id)) {
    if (opposite == FarLinks::kNone) continue;
    for (const std::uint32_t along : far_->of(opposite)) {
      if (along != FarLinks::kNone && along != id) block_[1 + count++] = along;
    }
  }
  if (products_ != nullptr) {
    for (const std::uint32_t product : products_->of(id)) {
      if (product != ProductLinks::kNone) block_[1 + count++] = product;
    }
  }
  block_[0] = static_cast<std::uint32_t>(count);
  return block_;
}

void FarEdgeLists::prefetch(std::uint32_t id) const {
  __builtin_prefetch(graph_->layer0_list(id));
  __builtin_prefetch(far_->of(id).data());
}

}  // namespace tamsel
