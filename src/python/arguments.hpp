// Parameter tables, and the arguments of a call sorted into them.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "python/ref.hpp"

namespace tamsel::python {

template <std::size_t N>
struct Parameters {
  const char* qualified_name;  // "PyFlat.search"
  std::array<const char*, N> names;
};

// Sorts positional and keyword arguments into parameter slots (null: not
// given); the first `required` must be given. A method's keywords come as
// names after its positional arguments (the vector call), a constructor's in
// a dictionary.
void bind_arguments(const char* qualified_name, std::span<const char* const> names, std::size_t required,
                    PyObject* const* args, std::size_t nargs, PyObject* kwnames, PyObject** slots);
void bind_arguments(const char* qualified_name, std::span<const char* const> names, std::size_t required,
                    PyObject* args, PyObject* kwargs, PyObject** slots);

// Whether a parameter in [first, count) was given, and not as None.
bool given_from(PyObject* const* slots, std::size_t first, std::size_t count);

}  // namespace tamsel::python
