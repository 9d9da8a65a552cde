// The calling frame shared by every constructor and method of the module.
//
// A call binds its arguments to the method's parameter table, checks and
// borrows the receiver, converts the arguments in parameter order, runs the
// operation and builds its result as new Python objects. Every failure travels
// as a C++ exception to one boundary (`guarded`), which turns it into the
// Python exception the caller sees; nothing is thrown across the C API.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/large_buffer.hpp"

namespace tamsel::python {

#ifdef PYPY_VERSION
inline constexpr bool kPyPy = true;
#else
inline constexpr bool kPyPy = false;
#endif

// ---------------------------------------------------------------- references

// An owned reference: the object is released when the handle goes.
class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* object) { return Ref(object); }
  static Ref borrow(PyObject* object) {
    Py_XINCREF(object);
    return Ref(object);
  }
  Ref(const Ref& other) : object_(other.object_) { Py_XINCREF(object_); }
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  explicit Ref(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

// ---------------------------------------------------------------- errors

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

// Runs `body` and turns whatever it throws into the pending Python exception.
// Returns the body's new reference, or null with the exception set.
template <class Body>
PyObject* guarded(Body&& body) noexcept;

void set_python_error(const PythonError& error) noexcept;
void set_module_error(const ModuleError& error) noexcept;
void set_internal_failure(const char* message) noexcept;

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

// ---------------------------------------------------------------- conversions
//
// From<T>::convert turns one Python object into T or throws; to_python turns a
// native result into a new reference.

// A (text, any object) pair: a filter, or one item of a metadata list.
struct NamedValue {
  std::string name;
  Ref value;
};

// A batch of vectors back to back in one buffer; vector i has its own length.
// A C-contiguous buffer of doubles is viewed in place, kept alive by `owner_`.
class VectorList {
 public:
  std::size_t size() const { return borrowed_ ? rows_ : ends_.size(); }
  bool empty() const { return size() == 0; }
  std::span<const double> operator[](std::size_t i) const {
    if (borrowed_) return {borrowed_ + i * columns_, columns_};
    const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
    return {values_.data() + begin, ends_[i] - begin};
  }
  const double* data() const { return borrowed_ ? borrowed_ : values_.data(); }
  // How many vectors, from the first, have `length` values: a viewed batch
  // answers at once, whatever its number of rows.
  std::size_t leading_of_length(std::size_t length) const {
    if (borrowed_) return columns_ == length ? rows_ : 0;
    std::size_t count = 0;
    while (count < size() && (*this)[count].size() == length) ++count;
    return count;
  }

  LargeBuffer<double>& values() { return values_; }
  void end_vector() { ends_.push_back(values_.size()); }
  void reserve_vectors(std::size_t count) { ends_.reserve(count); }
  void view(const double* data, std::size_t rows, std::size_t columns, std::shared_ptr<const void> owner) {
    borrowed_ = data;
    rows_ = rows;
    columns_ = columns;
    owner_ = std::move(owner);
  }

 private:
  LargeBuffer<double> values_;
  std::vector<std::size_t> ends_;
  const double* borrowed_ = nullptr;
  std::size_t rows_ = 0, columns_ = 0;
  std::shared_ptr<const void> owner_;
};

template <class T>
struct From;

double to_double(PyObject* object);
std::size_t to_size(PyObject* object);
std::string to_text(PyObject* object);
NamedValue to_named_value(PyObject* object);

// The sequence rule: any sequence but a `str`, read element by element.
// Calls `item(element)` for each element in iteration order; returns a hint of
// the element count for sizing buffers (never trusted beyond a safe bound).
class SequenceReader {
 public:
  explicit SequenceReader(PyObject* sequence);
  std::size_t size_hint() const { return size_hint_; }

  template <class Item>
  void for_each(Item&& item) const;

 private:
  PyObject* sequence_;
  std::size_t size_hint_ = 0;
};

template <class Item>
void SequenceReader::for_each(Item&& item) const {
  // Exact lists and tuples are read by index; the list's length is re-read at
  // every step so that a conversion which changes the list sees what an
  // iterator would.
  if (PyList_CheckExact(sequence_)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sequence_); ++i) {
      Ref element = Ref::borrow(PyList_GET_ITEM(sequence_, i));
      item(element.get());
    }
    return;
  }
  if (PyTuple_CheckExact(sequence_)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(sequence_); ++i) item(PyTuple_GET_ITEM(sequence_, i));
    return;
  }
  Ref iterator = checked(PyObject_GetIter(sequence_));
  while (Ref element = Ref::steal(PyIter_Next(iterator.get()))) item(element.get());
  if (PyErr_Occurred()) throw_pending();
}

template <>
struct From<double> {
  static double convert(PyObject* object) { return to_double(object); }
};
template <>
struct From<std::size_t> {
  static std::size_t convert(PyObject* object) { return to_size(object); }
};
template <>
struct From<std::string> {
  static std::string convert(PyObject* object) { return to_text(object); }
};
template <>
struct From<NamedValue> {
  static NamedValue convert(PyObject* object) { return to_named_value(object); }
};
template <>
struct From<std::vector<double>> {
  static std::vector<double> convert(PyObject* object);
};
template <>
struct From<VectorList> {
  static VectorList convert(PyObject* object);
};
template <class T>
struct From<std::vector<T>> {
  static std::vector<T> convert(PyObject* object) {
    SequenceReader reader(object);
    std::vector<T> items;
    items.reserve(reader.size_hint());
    reader.for_each([&](PyObject* element) { items.push_back(From<T>::convert(element)); });
    return items;
  }
};

// Results. A failure to build one (an allocation) raises what the
// interpreter raised, MemoryError; what was built so far is released.

// Stored vectors found by a search, each with its distance. The result holds
// (distance, fresh list of the vector's numbers) tuples, copied straight from
// the store: the view stays valid while the result is built, because the call
// keeps its use of the instance, so nothing can change the store meanwhile.
struct StoredVectorHits {
  struct Hit {
    double distance;
    const double* values;  // dim numbers in the store
  };
  std::size_t dim = 0;
  std::vector<Hit> hits;
};

inline Ref to_python(double value) { return checked(PyFloat_FromDouble(value)); }
inline Ref to_python(std::size_t value) { return checked(PyLong_FromSize_t(value)); }
Ref to_python(std::span<const double> values);
Ref to_python(const StoredVectorHits& found);
// (id, score) pairs, such as an exact search's.
Ref to_python(const std::vector<std::pair<std::size_t, double>>& pairs);

template <class T>
Ref to_python(const std::vector<T>& items);

template <class A, class B>
Ref to_python(const std::pair<A, B>& pair) {
  Ref first = to_python(pair.first);
  Ref second = to_python(pair.second);
  Ref tuple = checked(PyTuple_New(2));
  PyTuple_SET_ITEM(tuple.get(), 0, first.release());
  PyTuple_SET_ITEM(tuple.get(), 1, second.release());
  return tuple;
}

template <class T>
Ref to_python(const std::vector<T>& items) {
  Ref list = checked(PyList_New(static_cast<Py_ssize_t>(items.size())));
  for (std::size_t i = 0; i < items.size(); ++i)
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_python(items[i]).release());
  return list;
}

// ---------------------------------------------------------------- instances

// A Python instance owns its index record by value, followed by the borrow
// counter: 0 free, n > 0 shared uses, -1 the exclusive use.
template <class Record>
struct Instance {
  PyObject header;
  Record record;
  std::atomic<std::intptr_t> borrow;
};

enum class Use { Shared, Exclusive };

// Holds one use of an instance for the length of a call.
class Borrow {
 public:
  Borrow(std::atomic<std::intptr_t>& counter, Use use);
  ~Borrow();
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;

 private:
  std::atomic<std::intptr_t>& counter_;
  Use use_;
};

// Each Python class names its record's type object, created once per process.
template <class Record>
struct PythonClass;  // { static constexpr const char* name; static inline PyTypeObject* type; }

// ---------------------------------------------------------------- binding

template <std::size_t N>
struct Parameters {
  const char* qualified_name;  // "PyFlat.search"
  std::array<const char*, N> names;
};

// Sorts positional and keyword arguments into parameter slots (null: not given).
void bind_arguments(const char* qualified_name, std::span<const char* const> names,
                    std::size_t required, PyObject* const* args, std::size_t nargs,
                    PyObject* kwnames, PyObject** slots);
void bind_arguments(const char* qualified_name, std::span<const char* const> names,
                    std::size_t required, PyObject* args, PyObject* kwargs, PyObject** slots);

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

// Required parameters come first: every one before the first std::optional.
template <class... A>
constexpr std::size_t required_count() {
  constexpr bool optional[] = {IsOptional<A>::value..., true};
  std::size_t count = 0;
  while (!optional[count]) ++count;
  return count;
}

// An argument conversion refused with exactly a TypeError names the parameter.
ModuleError with_parameter_prefix(const char* parameter, PyObject* message_source);

template <class T>
T convert_argument(const char* parameter, PyObject* object) {
  try {
    return From<T>::convert(object);
  } catch (const PythonError& error) {
    if (error.type.get() != PyExc_TypeError) throw;
    throw with_parameter_prefix(parameter, error.value.get());
  } catch (const ModuleError& error) {
    if (error.type != PyExc_TypeError) throw;
    throw with_parameter_prefix(parameter, error.message.get());
  }
}

// An optional parameter left out or given as None is never converted.
template <class T>
struct ArgumentConverter {
  static T convert(const char* parameter, PyObject* object) { return convert_argument<T>(parameter, object); }
};
template <class T>
struct ArgumentConverter<std::optional<T>> {
  static std::optional<T> convert(const char* parameter, PyObject* object) {
    if (object == nullptr || object == Py_None) return std::nullopt;
    return convert_argument<T>(parameter, object);
  }
};

template <class... A, std::size_t N, std::size_t... I>
std::tuple<A...> convert_arguments(const Parameters<N>& params, PyObject* const* slots,
                                   std::index_sequence<I...>) {
  // Braced initialisation evaluates the conversions in parameter order.
  return std::tuple<A...>{ArgumentConverter<A>::convert(params.names[I], slots[I])...};
}

// The native parameters of a method or constructor, in parameter order.
template <class... A>
struct ArgumentList {
  static constexpr std::size_t arity = sizeof...(A);
  static constexpr std::size_t required = required_count<A...>();
  template <std::size_t N>
  static std::tuple<A...> convert(const Parameters<N>& params, PyObject* const* slots) {
    return convert_arguments<A...>(params, slots, std::index_sequence_for<A...>{});
  }
};

template <class Fn>
struct MethodSignature;

// A method is a function of the record and the converted arguments; a const
// record takes the shared use, a mutable one the exclusive use.
template <class R, class Rec, class... A>
struct MethodSignature<R (*)(Rec&, A...)> : ArgumentList<A...> {
  using Record = std::remove_const_t<Rec>;
  using Result = R;
  static constexpr Use use = std::is_const_v<Rec> ? Use::Shared : Use::Exclusive;
};

template <class Fn>
struct ConstructorSignature;

// A constructor builds the record from the converted arguments.
template <class Rec, class... A>
struct ConstructorSignature<Rec (*)(A...)> : ArgumentList<A...> {};

template <class Record>
Instance<Record>& receiver(PyObject* self) {
  if (!PyObject_TypeCheck(self, PythonClass<Record>::type))
    raise_type_error("'" + type_name(self) + "' object cannot be converted to '" +
                     PythonClass<Record>::name + "'");
  return *reinterpret_cast<Instance<Record>*>(self);
}

// The vector-call entry of a method: `Operation` is its native body.
template <const auto& Params, auto Operation>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  using Signature = MethodSignature<decltype(Operation)>;
  static_assert(Params.names.size() == Signature::arity, "one name per parameter");
  return guarded([&] {
    PyObject* slots[Signature::arity + 1] = {};
    bind_arguments(Params.qualified_name, Params.names, Signature::required, args,
                   static_cast<std::size_t>(nargs), kwnames, slots);
    auto& instance = receiver<typename Signature::Record>(self);
    const Ref keep_alive = Ref::borrow(self);
    const Borrow use(instance.borrow, Signature::use);
    auto arguments = Signature::convert(Params, slots);
    auto call = [&](auto&&... converted) { return Operation(instance.record, std::move(converted)...); };
    if constexpr (std::is_void_v<typename Signature::Result>) {
      std::apply(call, std::move(arguments));
      return Ref::borrow(Py_None).release();
    } else {
      return to_python(std::apply(call, std::move(arguments))).release();
    }
  });
}

// Allocates an instance of `type` and moves the record into it.
template <class Record>
PyObject* new_instance(PyTypeObject* type, Record&& record) {
  allocfunc allocate = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
  PyObject* object = allocate(type, 0);
  if (object == nullptr) {
    if (PyErr_Occurred()) throw_pending();
    raise(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  auto* instance = reinterpret_cast<Instance<Record>*>(object);
  new (&instance->record) Record(std::move(record));
  new (&instance->borrow) std::atomic<std::intptr_t>(0);
  return object;
}

// The `__new__` entry of a class: `Make` builds the record from the arguments.
template <const auto& Params, auto Make>
PyObject* constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  using Traits = ConstructorSignature<decltype(Make)>;
  static_assert(Params.names.size() == Traits::arity, "one name per parameter");
  return guarded([&] {
    PyObject* slots[Traits::arity + 1] = {};
    bind_arguments(Params.qualified_name, Params.names, Traits::required, args, kwargs, slots);
    auto record = std::apply(Make, Traits::convert(Params, slots));
    return new_instance(type, std::move(record));
  });
}

template <class Record>
void deallocate(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<Instance<Record>*>(self)->record.~Record();
  type->tp_free(self);
  Py_DECREF(reinterpret_cast<PyObject*>(type));
}

// ---------------------------------------------------------------- classes

using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

inline PyMethodDef method_entry(const char* name, FastMethod function, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
          METH_FASTCALL | METH_KEYWORDS, doc};
}

struct ClassDefinition {
  const char* name;            // "PyFlat"
  const char* qualified_name;  // "tamsel.PyFlat"
  // Class name, text signature, "\n--\n\n", docstring: the interpreter derives
  // both `__text_signature__` and `__doc__` from it.
  const char* doc_slot;
  Py_ssize_t instance_size;
  newfunc construct;
  destructor deallocate;
  PyMethodDef* methods;   // ends with a null entry
};

// The types are not meant as base classes. CPython refuses a subclass by the
// type's flags; PyPy ignores them, so there the class refuses in
// `__init_subclass__`, an entry that only PyPy's method tables carry (on
// CPython it is the table's end marker).
PyObject* refuse_subclass(PyObject* subclass, PyObject* args, PyObject* kwargs) noexcept;

inline PyMethodDef subclass_refusal_entry() {
  if (!kPyPy) return {nullptr, nullptr, 0, nullptr};
  return {"__init_subclass__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(refuse_subclass)),
          METH_VARARGS | METH_KEYWORDS | METH_CLASS, nullptr};
}

// Creates the heap type once per process; later calls return the same type.
PyTypeObject* create_class(const ClassDefinition& definition);

}  // namespace tamsel::python
