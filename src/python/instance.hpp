// A Python instance of one of the module's classes: its layout, its receiver
// check, its construction and its release.
#pragma once

#include <new>
#include <utility>

#include "python/borrow.hpp"
#include "python/messages.hpp"
#include "python/ref.hpp"

namespace tamsel::python {

// A Python instance owns its index record by value, followed by the uses held
// of it. `built` is set once the record is: PyPy's object.__new__ hands out
// instances of zeroed memory that no constructor ever saw. Only an object
// whose type is exactly the class has this layout: PyPy sizes the instances of
// a subclass that got past the refusal (types.hpp) by another base, so none of
// this is theirs.
template <class Record>
// NOLINTNEXTLINE(cppcoreguidelines-pro-type-member-init): never constructed: new_instance builds each field
struct Instance {
  PyObject header;
  Record record;
  Uses uses;
  bool built;
};

// Each Python class names its record's type object, created once per process.
template <class Record>
struct PythonClass;  // { static constexpr const char* name; static inline PyTypeObject* type; }

template <class Record>
bool has_instance_layout(PyObject* object) {
  return Py_TYPE(object) == PythonClass<Record>::type;
}

// The instance a method is called on, checked before its memory is read.
template <class Record>
Instance<Record>& receiver(PyObject* self) {
  if (!PyObject_TypeCheck(self, PythonClass<Record>::type)) raise_not_convertible(self, PythonClass<Record>::name);
  if (!has_instance_layout<Record>(self)) raise_subclass_refused(PythonClass<Record>::type);
  auto& instance = *reinterpret_cast<Instance<Record>*>(self);
  if (!instance.built) raise_unbuilt_instance(PythonClass<Record>::name);
  return instance;
}

// A constructor builds instances of its own class and nothing else. CPython
// checks that before calling it; PyPy passes on whatever `X.__new__(Y)`
// names, a subclass that a mixin let through (types.hpp), a type of another
// layout, or an object that is no type at all. It is compared before its
// memory is read.
void check_type_to_build(PyTypeObject* own, PyTypeObject* requested);

// Allocates an instance of `type` and moves the record into it.
template <class Record>
PyObject* new_instance(PyTypeObject* type, Record&& record) {
  allocfunc allocate = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
  PyObject* object = allocate(type, 0);
  if (object == nullptr) {
    if (PyErr_Occurred()) throw_pending();
    raise_no_exception_set();
  }
  auto* instance = reinterpret_cast<Instance<Record>*>(object);
  new (&instance->record) Record(std::forward<Record>(record));
  new (&instance->uses) Uses();
  instance->built = true;
  return object;
}

template <class Record>
void deallocate(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  auto* instance = reinterpret_cast<Instance<Record>*>(self);
  if (has_instance_layout<Record>(self) && instance->built) {
    instance->record.~Record();
    instance->built = false;
  }
  type->tp_free(self);
  Py_DECREF(reinterpret_cast<PyObject*>(type));
}

}  // namespace tamsel::python
