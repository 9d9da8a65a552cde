#include "python/call.hpp"

#include <algorithm>

namespace tamsel::python {

// ---------------------------------------------------------------- the borrow

Borrow::Borrow(std::atomic<std::intptr_t>& counter, Use use) : counter_(counter), use_(use) {
  if (use == Use::Shared) {
    std::intptr_t current = counter.load();
    do {
      if (current == -1) raise_already_mutably_borrowed();
    } while (!counter.compare_exchange_weak(current, current + 1));
  } else {
    std::intptr_t expected = 0;
    if (!counter.compare_exchange_strong(expected, -1)) raise_already_borrowed();
  }
}

Borrow::~Borrow() {
  if (use_ == Use::Shared) counter_.fetch_sub(1);
  else counter_.store(0);
}

// ---------------------------------------------------------------- signals during long operations

namespace {

// PyPy's PyErr_CheckSignals runs no handler. PyPy runs the pending handlers
// when it enters code of its own, so there the check calls a function that
// does nothing; like CPython's check, that lets no other thread in unless a
// handler runs.
PyObject* pypy_signal_point = nullptr;

bool handler_raised(void*) {
  if (!kPyPy) return PyErr_CheckSignals() < 0;
  Ref result = Ref::steal(PyObject_CallNoArgs(pypy_signal_point));
  return !result;
}

}  // namespace

void create_signal_point() {
  if (!kPyPy || pypy_signal_point != nullptr) return;
  Ref globals = checked(PyDict_New());
  Ref builtins = checked(PyImport_ImportModule("builtins"));
  if (PyDict_SetItemString(globals.get(), "__builtins__", builtins.get()) < 0) throw_pending();
  checked(PyRun_String("def signal_point():\n    pass\n", Py_file_input, globals.get(), globals.get()));
  PyObject* point = PyDict_GetItemString(globals.get(), "signal_point");
  if (point == nullptr) throw InternalFailure("the signal point is not defined");
  pypy_signal_point = Ref::borrow(point).release();
}

Interruption interruption_by_signals() { return Interruption(handler_raised, nullptr); }

// ---------------------------------------------------------------- the type to build

void check_type_to_build(PyTypeObject* own, PyTypeObject* requested) {
  if (requested == own) return;
  if (requested == nullptr) raise_new_of_nothing(own);
  PyObject* object = reinterpret_cast<PyObject*>(requested);
  if (!PyType_Check(object)) raise_new_of_non_type(own, object);
  if (!PyType_IsSubtype(requested, own)) raise_new_of_non_subtype(own, requested);
  raise_subclass_refused(own);
}

// ---------------------------------------------------------------- binding

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
