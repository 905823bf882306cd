// The library's one error type and the result alias every fallible operation returns.
#pragma once

#include <cstdint>
#include <expected>
#include <iosfwd>
#include <string>
#include <string_view>
#include <variant>

namespace vessik_exchange {

/// Every rejected operation of the library, as a small copyable value.
class ExchangeError {
 public:
  struct ValidationBudgetExceeded {
    bool operator==(const ValidationBudgetExceeded&) const = default;
  };
  struct Tile {
    std::uint16_t tile;
    bool operator==(const Tile&) const = default;
  };
  struct DuplicateTile {
    bool operator==(const DuplicateTile&) const = default;
  };
  struct Count {
    std::uint32_t count;
    bool operator==(const Count&) const = default;
  };
  struct ReceiverSet {
    bool operator==(const ReceiverSet&) const = default;
  };
  /// Holds a static text compiled into the library; compared by content.
  struct Schedule {
    std::string_view message;
    bool operator==(const Schedule&) const = default;
  };
  struct PlanOffsetRange {
    std::uint32_t cycles;
    std::uint32_t maximum;
    bool operator==(const PlanOffsetRange&) const = default;
  };
  struct Address {
    std::uint32_t address;
    bool operator==(const Address&) const = default;
  };
  struct HostPacket {
    bool operator==(const HostPacket&) const = default;
  };

  using Variant = std::variant<ValidationBudgetExceeded, Tile, DuplicateTile, Count, ReceiverSet,
                               Schedule, PlanOffsetRange, Address, HostPacket>;

  /// Wraps one variant.
  constexpr ExchangeError(Variant value) : value_(value) {}  // NOLINT: implicit by design

  /// The budget of the phase builder is used up.
  static constexpr ExchangeError validation_budget_exceeded() {
    return Variant{ValidationBudgetExceeded{}};
  }
  /// A tile number outside the topology or builder.
  static constexpr ExchangeError tile(std::uint16_t t) { return Variant{Tile{t}}; }
  /// A tile named twice where tiles must be distinct.
  static constexpr ExchangeError duplicate_tile() { return Variant{DuplicateTile{}}; }
  /// A transfer word count outside the allowed range.
  static constexpr ExchangeError count(std::uint32_t c) { return Variant{Count{c}}; }
  /// An unusable receiver list.
  static constexpr ExchangeError receiver_set() { return Variant{ReceiverSet{}}; }
  /// Any other rejection; `message` must be a string literal.
  static constexpr ExchangeError schedule(std::string_view message) {
    return Variant{Schedule{message}};
  }
  /// A plan that cannot be shifted by `cycles`.
  static constexpr ExchangeError plan_offset_range(std::uint32_t cycles, std::uint32_t maximum) {
    return Variant{PlanOffsetRange{cycles, maximum}};
  }
  /// A byte address that does not fit a row's address fields.
  static constexpr ExchangeError address(std::uint32_t a) { return Variant{Address{a}}; }
  /// A host packet or host transfer request outside the packet rules.
  static constexpr ExchangeError host_packet() { return Variant{HostPacket{}}; }

  /// The variant held.
  [[nodiscard]] constexpr const Variant& value() const { return value_; }
  /// True when this error holds variant `T`.
  template <typename T>
  [[nodiscard]] constexpr bool is() const {
    return std::holds_alternative<T>(value_);
  }
  /// The text of a `Schedule` error, empty for every other variant.
  [[nodiscard]] constexpr std::string_view schedule_message() const {
    if (const auto* s = std::get_if<Schedule>(&value_)) return s->message;
    return {};
  }

  constexpr bool operator==(const ExchangeError&) const = default;

 private:
  Variant value_;
};

/// Result of every fallible operation of the library.
template <typename T>
using Result = std::expected<T, ExchangeError>;

/// Shorthand for the failing side of a `Result`.
[[nodiscard]] constexpr std::unexpected<ExchangeError> fail(ExchangeError error) {
  return std::unexpected<ExchangeError>(error);
}
/// Shorthand for a failing `Schedule` result.
[[nodiscard]] constexpr std::unexpected<ExchangeError> fail_schedule(std::string_view message) {
  return std::unexpected<ExchangeError>(ExchangeError::schedule(message));
}

/// Debug rendering: `Tile(5)`, `Schedule("setzi operand")`, ...
[[nodiscard]] std::string to_string(const ExchangeError& error);
/// Writes the debug rendering.
std::ostream& operator<<(std::ostream& out, const ExchangeError& error);

}  // namespace vessik_exchange
