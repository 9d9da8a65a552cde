// The core never throws for the failures a caller must handle: an operation
// returns its value or one value of its error enumeration. What it throws is
// std::bad_alloc, a limit of its representation or a broken invariant
// (exceptions.hpp).
#pragma once

#include <utility>
#include <variant>

namespace tamsel {

template <class T, class E>
class Result {
 public:
  Result(T value) : state_(std::move(value)) {}
  Result(E error) : state_(error) {}

  bool ok() const { return state_.index() == 0; }
  E error() const { return std::get<1>(state_); }
  T& value() & { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }

 private:
  std::variant<T, E> state_;
};

}  // namespace tamsel
