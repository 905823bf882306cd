// Exchange word emission: scheduled sender rows and receive events of one tile turned into
// instruction words on one cycle timeline. Every emitter only appends to its word sink and
// advances `event_cycles`, the cycle at which the next appended instruction starts.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "vessik_exchange/chunked.hpp"
#include "vessik_exchange/error.hpp"
#include "vessik_exchange/plans.hpp"
#include "vessik_exchange/row_timing.hpp"

namespace vessik_exchange {

/// A sender row placed in a tile's phase: its payload runs from `start_cycles` to `end_cycles`.
struct ScheduledSenderRow {
  PlanRow row{};
  std::uint32_t start_cycles = 0;
  std::uint32_t end_cycles = 0;

  bool operator==(const ScheduledSenderRow&) const = default;
};

/// Debug rendering: `ScheduledSenderRow { row: [...], start_cycles: 5354, end_cycles: 5382 }`.
[[nodiscard]] std::string to_string(const ScheduledSenderRow& sender);
/// Writes the debug rendering.
std::ostream& operator<<(std::ostream& out, const ScheduledSenderRow& sender);

/// Number of words in a plain word vector.
[[nodiscard]] inline std::size_t row_words_len(const std::vector<std::uint32_t>& words) {
  return words.size();
}
/// Appends one word to a plain word vector.
inline void row_words_push(std::vector<std::uint32_t>& words, std::uint32_t word) {
  words.push_back(word);
}
/// Number of words in a chunked word sequence.
[[nodiscard]] inline std::size_t row_words_len(const Chunked<std::uint32_t>& words) {
  return words.len();
}
/// Appends one word to a chunked word sequence.
inline void row_words_push(Chunked<std::uint32_t>& words, std::uint32_t word) {
  words.push(word);
}

/// A word sink the emitters append to; positions in it are positions in the tile program. The
/// emitters below are compiled for `std::vector<std::uint32_t>` and `Chunked<std::uint32_t>`.
template <typename S>
concept RowWords = requires(S& sink, const S& view, std::uint32_t word) {
  { row_words_len(view) } -> std::same_as<std::size_t>;
  row_words_push(sink, word);
};

/// Called after each emitted receive-event group with (index after the group, words so far,
/// `event_cycles`, the boundary that limited a SENDPICP carrier or none).
using ReceiveGroupRecorder =
    std::function<void(std::size_t, std::size_t, std::uint32_t, std::optional<std::uint32_t>)>;

/// The initial SEND of a sender row and its total payload words (offset SENDs included).
[[nodiscard]] Result<std::pair<std::uint32_t, std::uint32_t>> sender_payload(const PlanRow& row);

/// SENDPIC of `count_minus_one + 1` words carrying the control of `event`.
[[nodiscard]] Result<std::uint32_t> encode_send_control(std::uint32_t count_minus_one,
                                                        const ReceiveEvent& event);

/// The two words of a SENDPICP carrying one PIC and one XPIC control due on the same cycle.
[[nodiscard]] Result<std::pair<std::uint32_t, std::uint32_t>> encode_send_control_pair(
    std::uint32_t count_minus_one, std::uint32_t source_word_address, std::uint32_t send_control,
    std::span<const ReceiveEvent> events);

/// Plain delays from `event_cycles` up to `target_cycles`.
template <RowWords S>
[[nodiscard]] Result<void> append_plain_delay(S& words, std::uint32_t& event_cycles,
                                              std::uint32_t target_cycles);

/// Plain delays up to `target_cycles` leaving the word count with parity `word_parity`.
template <RowWords S>
[[nodiscard]] Result<void> append_plain_delay_aligned(S& words, std::uint32_t& event_cycles,
                                                      std::uint32_t target_cycles,
                                                      std::size_t word_parity);

/// `count` payload words of one sender without controls, optionally ending on a word count of
/// parity `final_word_parity`.
template <RowWords S>
[[nodiscard]] Result<void> emit_sender_words(S& words, std::uint32_t& event_cycles,
                                             std::uint32_t initial_instruction,
                                             std::uint32_t direction, std::uint32_t& remaining,
                                             std::uint32_t& sent, bool& started,
                                             std::uint32_t count,
                                             std::optional<std::size_t> final_word_parity);

/// One sender with the receive controls that fall inside its payload fused into its sends;
/// `controls` sorted by cycles.
template <RowWords S>
[[nodiscard]] Result<void> append_sender_message(S& words, std::uint32_t& event_cycles,
                                                 const ScheduledSenderRow& sender,
                                                 std::span<const ReceiveEvent> controls);

/// Receive events outside any send, then plain delays up to `horizon_cycles`; `record` is
/// called after each group. `events` sorted by cycles.
template <RowWords S>
[[nodiscard]] Result<void> append_receive_events_record(S& words, std::uint32_t& event_cycles,
                                                        std::span<const ReceiveEvent> events,
                                                        std::uint32_t horizon_cycles,
                                                        bool align_control_pairs,
                                                        const ReceiveGroupRecorder& record);

/// `append_receive_events_record` without a recorder.
template <RowWords S>
[[nodiscard]] Result<void> append_receive_events(S& words, std::uint32_t& event_cycles,
                                                 std::span<const ReceiveEvent> events,
                                                 std::uint32_t horizon_cycles,
                                                 bool align_control_pairs);

}  // namespace vessik_exchange
