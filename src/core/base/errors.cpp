#include "core/base/errors.hpp"

namespace tamsel {

const char* error_name(HNSWError error) {
  switch (error) {
    case HNSWError::InvalidEF: return "InvalidEF";
    case HNSWError::InvalidLayer: return "InvalidLayer";
    case HNSWError::NoSchema: return "NoSchema";
    case HNSWError::EmptySchema: return "EmptySchema";
    case HNSWError::AttributeNotFound: return "AttributeNotFound";
    case HNSWError::EmptyVectors: return "EmptyVectors";
    case HNSWError::Interrupted: return "Interrupted";
  }
  return "Unknown";
}

const char* error_name(FlatError error) {
  switch (error) {
    case FlatError::EmptyIndex: return "EmptyIndex";
    case FlatError::EmptyVectors: return "EmptyVectors";
    case FlatError::Interrupted: return "Interrupted";
  }
  return "Unknown";
}

}  // namespace tamsel
