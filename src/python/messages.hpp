// Every message the module raises, each in a function named after its
// situation, so that a text users read is written once.
#pragma once

#include <cstddef>
#include <string>

#include "python/errors.hpp"

namespace tamsel::python {

// The `__qualname__` of the object's type, as the messages name it.
std::string type_name(PyObject* object);

// ---------------------------------------------------------------- argument binding and conversion

[[noreturn]] void raise_too_many_positional(const char* qualified_name, std::size_t max, std::size_t required,
                                            std::size_t given);
[[noreturn]] void raise_unexpected_keyword(const char* qualified_name, PyObject* keyword);
[[noreturn]] void raise_multiple_values(const char* qualified_name, const char* parameter);
[[noreturn]] void raise_missing_argument(const char* qualified_name, const char* parameter);
[[noreturn]] void raise_keyword_not_text();
// An argument conversion refused with exactly a TypeError names the parameter.
ModuleError with_parameter_prefix(const char* parameter, PyObject* message_source);

// `target` is what the object was to become: "Sequence", "PyString", "PyFlat", ...
[[noreturn]] void raise_not_convertible(PyObject* object, const char* target);
[[noreturn]] void raise_str_as_sequence();
[[noreturn]] void raise_wrong_pair_length(Py_ssize_t length);
[[noreturn]] void raise_size_out_of_range();

// ---------------------------------------------------------------- the module and its classes

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

[[noreturn]] void raise_unsupported_metric();
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

}  // namespace tamsel::python
