// A value or an error, the return type of every fallible client-layer call.
#pragma once

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "client/error.h"

namespace halvane {

template <typename T, typename E = Error>
class Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT
  Result(Error::Kind kind)                                           // NOLINT
      requires std::is_same_v<E, Error> : v_(std::in_place_index<1>, Error(kind)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T &value() & { return std::get<0>(v_); }
  T &&value() && { return std::get<0>(std::move(v_)); }
  const E &error() const { return std::get<1>(v_); }

 private:
  std::variant<T, E> v_;
};

// Result of an operation that yields nothing on success.
template <typename E>
class Result<void, E> {
 public:
  Result() = default;
  Result(E error) : error_(std::move(error)) {}  // NOLINT
  Result(Error::Kind kind)                       // NOLINT
      requires std::is_same_v<E, Error> : error_(Error(kind)) {}

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  const E &error() const { return *error_; }

 private:
  std::optional<E> error_;
};

using Status = Result<void>;

// Maps a Core result code to a Status.
inline Status check(int32_t code) {
  if (auto err = Error::from_code(code)) return *err;
  return {};
}

}  // namespace halvane
