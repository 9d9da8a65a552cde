#include "python/instance.hpp"

namespace tamsel::python {

void check_type_to_build(PyTypeObject* own, PyTypeObject* requested) {
  if (requested == own) return;
  if (requested == nullptr) raise_new_of_nothing(own);
  PyObject* object = reinterpret_cast<PyObject*>(requested);
  if (!PyType_Check(object)) raise_new_of_non_type(own, object);
  if (!PyType_IsSubtype(requested, own)) raise_new_of_non_subtype(own, requested);
  raise_subclass_refused(own);
}

}  // namespace tamsel::python
