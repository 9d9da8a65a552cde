// Failures and what users read of them.
//
// Every failure travels as a C++ exception to one boundary (`guarded`), which
// turns it into the Python exception the caller sees; nothing is thrown across
// the C API. The texts users meet live here too: every message the module
// raises, each in the function named after its situation, and the metric
// names each class reads.
#pragma once

#include <cstddef>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>

#include "core/metric.hpp"
#include "python/ref.hpp"

namespace tamsel::python {

// ---------------------------------------------------------------- the translator

// An exception the interpreter raised, taken out of its error indicator.
struct PythonError {
  Ref type, value, traceback;
};

// An exception the module raises: its type and its single argument.
struct ModuleError {
  PyObject* type;
  Ref message;
};

// A failure the design does not foresee; raised as PanicException.
struct InternalFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Moves the pending interpreter exception, normalised, into a C++ exception.
[[noreturn]] void throw_pending();
[[noreturn]] void raise(PyObject* type, const std::string& message);
[[noreturn]] inline void raise_type_error(const std::string& message) { raise(PyExc_TypeError, message); }
[[noreturn]] inline void raise_value_error(const std::string& message) { raise(PyExc_ValueError, message); }

// Takes a new reference returned by the C API; a null one means an exception is pending.
inline Ref checked(PyObject* result) {
  if (result == nullptr) throw_pending();
  return Ref::steal(result);
}

// The `__qualname__` of the object's type, as the messages name it.
std::string type_name(PyObject* object);

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
  } catch (const std::length_error& failure) {
    // A size the index cannot hold, such as more vectors than its ids number.
    PyErr_SetString(PyExc_MemoryError, failure.what());
  } catch (const std::exception& failure) {
    set_internal_failure(failure.what());
  } catch (...) {
    set_internal_failure("unknown internal failure");
  }
  return nullptr;
}

// ---------------------------------------------------------------- argument binding and conversion

[[noreturn]] void raise_too_many_positional(const char* qualified_name, std::size_t max, std::size_t required,
                                            std::size_t given);
[[noreturn]] void raise_unexpected_keyword(const char* qualified_name, PyObject* keyword);
[[noreturn]] void raise_multiple_values(const char* qualified_name, const char* parameter);
[[noreturn]] void raise_missing_argument(const char* qualified_name, const char* parameter);
// An argument conversion refused with exactly a TypeError names the parameter.
ModuleError with_parameter_prefix(const char* parameter, PyObject* message_source);

// `target` is what the object was to become: "Sequence", "PyString", "PyFlat", ...
[[noreturn]] void raise_not_convertible(PyObject* object, const char* target);
[[noreturn]] void raise_str_as_sequence();
[[noreturn]] void raise_wrong_pair_length(Py_ssize_t length);
[[noreturn]] void raise_size_out_of_range();
// A C API call that failed without setting an exception.
[[noreturn]] void raise_no_exception_set();

[[noreturn]] void raise_keyword_not_text();

// TAMSEL_KERNELS named no set of kernels, or one this processor cannot run.
[[noreturn]] void raise_unknown_kernels(const char* requested);
[[noreturn]] void raise_kernels_not_runnable(const char* requested);

[[noreturn]] void raise_already_mutably_borrowed();
[[noreturn]] void raise_already_borrowed();

// A constructor asked to build an instance of another type than its class.
[[noreturn]] void raise_new_of_nothing(PyTypeObject* own);
[[noreturn]] void raise_new_of_non_type(PyTypeObject* own, PyObject* requested);
[[noreturn]] void raise_new_of_non_subtype(PyTypeObject* own, PyTypeObject* requested);
[[noreturn]] void raise_subclass_refused(PyTypeObject* base);
// An instance the interpreter allocated without the class's constructor.
[[noreturn]] void raise_unbuilt_instance(const char* class_name);

// Set directly (the type slots that report them return a status, not a reference).
void set_attribute_refused(PyObject* self, PyObject* name) noexcept;
void set_subclass_refused(PyTypeObject* base) noexcept;
// What CPython says of an object without pickling support: the class name
// below protocol 2, the qualified type name from protocol 2 on.
void set_pickling_refused(PyObject* self, long protocol) noexcept;

// ---------------------------------------------------------------- the index operations

[[noreturn]] void raise_wrong_vector_length(std::size_t dim, std::size_t length);
[[noreturn]] void raise_wrong_query_length(std::size_t dim, std::size_t length);
// A vector of a batch whose length is not the index's.
[[noreturn]] void raise_batch_vector_length(std::size_t length, std::size_t dim);
[[noreturn]] void raise_too_many_layers(std::size_t max, std::size_t layers);
[[noreturn]] void raise_metadata_without_schema();
[[noreturn]] void raise_filter_without_schema();
[[noreturn]] void raise_metadata_count_mismatch();
[[noreturn]] void raise_unsupported_filter_type();
[[noreturn]] void raise_missing_metadata(const std::string& attribute);
[[noreturn]] void raise_unsupported_metadata_type(const std::string& attribute);

// An error the core reports, by the name the core gives its variant
// (`error_name`, found next to the error's enumeration). An operation that
// interruption_by_signals stopped raises what the signal handler raised.
template <class CoreError>
[[noreturn]] void raise_core_error(const char* prefix, CoreError error) {
  if (error == CoreError::Interrupted) throw_pending();
  raise_value_error(prefix + std::string(error_name(error)));
}
template <class CoreError>
[[noreturn]] void raise_insert_error(CoreError error) {
  raise_core_error("Insert error: ", error);
}
template <class CoreError>
[[noreturn]] void raise_create_error(CoreError error) {
  raise_core_error("Create error: ", error);
}
template <class CoreError>
[[noreturn]] void raise_search_error(CoreError error) {
  raise_core_error("Search error: ", error);
}

// ---------------------------------------------------------------- internal failures

[[noreturn]] void fail_type_creation(const char* class_name);

// ---------------------------------------------------------------- metric names

// PyFlat: "cosine", "inner_product", and the Euclidean distance for anything
// else, no name included.
Metric flat_metric_named(const std::optional<std::string>& name);
// PyHNSW: "euclidean", "angular" (cosine similarity) or "inner_product", byte
// for byte; any other name, or none, raises "Unsupported metric".
Metric hnsw_metric_named(const std::optional<std::string>& name);

}  // namespace tamsel::python
