#include "python/arguments.hpp"

#include <algorithm>

#include "python/messages.hpp"

namespace tamsel::python {
namespace {

// Puts one keyword argument into its slot.
// A constructor's keywords come in a dictionary, whose keys the interpreter
// does not check.
void bind_keyword(const char* qualified_name, std::span<const char* const> names, PyObject* keyword, PyObject* value,
                  PyObject** slots) {
  if (!PyUnicode_Check(keyword)) raise_keyword_not_text();
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(keyword, names[i]) == 0) {
      if (slots[i] != nullptr) raise_multiple_values(qualified_name, names[i]);
      slots[i] = value;
      return;
    }
  }
  raise_unexpected_keyword(qualified_name, keyword);
}

void require(const char* qualified_name, std::span<const char* const> names, std::size_t required, PyObject** slots) {
  for (std::size_t i = 0; i < required; ++i) {
    if (slots[i] == nullptr) raise_missing_argument(qualified_name, names[i]);
  }
}

}  // namespace

bool given_from(PyObject* const* slots, std::size_t first, std::size_t count) {
  for (std::size_t i = first; i < count; ++i) {
    if (slots[i] != nullptr && slots[i] != Py_None) return true;
  }
  return false;
}

void bind_arguments(const char* qualified_name, std::span<const char* const> names, std::size_t required,
                    PyObject* const* args, std::size_t nargs, PyObject* kwnames, PyObject** slots) {
  if (nargs > names.size()) raise_too_many_positional(qualified_name, names.size(), required, nargs);
  std::copy(args, args + nargs, slots);
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i)
      bind_keyword(qualified_name, names, PyTuple_GET_ITEM(kwnames, i), args[nargs + static_cast<std::size_t>(i)],
                   slots);
  }
  require(qualified_name, names, required, slots);
}

void bind_arguments(const char* qualified_name, std::span<const char* const> names, std::size_t required,
                    PyObject* args, PyObject* kwargs, PyObject** slots) {
  const std::size_t nargs = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
  if (nargs > names.size()) raise_too_many_positional(qualified_name, names.size(), required, nargs);
  for (std::size_t i = 0; i < nargs; ++i) slots[i] = PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i));
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject *keyword = nullptr, *value = nullptr;
    while (PyDict_Next(kwargs, &position, &keyword, &value)) bind_keyword(qualified_name, names, keyword, value, slots);
  }
  require(qualified_name, names, required, slots);
}

}  // namespace tamsel::python
