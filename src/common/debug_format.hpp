// Structured debug renderings shared by every type's text form:
// `Name { field: value, ... }`, `Some(x)` / `None`, `[a, b]`, decimal integers.
#pragma once

#include <array>
#include <concepts>
#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace vessik_exchange::debug {

template <typename T>
void write(std::ostream& out, const T& value);

template <typename T>
struct IsOptional : std::false_type {};
template <typename T>
struct IsOptional<std::optional<T>> : std::true_type {};

template <typename T>
void write(std::ostream& out, const T& value) {
  if constexpr (std::is_same_v<T, bool>) {
    out << (value ? "true" : "false");
  } else if constexpr (std::is_same_v<T, std::uint8_t> || std::is_same_v<T, std::int8_t>) {
    out << static_cast<int>(value);
  } else if constexpr (std::is_integral_v<T>) {
    out << value;
  } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    out << '"' << std::string_view(value) << '"';
  } else if constexpr (IsOptional<T>::value) {
    if (value) {
      out << "Some(";
      write(out, *value);
      out << ')';
    } else {
      out << "None";
    }
  } else if constexpr (requires(std::ostream & o, const T& v) { o << v; }) {
    out << value;
  } else if constexpr (requires(const T& v) {
                         std::begin(v);
                         std::end(v);
                       }) {
    out << '[';
    bool first = true;
    for (const auto& element : value) {
      if (!first) out << ", ";
      first = false;
      write(out, element);
    }
    out << ']';
  } else {
    static_assert(sizeof(T) == 0, "no debug rendering for this type");
  }
}

/// Builds `Name { a: 1, b: 2 }`; a struct without fields renders as `Name`.
class Struct {
 public:
  Struct(std::ostream& out, std::string_view name) : out_(out) { out_ << name; }
  template <typename T>
  Struct& field(std::string_view name, const T& value) {
    out_ << (first_ ? " { " : ", ") << name << ": ";
    first_ = false;
    write(out_, value);
    return *this;
  }
  void finish() {
    if (!first_) out_ << " }";
  }

 private:
  std::ostream& out_;
  bool first_ = true;
};

/// Renders anything `write` accepts into a string.
template <typename T>
std::string render(const T& value) {
  std::ostringstream out;
  write(out, value);
  return out.str();
}

/// `to_string` in terms of `operator<<`.
template <typename T>
std::string stream_to_string(const T& value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

}  // namespace vessik_exchange::debug
