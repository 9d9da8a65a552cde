// Creation of the module's classes: their method tables and type objects.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>

#include "python/ref.hpp"

namespace tamsel::python {

using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

inline PyMethodDef method_entry(const char* name, FastMethod function, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)), METH_FASTCALL | METH_KEYWORDS,
          doc};
}

struct ClassDefinition {
  const char* name;            // "PyFlat"
  const char* qualified_name;  // "tamsel.PyFlat"
  // Class name, text signature, "\n--\n\n", docstring: the interpreter derives
  // both `__text_signature__` and `__doc__` from it.
  const char* doc_slot;
  Py_ssize_t instance_size;
  newfunc construct;
  destructor deallocate;
  PyMethodDef* methods;  // ends with a null entry (method_table)
};

// Entries that only PyPy's method tables carry, where PyPy does not refuse
// what CPython refuses by the type's flags and layout:
// - `__init_subclass__`: CPython refuses a subclass by the flags. PyPy ignores
//   them, so there the class refuses in `__init_subclass__`. A base before it
//   whose own `__init_subclass__` does not chain keeps that from being called;
//   such a class is still made, but its instances are not (instance.hpp).
// - `__reduce_ex__`, `__reduce__`: CPython refuses to pickle or copy an object
//   with native state; PyPy would pickle the type alone, and load an index
//   without its record.
inline constexpr std::size_t kInterpreterEntries = 3;

PyObject* refuse_subclass(PyObject* subclass, PyObject* args, PyObject* kwargs) noexcept;
PyObject* refuse_reduce_ex(PyObject* self, PyObject* protocol) noexcept;
PyObject* refuse_reduce(PyObject* self, PyObject*) noexcept;

inline std::array<PyMethodDef, kInterpreterEntries> interpreter_entries() {
  if (!kPyPy) return {};  // end markers
  return {{
      {"__init_subclass__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(refuse_subclass)),
       METH_VARARGS | METH_KEYWORDS | METH_CLASS, nullptr},
      {"__reduce_ex__", refuse_reduce_ex, METH_O, nullptr},
      {"__reduce__", refuse_reduce, METH_NOARGS, nullptr},
  }};
}

// A class's method table: its own methods, the interpreter's entries, the end marker.
template <std::size_t N>
std::array<PyMethodDef, N + kInterpreterEntries + 1> method_table(const PyMethodDef (&own)[N]) {
  std::array<PyMethodDef, N + kInterpreterEntries + 1> table{};
  std::copy(own, own + N, table.begin());
  const auto extra = interpreter_entries();
  std::copy(extra.begin(), extra.end(), table.begin() + N);
  return table;
}

// Creates a heap type; each class creates its own once per process (classes.hpp).
PyTypeObject* create_class(const ClassDefinition& definition);

}  // namespace tamsel::python
