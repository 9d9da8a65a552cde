#include "python/types.hpp"

#include <cstring>

#include "python/errors.hpp"

namespace tamsel::python {
namespace {

// Instances have no attributes to set. PyPy gives every instance of an
// extension type a dictionary, so the refusal is made here rather than left
// to the absent `__dict__`.
int refuse_attribute(PyObject* self, PyObject* name, PyObject*) noexcept {
  set_attribute_refused(self, name);
  return -1;
}

// PyPy derives no `__doc__` from a doc slot whose text after the signature is
// empty; CPython derives the empty string.
void set_empty_doc(PyObject* type, const char* doc_slot) {
  const char* text = std::strstr(doc_slot, "\n--\n\n");
  if (text == nullptr || text[5] != '\0') return;
  Ref doc = Ref::steal(PyObject_GetAttrString(type, "__doc__"));
  if (!doc) throw_pending();
  if (doc.get() != Py_None) return;
  Ref empty = checked(PyUnicode_FromString(""));
  if (PyObject_SetAttrString(type, "__doc__", empty.get()) < 0) throw_pending();
}

}  // namespace

PyObject* refuse_subclass(PyObject* subclass, PyObject*, PyObject*) noexcept {
  PyObject* base = PyTuple_Check(reinterpret_cast<PyTypeObject*>(subclass)->tp_bases) &&
                           PyTuple_GET_SIZE(reinterpret_cast<PyTypeObject*>(subclass)->tp_bases) > 0
                       ? PyTuple_GET_ITEM(reinterpret_cast<PyTypeObject*>(subclass)->tp_bases, 0)
                       : subclass;
  set_subclass_refused(reinterpret_cast<PyTypeObject*>(base));
  return nullptr;
}

PyTypeObject* create_class(const ClassDefinition& definition) {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(definition.doc_slot)},
      {Py_tp_new, reinterpret_cast<void*>(definition.construct)},
      {Py_tp_dealloc, reinterpret_cast<void*>(definition.deallocate)},
      {Py_tp_setattro, reinterpret_cast<void*>(refuse_attribute)},
      {Py_tp_methods, definition.methods},
      {0, nullptr},
  };
  PyType_Spec spec = {definition.qualified_name, static_cast<int>(definition.instance_size), 0,
                      Py_TPFLAGS_DEFAULT, slots};
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) {
    PyErr_Print();
    fail_type_creation(definition.name);
  }
  if (kPyPy) set_empty_doc(type, definition.doc_slot);
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace tamsel::python
