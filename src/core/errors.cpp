#include "core/errors.hpp"

namespace tamsel {

const char* error_name(HNSWError error) {
  switch (error) {
    case HNSWError::InvalidEF: return "InvalidEF";
    case HNSWError::InvalidLayer: return "InvalidLayer";
    case HNSWError::NoSchema: return "NoSchema";
    case HNSWError::EmptySchema: return "EmptySchema";
    case HNSWError::AttributeNotFound: return "AttributeNotFound";
    case HNSWError::EmptyVectors: return "EmptyVectors";
  }
  return "Unknown";
}

const char* error_name(FlatError error) {
  switch (error) {
    case FlatError::EmptyIndex: return "EmptyIndex";
    case FlatError::EmptyVectors: return "EmptyVectors";
  }
  return "Unknown";
}

}  // namespace tamsel
