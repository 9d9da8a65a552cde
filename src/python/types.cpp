#include "python/types.hpp"

#include <cstring>

#include "python/messages.hpp"

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

// PyPy gives every instance a dictionary, which its attribute lookup reads
// whatever the class says. `__dict__` hands out an empty view that cannot be
// written instead of that dictionary.
PyObject* empty_dict_view(PyObject*, void*) noexcept {
  Ref empty = Ref::steal(PyDict_New());
  return empty ? PyDictProxy_New(empty.get()) : nullptr;
}

PyGetSetDef pypy_getset[] = {
    {"__dict__", empty_dict_view, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* refuse_reduce_ex(PyObject* self, PyObject* protocol) noexcept {
  const long number = PyLong_Check(protocol) ? PyLong_AsLong(protocol) : 0;
  if (number == -1 && PyErr_Occurred()) PyErr_Clear();
  set_pickling_refused(self, number);
  return nullptr;
}

PyObject* refuse_reduce(PyObject* self, PyObject*) noexcept {
  set_pickling_refused(self, 0);
  return nullptr;
}

// Names the first of this module's classes (those that refuse attributes
// here) among the subclass's bases, as CPython does.
PyObject* refuse_subclass(PyObject* subclass, PyObject*, PyObject*) noexcept {
  PyTypeObject* base = reinterpret_cast<PyTypeObject*>(subclass);
  PyObject* mro = base->tp_mro;
  for (Py_ssize_t i = 0; mro != nullptr && PyTuple_Check(mro) && i < PyTuple_GET_SIZE(mro); ++i) {
    auto* candidate = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
    if (candidate != base && candidate->tp_setattro == refuse_attribute) {
      base = candidate;
      break;
    }
  }
  set_subclass_refused(base);
  return nullptr;
}

PyTypeObject* create_class(const ClassDefinition& definition) {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(definition.doc_slot)},
      {Py_tp_new, reinterpret_cast<void*>(definition.construct)},
      {Py_tp_dealloc, reinterpret_cast<void*>(definition.deallocate)},
      {Py_tp_setattro, reinterpret_cast<void*>(refuse_attribute)},
      {Py_tp_methods, definition.methods},
      {kPyPy ? Py_tp_getset : 0, kPyPy ? pypy_getset : nullptr},
      {0, nullptr},
  };
  PyType_Spec spec = {definition.qualified_name, static_cast<int>(definition.instance_size), 0, Py_TPFLAGS_DEFAULT,
                      slots};
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) {
    if (PyErr_Occurred()) throw_pending();
    fail_type_creation(definition.name);
  }
  if (kPyPy) set_empty_doc(type, definition.doc_slot);
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace tamsel::python
