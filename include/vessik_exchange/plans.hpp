// Transfer plans: the fixed nine-word instruction rows of one transfer, their builders, and the
// row-level address patching and time shifting.
#pragma once

#include <array>
#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "vessik_exchange/error.hpp"

namespace vessik_exchange {

/// Nine instruction words of one tile's part of one transfer.
using PlanRow = std::array<std::uint32_t, 9>;

struct PreparedTransfer;

/// A point-to-point transfer: sender row and the receiver row in its patchable form.
struct Plan {
  PlanRow sender{};
  PlanRow receiver{};
  bool operator==(const Plan&) const = default;
};

/// A multicast transfer: sender row and one receiver row per requested receiver, in order.
struct MulticastPlan {
  PlanRow sender{};
  std::vector<PlanRow> receivers;

  /// Analyses the rows into the timing the phase builder places; borrows this plan.
  [[nodiscard]] Result<PreparedTransfer> prepare() const;

  bool operator==(const MulticastPlan&) const = default;
};

/// One sender address group: (word index in the row, byte offset from the group's SEND).
using SenderAddressGroup = std::vector<std::pair<std::size_t, std::uint32_t>>;

/// Accepts word counts 1 to 4148, else `Count(count)`.
[[nodiscard]] Result<void> validate_count(std::uint32_t count);
/// Sender row: SYNC, optional delay, SEND (and offset SEND), closing delay, RET.
[[nodiscard]] Result<PlanRow> primitive_sender_row(std::uint32_t count, std::uint32_t direction,
                                                   std::int32_t sender_delay);
/// The four closing words of an ordinary receiver row.
[[nodiscard]] std::array<std::uint32_t, 4> ordinary_receiver_tail(std::uint32_t count,
                                                                  std::uint32_t receiver_phase,
                                                                  std::uint32_t address);
/// Replaces the send control of every payload-carrying word of a sender row.
[[nodiscard]] Result<void> set_sender_control(PlanRow& row, std::uint8_t send_control);
/// Event horizon of a row: the sum of its advances (a SENDPICP counted once).
[[nodiscard]] Result<std::uint32_t> plan_event_cycles(std::span<const std::uint32_t> row);

/// Patches `byte_address` into the first SEND of a sender row.
[[nodiscard]] Result<void> patch_sender_address(PlanRow& row, std::uint32_t byte_address);
/// Patches `byte_address` into one SEND or SENDPICP first word.
[[nodiscard]] Result<void> patch_sender_instruction(std::uint32_t& instruction,
                                                    std::uint32_t byte_address);
/// Patches the first receive address of a receiver row.
[[nodiscard]] Result<void> patch_receiver_address(PlanRow& row, std::uint32_t byte_address);
/// The address-carrying send words of a sender row, grouped by their SEND.
[[nodiscard]] Result<std::vector<SenderAddressGroup>> sender_address_instruction_groups(
    std::span<const std::uint32_t> row);
/// A copy of `row` with every address field cleared.
[[nodiscard]] std::vector<std::uint32_t> normalized_exchange_address_words(
    std::span<const std::uint32_t> row);
/// Delays a whole row by `cycles` by inserting plain delays after its entry word.
[[nodiscard]] Result<void> offset_plan(PlanRow& row, std::uint32_t cycles);
/// The directly executable form of a patchable point-to-point receiver row.
[[nodiscard]] Result<PlanRow> finalize_point_receiver(const PlanRow& row,
                                                      std::uint16_t source_physical);

/// Debug rendering of a row, words in decimal: `[1098907651, 1084227614, ...]`.
[[nodiscard]] std::string row_to_string(std::span<const std::uint32_t> row);
/// Debug rendering: `Plan { sender: [...], receiver: [...] }`.
[[nodiscard]] std::string to_string(const Plan& plan);
/// Debug rendering: `MulticastPlan { sender: [...], receivers: [[...], ...] }`.
[[nodiscard]] std::string to_string(const MulticastPlan& plan);
/// Writes the debug rendering.
std::ostream& operator<<(std::ostream& out, const Plan& plan);
/// Writes the debug rendering.
std::ostream& operator<<(std::ostream& out, const MulticastPlan& plan);

}  // namespace vessik_exchange
