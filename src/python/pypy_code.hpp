// Code the module has PyPy's interpreter run, and how it calls it.
//
// PyPy's C API gives every object that passes through it a C-side twin, which
// costs several times what the interpreter spends on the same work itself; so
// under PyPy some conversions are done by functions the module defines in
// Python (pypy_number_lists.hpp, pypy_results.hpp, signals.cpp). Each is
// defined once, when the module is created, with every name it uses bound
// then, so that a user who rebinds a builtin changes nothing in it.
#pragma once

#include "python/errors.hpp"
#include "python/ref.hpp"

namespace tamsel::python {

// Runs `source` in fresh globals that see only the builtins, and returns what
// it bound to `name`.
Ref defined_in_fresh_globals(const char* source, const char* name);

Ref attribute(PyObject* object, const char* name);
Ref module_attribute(const char* module, const char* name);

// PyPy's PyObject_CallFunctionObjArgs first builds a C-level tuple of the
// arguments, which its C API must then translate; a vector call passes them as they are.
template <class... Args>
Ref call(PyObject* callable, Args... args) {
  PyObject* const arguments[] = {static_cast<PyObject*>(args)..., nullptr};
  return checked(PyObject_Vectorcall(callable, arguments, sizeof...(Args), nullptr));
}

}  // namespace tamsel::python
