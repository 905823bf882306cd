// Diagnostics: encoded exchange programs decoded back into typed operations, listed with their
// addresses and cycle intervals, and rendered as text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "vessik_exchange/error.hpp"

namespace vessik_exchange {
class TileProgramSchedule;
}  // namespace vessik_exchange

namespace vessik_exchange::diagnostic {

/// The two receive-control streams of a tile.
enum class IncomingControlStream : std::uint8_t {
  /// Receive pointer and format, written by PIC delays and the PIC half of send controls.
  Pic = 0,
  /// Incoming mux, written by XPIC delays and the XPIC half of send controls.
  Xpic = 1,
};

/// One receive control issued by a program, with its selector bit kept in `value`.
struct IncomingControl {
  IncomingControlStream stream = IncomingControlStream::Pic;
  /// Up to 19 bits for `Pic` (bit 18 is the selector), up to 14 for `Xpic` (bit 13).
  std::uint32_t value = 0;

  bool operator==(const IncomingControl&) const = default;
};

/// Which of the four send forms a decoded send came from.
enum class SendEncoding : std::uint8_t {
  Explicit = 0,
  Offset = 1,
  Pic = 2,
  PicPair = 3,
};

/// A decoded exchange operation.
class PlanOperation {
 public:
  struct Delay {
    bool operator==(const Delay&) const = default;
  };
  struct SetImmediate {
    std::uint8_t register_ = 0;
    std::uint32_t value = 0;
    bool operator==(const SetImmediate&) const = default;
  };
  struct WriteBase {
    bool incoming = false;
    std::uint8_t register_ = 0;
    bool operator==(const WriteBase&) const = default;
  };
  struct Send {
    SendEncoding encoding = SendEncoding::Explicit;
    /// Payload words, equal to the cycles the send occupies.
    std::uint32_t words = 0;
    /// Address or offset operand as the word carries it, unscaled.
    std::uint32_t raw_operand = 0;
    /// The 3-bit send-control field; absent for SENDPIC, which has none.
    std::optional<std::uint8_t> send_control;
    /// Empty for plain sends, one for SENDPIC, XPIC then PIC for SENDPICP.
    std::vector<IncomingControl> controls;
    bool operator==(const Send&) const = default;
  };
  struct Sync {
    std::uint8_t operand = 0;
    bool operator==(const Sync&) const = default;
  };
  struct Return {
    bool operator==(const Return&) const = default;
  };
  struct Unknown {
    std::uint32_t word = 0;
    bool operator==(const Unknown&) const = default;
  };

  /// Alternatives in declaration order; a PIC or XPIC delay holds its `IncomingControl`.
  using Variant =
      std::variant<Delay, SetImmediate, WriteBase, IncomingControl, Send, Sync, Return, Unknown>;

  /// Wraps one alternative.
  PlanOperation(Variant value) : value_(std::move(value)) {}  // NOLINT: implicit by design
  /// Wraps one alternative given as its own type (`PlanOperation::Delay{}`, `IncomingControl{}`).
  template <typename T>
  requires(!std::is_same_v<std::remove_cvref_t<T>, PlanOperation> &&
           !std::is_same_v<std::remove_cvref_t<T>, Variant> &&
           std::is_constructible_v<Variant, T&&>)
      PlanOperation(T&& alternative)  // NOLINT: implicit by design
      : value_(std::forward<T>(alternative)) {}

  /// The alternative held.
  [[nodiscard]] const Variant& value() const { return value_; }
  /// True when this operation holds alternative `T`.
  template <typename T>
  [[nodiscard]] bool is() const {
    return std::holds_alternative<T>(value_);
  }
  /// The alternative `T`, or null when another one is held.
  template <typename T>
  [[nodiscard]] const T* get_if() const {
    return std::get_if<T>(&value_);
  }

  bool operator==(const PlanOperation&) const = default;

 private:
  Variant value_;
};

/// One decoded instruction: the operation, the cycles it occupies and the words it consumed.
struct DecodedOperation {
  PlanOperation operation;
  std::uint32_t cycles = 0;
  std::size_t consumed = 0;

  bool operator==(const DecodedOperation&) const = default;
};

/// Decodes the instruction starting at `words[offset]`; `offset` must lie inside `words`.
/// Any word decodes; only a SENDPICP first word without its second word fails.
[[nodiscard]] Result<DecodedOperation> decode_operation(std::span<const std::uint32_t> words,
                                                        std::size_t offset);

/// Sort key of controls within one cycle: (0 for `Pic`, 1 for `Xpic`; value).
[[nodiscard]] constexpr std::pair<std::uint8_t, std::uint32_t> control_key(
    const IncomingControl& control) {
  return {static_cast<std::uint8_t>(control.stream), control.value};
}

/// One instruction of a listing.
struct DecodedPlanInstruction {
  /// Index of the instruction's first word in the program.
  std::uint32_t word_offset = 0;
  /// Byte address of the first word; absent when the program was listed without a base.
  std::optional<std::uint32_t> address;
  std::uint32_t start_cycle = 0;
  std::uint32_t end_cycle = 0;
  PlanOperation operation{PlanOperation::Delay{}};

  bool operator==(const DecodedPlanInstruction&) const = default;
};

/// The listing of a whole program.
struct PlanProgramDiagnostic {
  /// One entry per instruction in program order; a SENDPICP is one entry.
  std::vector<DecodedPlanInstruction> instructions;
  /// End cycle of the last instruction, 0 for an empty program.
  std::uint32_t event_cycles = 0;
  /// Number of words in the program.
  std::uint32_t row_words = 0;

  /// Every instruction line, each followed by a line feed.
  [[nodiscard]] std::string render() const;
  /// The instruction covering `address` (marked ">") and up to `radius` instructions each side.
  [[nodiscard]] std::string render_around_address(std::uint32_t address, std::size_t radius) const;

  bool operator==(const PlanProgramDiagnostic&) const = default;
};

/// Lists `words` with the cycle interval of every instruction and, given `base_address`, its
/// byte address. Fails on a truncated SENDPICP or a clock or address past 32 bits.
[[nodiscard]] Result<PlanProgramDiagnostic> diagnose_plan_program(
    std::span<const std::uint32_t> words, std::optional<std::uint32_t> base_address);

/// Checks an encoded tile program against its schedule: horizon, known instructions, outgoing
/// base writes, receive controls and sender intervals, in that order. `tile` only labels the
/// debug event raised on a control mismatch. Returns the program's listing.
[[nodiscard]] Result<PlanProgramDiagnostic> validate_tile_program(
    std::size_t tile, const TileProgramSchedule& schedule, std::span<const std::uint32_t> words);

/// Enumerator name: `Pic`, `Xpic`.
[[nodiscard]] std::string to_string(IncomingControlStream stream);
/// `IncomingControl { stream: Pic, value: 262145 }`.
[[nodiscard]] std::string to_string(const IncomingControl& control);
/// Enumerator name: `Explicit`, `Offset`, `Pic`, `PicPair`.
[[nodiscard]] std::string to_string(SendEncoding encoding);
/// `Delay`, `Sync(5)`, `Send { encoding: Explicit, ... }`, ...
[[nodiscard]] std::string to_string(const PlanOperation& operation);
/// `DecodedOperation { operation: Delay, cycles: 3, consumed: 1 }`.
[[nodiscard]] std::string to_string(const DecodedOperation& decoded);
/// The instruction line: `0x60004 cycles=3..3 Return` or `word+0 cycles=0..3 Delay`.
[[nodiscard]] std::string to_string(const DecodedPlanInstruction& instruction);
/// `PlanProgramDiagnostic { instructions: [<lines>], event_cycles: 3, row_words: 2 }`.
[[nodiscard]] std::string to_string(const PlanProgramDiagnostic& diagnostic);
/// Writes the text form of `to_string`.
std::ostream& operator<<(std::ostream& out, IncomingControlStream stream);
/// Writes the text form of `to_string`.
std::ostream& operator<<(std::ostream& out, const IncomingControl& control);
/// Writes the text form of `to_string`.
std::ostream& operator<<(std::ostream& out, SendEncoding encoding);
/// Writes the text form of `to_string`.
std::ostream& operator<<(std::ostream& out, const PlanOperation& operation);
/// Writes the text form of `to_string`.
std::ostream& operator<<(std::ostream& out, const DecodedOperation& decoded);
/// Writes the text form of `to_string`.
std::ostream& operator<<(std::ostream& out, const DecodedPlanInstruction& instruction);
/// Writes the text form of `to_string`.
std::ostream& operator<<(std::ostream& out, const PlanProgramDiagnostic& diagnostic);

}  // namespace vessik_exchange::diagnostic
