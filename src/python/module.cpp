// The module entry point: builds the module once per process and registers
// its two classes.
#include "python/ref.hpp"  // first: Python.h comes before the standard headers

#include <cstdlib>

#include "core/scoring/kernels.hpp"
#include "python/classes.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/messages.hpp"
#include "python/pypy_number_lists.hpp"
#include "python/pypy_results.hpp"
#include "python/signals.hpp"

namespace tamsel::python {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "tamsel", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* module_cell = nullptr;

// TAMSEL_KERNELS forces one set of kernels (a test runs the suite under each);
// unset or empty, the module takes the best set the processor runs.
void choose_kernels_from_environment() {
  const char* requested = std::getenv("TAMSEL_KERNELS");
  if (requested == nullptr || *requested == '\0') return;
  switch (choose_kernels(requested)) {
    case KernelChoice::Chosen: return;
    case KernelChoice::Unknown: raise_unknown_kernels(requested);
    case KernelChoice::NotRunnable: raise_kernels_not_runnable(requested);
  }
}

void add_class(PyObject* module, const char* name, PyTypeObject* (*create)()) {
  PyObject* type = reinterpret_cast<PyObject*>(create());
  Ref all_name = checked(PyUnicode_FromString("__all__"));
  Ref all = Ref::steal(PyObject_GetAttr(module, all_name.get()));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending();
    PyErr_Clear();
    all = checked(PyList_New(0));
    if (PyObject_SetAttr(module, all_name.get(), all.get()) < 0) throw_pending();
  }
  Ref class_name = checked(PyUnicode_FromString(name));
  if (PyList_Append(all.get(), class_name.get()) < 0) throw_pending();
  if (PyObject_SetAttr(module, class_name.get(), type) < 0) throw_pending();
}

PyObject* initialise() {
  return guarded([] {
    if (module_cell != nullptr) return Ref::borrow(module_cell).release();
    create_panic_exception();
    choose_kernels_from_environment();
    bind_buffer_types();
    define_result_unpackers();
    bind_number_list_readers();
    create_signal_point();
    Ref module = checked(PyModule_Create(&module_definition));
    // PyPy leaves an empty module docstring unset, showing the docstring of
    // the module type instead.
    if (kPyPy && PyModule_AddStringConstant(module.get(), "__doc__", "") < 0) throw_pending();
    add_class(module.get(), "PyFlat", flat_class);
    add_class(module.get(), "PyHNSW", hnsw_class);
    // The set of kernels in use, for the tests and for reports of speed.
    if (PyModule_AddStringConstant(module.get(), "_kernels", kernels().name) < 0) throw_pending();
    module_cell = Ref(module).release();
    return module.release();
  });
}

}  // namespace
}  // namespace tamsel::python

PyMODINIT_FUNC PyInit_tamsel() { return tamsel::python::initialise(); }
