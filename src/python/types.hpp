// Creation of the module's classes: their method tables and type objects.
#pragma once

#include "python/ref.hpp"

namespace tamsel::python {

using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

inline PyMethodDef method_entry(const char* name, FastMethod function, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
          METH_FASTCALL | METH_KEYWORDS, doc};
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
  PyMethodDef* methods;   // ends with a null entry
};

// The types are not meant as base classes. CPython refuses a subclass by the
// type's flags; PyPy ignores them, so there the class refuses in
// `__init_subclass__`, an entry that only PyPy's method tables carry (on
// CPython it is the table's end marker).
PyObject* refuse_subclass(PyObject* subclass, PyObject* args, PyObject* kwargs) noexcept;

inline PyMethodDef subclass_refusal_entry() {
  if (!kPyPy) return {nullptr, nullptr, 0, nullptr};
  return {"__init_subclass__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(refuse_subclass)),
          METH_VARARGS | METH_KEYWORDS | METH_CLASS, nullptr};
}

// Creates a heap type; each class creates its own once per process (classes.hpp).
PyTypeObject* create_class(const ClassDefinition& definition);

}  // namespace tamsel::python
