// The module's two classes; each type is created once per process, on first need.
#pragma once

#include "python/ref.hpp"

namespace tamsel::python {

PyTypeObject* flat_class();
PyTypeObject* hnsw_class();

}  // namespace tamsel::python
