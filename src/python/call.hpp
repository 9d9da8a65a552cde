// The calling frame shared by every constructor and method of the module.
//
// A method call binds its arguments to the method's parameter table, checks
// and borrows the receiver, converts the arguments in parameter order, runs
// the operation and builds its result as new Python objects (results.hpp),
// all inside `guarded` (errors.hpp). A constructor binds and converts the same
// way, then moves the record it builds into a new instance. What a native
// function needs from the frame (its required parameters, the use it takes of
// the receiver, each argument's conversion) is read from its type.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/interruption.hpp"
#include "python/convert.hpp"
#include "python/errors.hpp"
#include "python/number_lists.hpp"
#include "python/ref.hpp"
#include "python/results.hpp"

namespace tamsel::python {

// ---------------------------------------------------------------- instances and their uses

// The uses that calls hold of one index, each from before its arguments are
// converted until its result no longer refers to the index.
struct Uses {
  // 0 free, n > 0 shared uses, -1 the exclusive use.
  std::atomic<std::intptr_t> held{0};
  // How many of the held uses belong to calls paused at a signal point of a
  // long operation (interruption_by_signals). Such a call runs interpreter
  // code there (signal handlers; under PyPy, any entry into its code), which
  // may let another thread run; it then goes on with its own work, which
  // waits for no thread, to its end.
  std::atomic<std::intptr_t> paused_at_signal_point{0};
};

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

enum class Use { Shared, Exclusive };

// Holds one use of an index for the length of a call. A use that conflicts
// with those held waits, with the interpreter lock released, while every one
// of them belongs to a call of another thread paused at a signal point: that
// is the wait for the interpreter lock that those calls would otherwise hold
// throughout. Any other conflict is refused at once with RuntimeError: a use
// of this same thread is a re-entry (from the conversion of an argument or
// from a signal handler), and a call of another thread that is converting its
// arguments may be running code that waits for this thread. (A handler that
// waits for a thread that waits here waits forever, as it would for a lock.)
class Borrow {
 public:
  Borrow(Uses& uses, Use use);
  ~Borrow();
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;

  // The index of the innermost use this thread holds (null: none): the one
  // whose call runs the long operation that asks for it.
  static Uses* innermost();

 private:
  bool held_by_this_thread() const;

  Uses& uses_;
  Use use_;
  Borrow* outer_;  // the use this thread held before this one, if any
};

// Each Python class names its record's type object, created once per process.
template <class Record>
struct PythonClass;  // { static constexpr const char* name; static inline PyTypeObject* type; }

// For the long operations (a PyHNSW batch, a PyFlat scan): lets the
// interpreter run its signal handlers every few milliseconds. A handler that
// raises stops the operation, whose error then raises the handler's exception
// (errors.hpp). A handler runs while the call holds its use of the index, at
// a point where the index is whole; a call it makes into the same index is
// refused by the borrow like any re-entry, and a call of another thread that
// the interpreter lets run meanwhile waits for the use to end. Called by the
// operation, under the use of its call.
Interruption interruption_by_signals();
// What the check needs under PyPy; called once, when the module is created.
void create_signal_point();

// ---------------------------------------------------------------- binding and conversion of arguments

template <std::size_t N>
struct Parameters {
  const char* qualified_name;  // "PyFlat.search"
  std::array<const char*, N> names;
};

// Sorts positional and keyword arguments into parameter slots (null: not given).
void bind_arguments(const char* qualified_name, std::span<const char* const> names, std::size_t required,
                    PyObject* const* args, std::size_t nargs, PyObject* kwnames, PyObject** slots);
void bind_arguments(const char* qualified_name, std::span<const char* const> names, std::size_t required,
                    PyObject* args, PyObject* kwargs, PyObject** slots);

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

// Under PyPy a vector in the first place, given as an exact list or tuple of
// plain numbers, is read before the call takes its use of the index: that
// read runs interpreter-level code (number_lists.hpp), which may let another
// thread in, and while an index is in use no Python code runs but what the
// arguments' own conversions run. Nothing runs between that read and the
// conversion it stands for, the first one, so it gives that conversion's value.
template <class T>
std::optional<T> read_before_use(PyObject*) {
  return std::nullopt;
}
template <>
inline std::optional<std::vector<double>> read_before_use<std::vector<double>>(PyObject* object) {
  return pack_number_list(object);
}

// Whether a parameter after `first` was given: its conversion may run Python code.
bool given_from(PyObject* const* slots, std::size_t first, std::size_t count);

// Python code that converting a later argument runs could change a buffer an
// earlier one views in place; such a view is copied before that code can run.
template <class T, class First>
T convert_in_order(const char* parameter, PyObject* const* slots, std::size_t position, std::size_t count,
                   std::optional<First>& read_before) {
  T value = [&]() -> T {
    if constexpr (std::is_same_v<T, First>) {
      if (position == 0 && read_before) return std::move(*read_before);
    }
    return ArgumentConverter<T>::convert(parameter, slots[position]);
  }();
  if (given_from(slots, position + 1, count)) stop_viewing(value);
  return value;
}

template <class... A, std::size_t N, class First, std::size_t... I>
std::tuple<A...> convert_arguments(const Parameters<N>& params, PyObject* const* slots,
                                   std::optional<First>& read_before, std::index_sequence<I...>) {
  // Braced initialisation evaluates the conversions in parameter order.
  return std::tuple<A...>{convert_in_order<A>(params.names[I], slots, I, sizeof...(A), read_before)...};
}

// The native parameters of a method or constructor, in parameter order.
template <class... A>
struct ArgumentList {
  static constexpr std::size_t arity = sizeof...(A);
  static constexpr std::size_t required = required_count<A...>();
  using First = std::tuple_element_t<0, std::tuple<A...>>;
  // `read_before`: the first argument, when read_before_use read it.
  template <std::size_t N>
  static std::tuple<A...> convert(const Parameters<N>& params, PyObject* const* slots,
                                  std::optional<First> read_before = std::nullopt) {
    return convert_arguments<A...>(params, slots, read_before, std::index_sequence_for<A...>{});
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
struct ConstructorSignature<Rec (*)(A...)> : ArgumentList<A...> {
  using Record = Rec;
};

// ---------------------------------------------------------------- methods

template <class Record>
bool has_instance_layout(PyObject* object) {
  return Py_TYPE(object) == PythonClass<Record>::type;
}

template <class Record>
Instance<Record>& receiver(PyObject* self) {
  if (!PyObject_TypeCheck(self, PythonClass<Record>::type)) raise_not_convertible(self, PythonClass<Record>::name);
  if (!has_instance_layout<Record>(self)) raise_subclass_refused(PythonClass<Record>::type);
  auto& instance = *reinterpret_cast<Instance<Record>*>(self);
  if (!instance.built) raise_unbuilt_instance(PythonClass<Record>::name);
  return instance;
}

// The use of the receiver, the conversion of the arguments and the operation,
// up to a result that no longer refers to the index: the use ends before
// anything runs that could let another thread in (results.hpp).
template <auto Operation, class Signature, std::size_t N>
PendingResult run_borrowed(Instance<typename Signature::Record>& instance, const Parameters<N>& params,
                           PyObject* const* slots, std::optional<typename Signature::First> read_before) {
  const Borrow use(instance.uses, Signature::use);
  auto arguments = Signature::convert(params, slots, std::move(read_before));
  auto call = [&](auto&&... converted) { return Operation(instance.record, std::move(converted)...); };
  if constexpr (std::is_void_v<typename Signature::Result>) {
    std::apply(call, std::move(arguments));
    return PendingResult(Ref::borrow(Py_None));
  } else {
    return pending_result(std::apply(call, std::move(arguments)));
  }
}

// The vector-call entry of a method: `Operation` is its native body.
template <const auto& Params, auto Operation>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  using Signature = MethodSignature<decltype(Operation)>;
  static_assert(Params.names.size() == Signature::arity, "one name per parameter");
  return guarded([&] {
    PyObject* slots[Signature::arity + 1] = {};
    bind_arguments(Params.qualified_name, Params.names, Signature::required, args, static_cast<std::size_t>(nargs),
                   kwnames, slots);
    auto& instance = receiver<typename Signature::Record>(self);
    const Ref keep_alive = Ref::borrow(self);
    // Nothing is read so while an outer call uses the index.
    std::optional<typename Signature::First> read_before;
    if (slots[0] != nullptr && instance.uses.held.load() == 0)
      read_before = read_before_use<typename Signature::First>(slots[0]);
    PendingResult result = run_borrowed<Operation, Signature>(instance, Params, slots, std::move(read_before));
    return std::move(result).finish().release();
  });
}

// ---------------------------------------------------------------- constructors and deallocation

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

// A constructor builds instances of its own class and nothing else. CPython
// checks that before calling it; PyPy passes on whatever `X.__new__(Y)`
// names, a subclass that a mixin let through (types.hpp), a type of another
// layout, or an object that is no type at all. It is compared before its
// memory is read.
void check_type_to_build(PyTypeObject* own, PyTypeObject* requested);

// The `__new__` entry of a class: `Make` builds the record from the arguments.
template <const auto& Params, auto Make>
PyObject* constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  using Traits = ConstructorSignature<decltype(Make)>;
  using Record = typename Traits::Record;
  static_assert(Params.names.size() == Traits::arity, "one name per parameter");
  return guarded([&] {
    check_type_to_build(PythonClass<Record>::type, type);
    PyObject* slots[Traits::arity + 1] = {};
    bind_arguments(Params.qualified_name, Params.names, Traits::required, args, kwargs, slots);
    auto record = std::apply(Make, Traits::convert(Params, slots));
    return new_instance(type, std::move(record));
  });
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
