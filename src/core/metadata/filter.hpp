// An equality filter on one metadata attribute, alive for one search.
#pragma once

#include <string>

#include "core/metadata/metadata.hpp"

namespace tamsel {

struct Filter {
  std::string attribute;
  Metadata value;
};

}  // namespace tamsel
