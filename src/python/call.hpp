// The calling frame shared by every constructor and method of the module.
//
// A method call binds its arguments to the method's parameter table
// (arguments.hpp), checks and borrows the receiver (instance.hpp,
// borrow.hpp), converts the arguments in parameter order
// (conversion_order.hpp), runs the operation and builds its result as new
// Python objects (results.hpp), all inside `guarded` (errors.hpp). A
// constructor binds and converts the same way, then moves the record it
// builds into a new instance. What a native function needs from the frame
// (its required parameters, the use it takes of the receiver, each argument's
// conversion) is read from its type.
#pragma once

#include <cstddef>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>

#include "python/arguments.hpp"
#include "python/borrow.hpp"
#include "python/conversion_order.hpp"
#include "python/errors.hpp"
#include "python/instance.hpp"
#include "python/ref.hpp"
#include "python/results.hpp"

namespace tamsel::python {

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

// The use of the receiver, the conversion of the arguments and the operation,
// up to a result that no longer refers to the index: the use ends before
// anything runs that could let another thread in (pending_result.hpp).
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

}  // namespace tamsel::python
