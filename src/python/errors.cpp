#include "python/errors.hpp"

namespace tamsel::python {

void throw_pending() {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) raise_no_exception_set();
  PyErr_NormalizeException(&type, &value, &traceback);
  throw PythonError{Ref::steal(type), Ref::steal(value), Ref::steal(traceback)};
}

void raise(PyObject* type, const std::string& message) {
  Ref text = checked(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  throw ModuleError{type, std::move(text)};
}

void raise_no_exception_set() { raise(PyExc_SystemError, "attempted to fetch exception but none was set"); }

bool ends_every_try(PyObject* type) {
  return PyErr_GivenExceptionMatches(type, PyExc_KeyboardInterrupt) ||
         PyErr_GivenExceptionMatches(type, PyExc_SystemExit) || PyErr_GivenExceptionMatches(type, PyExc_MemoryError);
}

void discard_failed_try() {
  if (ends_every_try(PyErr_Occurred())) throw_pending();
  PyErr_Clear();
}

void set_python_error(const PythonError& error) noexcept {
  Ref type = error.type, value = error.value, traceback = error.traceback;
  PyErr_Restore(type.release(), value.release(), traceback.release());
}

void set_module_error(const ModuleError& error) noexcept { PyErr_SetObject(error.type, error.message.get()); }

namespace {

PyObject* panic_exception = nullptr;

}  // namespace

void create_panic_exception() {
  if (panic_exception != nullptr) return;
  panic_exception =
      checked(PyErr_NewExceptionWithDoc("tamsel.PanicException",
                                        "An internal failure of tamsel. The object that raised it stays usable.",
                                        PyExc_BaseException, nullptr))
          .release();
}

void set_internal_failure(const char* message) noexcept {
  // The module is not made without it; SystemError only keeps the promise
  // that a null result always comes with an exception.
  PyErr_SetString(panic_exception != nullptr ? panic_exception : PyExc_SystemError, message);
}

}  // namespace tamsel::python
