// Check harness: runs a static registry of named checks, filters them from the command line,
// reports each as passed, failed or ignored, and sets the exit status.
#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <source_location>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "vessik_exchange/error.hpp"

namespace vessik_exchange::harness {

/// Where a check is defined; used only in reports.
struct CheckSite {
  const char* file;
  unsigned line;
};

/// One registry entry.
struct CheckDescriptor {
  std::string_view name;
  bool ignored;
  std::optional<std::string_view> ignore_reason;
  const CheckSite* site;
  void (*body)();
};

/// Raised inside a check body by a failed assertion; caught by the harness.
struct CheckFailure {
  std::string message;
};

/// Runs the registry as the command line asks; returns the process exit status.
[[nodiscard]] int run_checks(std::span<const CheckDescriptor> registry, int argc,
                             const char* const* argv);

/// Fails the running check with `message` at `where`.
[[noreturn]] void fail_check(std::string_view message,
                             std::source_location where = std::source_location::current());

namespace detail {
template <typename T>
concept Streamable = requires(std::ostream& out, const T& value) {
  out << value;
};

template <typename T>
std::string show(const T& value) {
  if constexpr (std::is_same_v<T, bool>) {
    return value ? "true" : "false";
  } else if constexpr (std::is_same_v<T, std::uint8_t> || std::is_same_v<T, std::int8_t>) {
    return std::to_string(static_cast<int>(value));
  } else if constexpr (Streamable<T>) {
    std::ostringstream out;
    out << value;
    return out.str();
  } else if constexpr (requires(const T& v) {
                         v.begin();
                         v.end();
                       }) {
    std::string text = "[";
    bool first = true;
    for (const auto& element : value) {
      if (!first) text += ", ";
      first = false;
      text += show(element);
    }
    return text + "]";
  } else {
    return "<value>";
  }
}
}  // namespace detail

/// Fails unless `left == right`, showing both values.
template <typename L, typename R>
void check_eq(const L& left, const R& right, const char* expression,
              std::source_location where = std::source_location::current()) {
  if (!(left == right)) {
    fail_check(std::string(expression) + "\n  left:  " + detail::show(left) +
                   "\n  right: " + detail::show(right),
               where);
  }
}

/// Fails unless `condition` holds.
inline void check_true(bool condition, const char* expression,
                       std::source_location where = std::source_location::current()) {
  if (!condition) fail_check(expression, where);
}

/// The value of a successful result; an error fails the check with the error's rendering.
template <typename T>
T require_ok(Result<T> result, std::source_location where = std::source_location::current()) {
  if (!result) fail_check("ExchangeError met: " + to_string(result.error()), where);
  if constexpr (!std::is_void_v<T>) return std::move(*result);
}

/// The error of a failing result; success fails the check.
template <typename T>
ExchangeError require_err(Result<T> result,
                          std::source_location where = std::source_location::current()) {
  if (result) fail_check("expected an ExchangeError, got success", where);
  return result.error();
}

}  // namespace vessik_exchange::harness

/// Defines check `name` in the current namespace, recording its site for reports.
#define VX_CHECK_DEFINE(name)                                                  \
  extern const ::vessik_exchange::harness::CheckSite name##_site;              \
  const ::vessik_exchange::harness::CheckSite name##_site{__FILE__, __LINE__}; \
  void name()

#define VX_CHECK(cond) ::vessik_exchange::harness::check_true(static_cast<bool>(cond), #cond)
#define VX_CHECK_EQ(left, right) \
  ::vessik_exchange::harness::check_eq((left), (right), #left " == " #right)
#define VX_OK(expr) ::vessik_exchange::harness::require_ok((expr))
#define VX_ERR(expr) ::vessik_exchange::harness::require_err((expr))
