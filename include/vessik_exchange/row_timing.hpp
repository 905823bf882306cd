// Row timing: plan rows analysed into payload intervals and timed receive controls, and the
// continuity rules between consecutive receives on one tile.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "vessik_exchange/error.hpp"
#include "vessik_exchange/plans.hpp"

namespace vessik_exchange {

/// Kind of one incoming control.
enum class ReceiveEventKind : std::uint8_t {
  OrdinarySource = 0,
  OrdinaryNeutral = 1,
  PairedSource = 2,
  PairedNeutral = 3,
  PairedPointer = 4,
  Pointer = 5,
  Format = 6,
  OutgoingBase = 7,
};

/// True for the XPIC kinds (mux source and teardown).
[[nodiscard]] constexpr bool is_xpic(ReceiveEventKind kind) {
  return static_cast<std::uint8_t>(kind) <= 3;
}
/// True for the PIC kinds (pointer and format).
[[nodiscard]] constexpr bool is_pic(ReceiveEventKind kind) {
  const auto v = static_cast<std::uint8_t>(kind);
  return v >= 4 && v <= 6;
}

/// Receive mode of a row.
enum class ReceiveMode : std::uint8_t { Ordinary = 0, Paired64 = 1 };

/// One timed incoming control and the delay word that carries it.
struct ReceiveEvent {
  std::uint32_t cycles = 0;
  std::uint32_t instruction = 0;
  ReceiveEventKind kind = ReceiveEventKind::OrdinarySource;

  /// Cycle at which the carrying instruction must begin (saturating at 0).
  [[nodiscard]] constexpr std::uint32_t issue_start() const {
    const std::uint32_t lead = kind == ReceiveEventKind::OutgoingBase ? 13u : 1u;
    return cycles >= lead ? cycles - lead : 0u;
  }
  bool operator==(const ReceiveEvent&) const = default;
};

/// Timed receive controls of one receiver row at a schedule offset.
struct ReceiveRowTiming {
  ReceiveMode mode = ReceiveMode::Ordinary;
  std::vector<ReceiveEvent> events;
  std::optional<std::uint32_t> neutral_cycles;
  std::optional<std::uint32_t> source_cycles;
  std::optional<std::uint32_t> format_start_cycles;
  std::optional<std::uint32_t> format_end_cycles;
  std::optional<std::uint32_t> pointer_cycles;
  std::uint32_t horizon_cycles = 0;
  std::optional<std::uint32_t> pointer_address;

  /// Value (1 or 2) of the format setup, absent for a row without one.
  [[nodiscard]] std::optional<std::uint32_t> paired_format() const;

  bool operator==(const ReceiveRowTiming&) const = default;
};

/// Payload interval and horizon of a sender row.
struct ScheduledPayloadTiming {
  std::uint32_t payload_start = 0;
  std::uint32_t payload_end = 0;
  std::uint32_t horizon = 0;

  /// All three cycles shifted by `offset` ("sender event horizon overflow").
  [[nodiscard]] Result<ScheduledPayloadTiming> at(std::uint32_t offset) const;

  bool operator==(const ScheduledPayloadTiming&) const = default;
};

/// A multicast plan analysed at offset 0. Borrows the plan: it must not outlive it.
struct PreparedTransfer {
  std::reference_wrapper<const MulticastPlan> rows;
  ScheduledPayloadTiming sender;
  std::vector<ReceiveRowTiming> receivers;
};

/// The receive window a receiver row contributes at an offset, after the previous stream.
struct ScheduledReceiverWindow {
  bool continues_format = false;
  std::vector<ReceiveEvent> events;
  std::uint32_t source_start = 0;
  std::uint32_t source_end = 0;
  std::uint32_t payload_start = 0;
  std::uint32_t payload_end = 0;
  std::uint32_t horizon = 0;
  std::optional<std::uint32_t> pointer_address;

  bool operator==(const ScheduledReceiverWindow&) const = default;
};

/// Continuity state left by the latest receive on a tile.
struct ReceiveStream {
  ReceiveMode mode = ReceiveMode::Ordinary;
  std::optional<std::uint32_t> paired_format;
  std::optional<std::uint32_t> format_end_cycles;
  std::uint32_t source_end_cycles = 0;
  std::uint32_t pointer_end_cycles = 0;
  std::optional<std::uint32_t> next_address;

  bool operator==(const ReceiveStream&) const = default;
};

/// Analyses a receiver row whose first instruction after its entry starts at `schedule_offset`.
[[nodiscard]] Result<ReceiveRowTiming> receive_row_timing(const PlanRow& row,
                                                          std::uint32_t schedule_offset);
/// The same analysis shifted by `offset` without re-reading the row.
[[nodiscard]] Result<ReceiveRowTiming> receive_row_timing_from_base(const ReceiveRowTiming& base,
                                                                    std::uint32_t offset);
/// Payload interval and horizon of a sender row at `schedule_offset`.
[[nodiscard]] Result<ScheduledPayloadTiming> scheduled_sender_timing(const PlanRow& row,
                                                                     std::uint32_t schedule_offset);
/// Rejects same-cycle controls that cannot share one instruction; `events` sorted by cycles.
[[nodiscard]] Result<void> validate_receive_events(std::span<const ReceiveEvent> events);
/// True when one fused send-control pair can carry both controls on their common cycle.
[[nodiscard]] bool receive_events_can_share_instruction(const ReceiveEvent& left,
                                                        const ReceiveEvent& right);

/// The window of a receive of `received_words` placed at `schedule_offset` after `previous`.
[[nodiscard]] Result<ScheduledReceiverWindow> scheduled_receive_window(
    const ReceiveRowTiming& base, std::uint32_t schedule_offset, std::uint32_t received_words,
    const ReceiveStream* previous);
/// True when the already scheduled `event` is made redundant by the new window `timing`.
[[nodiscard]] bool replaces_receive_event(const ReceiveEvent& event, ReceiveMode mode,
                                          const ScheduledReceiverWindow& timing,
                                          const ReceiveStream& previous);

/// Enumerator name, e.g. `PairedPointer`.
[[nodiscard]] std::string to_string(ReceiveEventKind kind);
/// Enumerator name, e.g. `Paired64`.
[[nodiscard]] std::string to_string(ReceiveMode mode);
/// Debug rendering: `ReceiveEvent { cycles: 113, instruction: 1679556608, kind: OrdinarySource }`.
[[nodiscard]] std::string to_string(const ReceiveEvent& event);
/// Debug rendering with every field.
[[nodiscard]] std::string to_string(const ReceiveRowTiming& timing);
/// Debug rendering with every field.
[[nodiscard]] std::string to_string(const ScheduledPayloadTiming& timing);
/// Debug rendering with every field.
[[nodiscard]] std::string to_string(const PreparedTransfer& transfer);
/// Debug rendering with every field.
[[nodiscard]] std::string to_string(const ScheduledReceiverWindow& window);
/// Debug rendering with every field.
[[nodiscard]] std::string to_string(const ReceiveStream& stream);
std::ostream& operator<<(std::ostream& out, ReceiveEventKind kind);
std::ostream& operator<<(std::ostream& out, ReceiveMode mode);
std::ostream& operator<<(std::ostream& out, const ReceiveEvent& event);
std::ostream& operator<<(std::ostream& out, const ReceiveRowTiming& timing);
std::ostream& operator<<(std::ostream& out, const ScheduledPayloadTiming& timing);
std::ostream& operator<<(std::ostream& out, const PreparedTransfer& transfer);
std::ostream& operator<<(std::ostream& out, const ScheduledReceiverWindow& window);
std::ostream& operator<<(std::ostream& out, const ReceiveStream& stream);

}  // namespace vessik_exchange
