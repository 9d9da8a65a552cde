#include "python/pypy_code.hpp"

#include <string>

namespace tamsel::python {

Ref defined_in_fresh_globals(const char* source, const char* name) {
  const Ref globals = checked(PyDict_New());
  const Ref builtins = checked(PyImport_ImportModule("builtins"));
  if (PyDict_SetItemString(globals.get(), "__builtins__", builtins.get()) < 0) throw_pending();
  checked(PyRun_String(source, Py_file_input, globals.get(), globals.get()));
  PyObject* defined = PyDict_GetItemString(globals.get(), name);
  if (defined == nullptr) throw BrokenInvariant(std::string("the interpreter-level code defines no ") + name);
  return Ref::borrow(defined);
}

Ref attribute(PyObject* object, const char* name) { return checked(PyObject_GetAttrString(object, name)); }

Ref module_attribute(const char* module, const char* name) {
  const Ref imported = checked(PyImport_ImportModule(module));
  return attribute(imported.get(), name);
}

}  // namespace tamsel::python
