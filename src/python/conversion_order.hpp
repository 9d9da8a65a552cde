// The conversion of a call's arguments to native values, in parameter order.
//
// Python code that a conversion runs (a `__float__`, an iterator) may change
// what another argument holds, or re-enter the index (borrow.hpp). So the
// arguments are converted one after another in parameter order, each once;
// a value that views a caller's buffer in place is copied before the next
// conversion can run such code; and under PyPy a first vector that the
// interpreter reads in one go is read before the call takes its use of the
// index (read_before_use).
#pragma once

#include <cstddef>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "python/arguments.hpp"
#include "python/convert.hpp"
#include "python/messages.hpp"
#include "python/pypy_number_lists.hpp"
#include "python/vector_list.hpp"

namespace tamsel::python {

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
// read runs interpreter-level code (pypy_number_lists.hpp), which may let
// another thread in, and while an index is in use no Python code runs but what
// the arguments' own conversions run. Nothing runs between that read and the
// conversion it stands for, the first one, so it gives that conversion's value.
template <class T>
std::optional<T> read_before_use(PyObject*) {
  return std::nullopt;
}
template <>
inline std::optional<std::vector<double>> read_before_use<std::vector<double>>(PyObject* object) {
  return pack_number_list(object);
}

// Values that view a caller's memory copy it here; other values own theirs.
template <class T>
void stop_viewing(T&) {}
inline void stop_viewing(VectorList& list) { list.stop_viewing(); }
template <class T>
void stop_viewing(std::optional<T>& value) {
  if (value) stop_viewing(*value);
}

template <class T, class First>
T convert_in_order(const char* parameter, PyObject* const* slots, std::size_t position, std::size_t count,
                   std::optional<First>& read_before) {
  T value = [&]() -> T {
    if constexpr (std::is_same_v<T, First>) {
      if (position == 0 && read_before) return std::move(*read_before);
    }
    return ArgumentConverter<T>::convert(parameter, slots[position]);
  }();
  // A later conversion that runs Python code could change the viewed buffer.
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

}  // namespace tamsel::python
