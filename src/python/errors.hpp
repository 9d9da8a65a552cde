// Failures, from where they happen to the Python exception the caller sees.
//
// Every failure travels as a C++ exception to one boundary (`guarded`), which
// turns it into the pending Python exception; nothing is thrown across the C
// API. The texts users read are built in messages.hpp.
#pragma once

#include <new>
#include <stdexcept>
#include <string>

#include "core/base/exceptions.hpp"
#include "python/ref.hpp"

namespace tamsel::python {

// An exception the interpreter raised, taken out of its error indicator.
struct PythonError {
  Ref type, value, traceback;
};

// An exception the module raises: its type and its single argument.
struct ModuleError {
  PyObject* type;
  Ref message;
};

// Moves the pending interpreter exception, normalised, into a C++ exception.
[[noreturn]] void throw_pending();
[[noreturn]] void raise(PyObject* type, const std::string& message);
// A C API call that failed without setting an exception.
[[noreturn]] void raise_no_exception_set();
[[noreturn]] inline void raise_type_error(const std::string& message) { raise(PyExc_TypeError, message); }
[[noreturn]] inline void raise_value_error(const std::string& message) { raise(PyExc_ValueError, message); }

// Takes a new reference returned by the C API; a null one means an exception is pending.
inline Ref checked(PyObject* result) {
  if (result == nullptr) throw_pending();
  return Ref::steal(result);
}

// A failed try whose error is dropped, the next way being tried instead. An
// interrupt, an exit or exhausted memory is no failed try: such an error ends
// every try and is thrown.
bool ends_every_try(PyObject* exception_type);
void discard_failed_try();

void set_python_error(const PythonError& error) noexcept;
void set_module_error(const ModuleError& error) noexcept;
// PanicException, derived from BaseException so that `except Exception` does
// not swallow a broken invariant. Created with the module, so that raising it
// cannot fail.
void create_panic_exception();
void set_internal_failure(const char* message) noexcept;

// Runs `body` and turns whatever it throws into the pending Python exception.
// Returns the body's new reference, or null with the exception set.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const PythonError& error) {
    set_python_error(error);
  } catch (const ModuleError& error) {
    set_module_error(error);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const CapacityExceeded& limit) {
    // No memory would let the call succeed, so it is no MemoryError: like a
    // number too large for the width that holds it, an OverflowError that
    // names the limit.
    PyErr_SetString(PyExc_OverflowError, limit.what());
  } catch (const std::length_error& failure) {
    // What a standard container throws when asked for more elements than it
    // can address: an allocation that no allocator makes.
    PyErr_SetString(PyExc_MemoryError, failure.what());
  } catch (const std::exception& failure) {
    // BrokenInvariant, or a failure no part of the module foresees.
    set_internal_failure(failure.what());
  } catch (...) {
    set_internal_failure("unknown internal failure");
  }
  return nullptr;
}

}  // namespace tamsel::python
