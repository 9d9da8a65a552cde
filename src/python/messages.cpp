#include "python/messages.hpp"

#include "core/scoring/kernels.hpp"

namespace tamsel::python {

std::string type_name(PyObject* object) {
  Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
  if (name && PyUnicode_Check(name.get())) {
    Py_ssize_t length = 0;
    if (const char* text = PyUnicode_AsUTF8AndSize(name.get(), &length))
      return std::string(text, static_cast<std::size_t>(length));
  }
  PyErr_Clear();
  return "<failed to extract type name>";
}

// ---------------------------------------------------------------- argument binding and conversion

void raise_too_many_positional(const char* qualified_name, std::size_t max, std::size_t required, std::size_t given) {
  const std::string takes =
      required == max ? std::to_string(max) : "from " + std::to_string(required) + " to " + std::to_string(max);
  raise_type_error(std::string(qualified_name) + "() takes " + takes + " positional arguments but " +
                   std::to_string(given) + (given == 1 ? " was" : " were") + " given");
}

void raise_unexpected_keyword(const char* qualified_name, PyObject* keyword) {
  PyObject* message = PyUnicode_FromFormat("%s() got an unexpected keyword argument '%U'", qualified_name, keyword);
  if (message == nullptr) throw_pending();
  throw ModuleError{PyExc_TypeError, Ref::steal(message)};
}

void raise_multiple_values(const char* qualified_name, const char* parameter) {
  raise_type_error(std::string(qualified_name) + "() got multiple values for argument '" + parameter + "'");
}

void raise_missing_argument(const char* qualified_name, const char* parameter) {
  raise_type_error(std::string(qualified_name) + "() missing 1 required positional argument: '" + parameter + "'");
}

ModuleError with_parameter_prefix(const char* parameter, PyObject* message_source) {
  Ref text = checked(PyObject_Str(message_source));
  Ref message = checked(PyUnicode_FromFormat("argument '%s': %U", parameter, text.get()));
  return ModuleError{PyExc_TypeError, std::move(message)};
}

void raise_not_convertible(PyObject* object, const char* target) {
  raise_type_error("'" + type_name(object) + "' object cannot be converted to '" + target + "'");
}

void raise_str_as_sequence() { raise_type_error("Can't extract `str` to `Vec`"); }

void raise_wrong_pair_length(Py_ssize_t length) {
  raise_value_error("expected tuple of length 2, but got tuple of length " + std::to_string(length));
}

void raise_size_out_of_range() { raise(PyExc_OverflowError, "out of range integral type conversion attempted"); }

void raise_keyword_not_text() { raise_type_error("keywords must be strings"); }

// ---------------------------------------------------------------- the module and its classes

void raise_unknown_kernels(const char* requested) {
  raise(PyExc_ImportError, std::string("TAMSEL_KERNELS=") + requested + ": not a set of kernels of this build (" +
                               kernel_names(false) + ")");
}

void raise_kernels_not_runnable(const char* requested) {
  raise(PyExc_ImportError, std::string("TAMSEL_KERNELS=") + requested + ": this processor does not run it (it runs " +
                               kernel_names(true) + ")");
}

void raise_already_mutably_borrowed() { raise(PyExc_RuntimeError, "Already mutably borrowed"); }

void raise_already_borrowed() { raise(PyExc_RuntimeError, "Already borrowed"); }

// The texts CPython gives when `X.__new__(Y)` is refused.
void raise_new_of_nothing(PyTypeObject* own) {
  raise_type_error(std::string(own->tp_name) + ".__new__(): not enough arguments");
}

void raise_new_of_non_type(PyTypeObject* own, PyObject* requested) {
  raise_type_error(std::string(own->tp_name) + ".__new__(X): X is not a type object (" + Py_TYPE(requested)->tp_name +
                   ")");
}

void raise_new_of_non_subtype(PyTypeObject* own, PyTypeObject* requested) {
  const std::string own_name = own->tp_name, name = requested->tp_name;
  raise_type_error(own_name + ".__new__(" + name + "): " + name + " is not a subtype of " + own_name);
}

void raise_subclass_refused(PyTypeObject* base) {
  set_subclass_refused(base);
  throw_pending();
}

void raise_unbuilt_instance(const char* class_name) {
  raise_type_error(std::string(class_name) + " object was not made by its constructor and holds no index; use " +
                   class_name + "(...)");
}

void set_attribute_refused(PyObject* self, PyObject* name) noexcept {
  PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%U'", Py_TYPE(self)->tp_name, name);
}

void set_subclass_refused(PyTypeObject* base) noexcept {
  PyErr_Format(PyExc_TypeError, "type '%.100s' is not an acceptable base type", base->tp_name);
}

void set_pickling_refused(PyObject* self, long protocol) noexcept {
  if (protocol < 2) {
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "__name__"));
    if (!name) return;
    PyErr_Format(PyExc_TypeError, "cannot pickle %R object", name.get());
    return;
  }
  PyErr_Format(PyExc_TypeError, "cannot pickle '%.200s' object", Py_TYPE(self)->tp_name);
}

// ---------------------------------------------------------------- the index operations

void raise_unsupported_metric() { raise_value_error("Unsupported metric"); }

void raise_wrong_vector_length(std::size_t dim, std::size_t length) {
  raise_value_error("Expected vector of length " + std::to_string(dim) + ", got " + std::to_string(length));
}

void raise_wrong_query_length(std::size_t dim, std::size_t length) {
  raise_value_error("Expected query of length " + std::to_string(dim) + ", got " + std::to_string(length));
}

void raise_batch_vector_length(std::size_t length, std::size_t dim) {
  raise_value_error("Vector length " + std::to_string(length) + " does not match index dimension " +
                    std::to_string(dim));
}

void raise_too_many_layers(std::size_t max, std::size_t layers) {
  raise_value_error("layers must be at most " + std::to_string(max) + ", got " + std::to_string(layers));
}

void raise_metadata_without_schema() { raise_value_error("No schema provided in HNSW instance; cannot use metadata"); }

void raise_filter_without_schema() {
  raise_value_error("No schema provided in HNSW instance; cannot use metadata filtering");
}

void raise_metadata_count_mismatch() { raise_value_error("Length of metadata list must match number of vectors"); }

void raise_unsupported_filter_type() { raise_value_error("Unsupported type for metadata filter"); }

void raise_missing_metadata(const std::string& attribute) {
  raise_value_error("Missing metadata for attribute '" + attribute + "'");
}

void raise_unsupported_metadata_type(const std::string& attribute) {
  raise_value_error("Unsupported metadata type for attribute '" + attribute + "'");
}

// ---------------------------------------------------------------- internal failures

void fail_type_creation(const char* class_name) {
  throw BrokenInvariant(std::string("failed to create type object for ") + class_name);
}

}  // namespace tamsel::python
