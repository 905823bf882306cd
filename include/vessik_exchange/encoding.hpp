// Incremental schedule encoder: a tile's senders and receive events turned into its exchange
// program, with checkpoints from which a later encoding of an edited schedule resumes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "vessik_exchange/chunked.hpp"
#include "vessik_exchange/emission.hpp"
#include "vessik_exchange/error.hpp"
#include "vessik_exchange/row_timing.hpp"

namespace vessik_exchange {

/// Encoder state after an emitted group: where a later encoding may resume.
struct Checkpoint {
  std::size_t senders = 0;
  std::size_t events = 0;
  std::size_t words = 0;
  std::uint32_t cycles = 0;
  /// Boundary that limited a SENDPICP carrier emitted outside a send, if that was the group.
  std::optional<std::uint32_t> lookahead;

  /// True when resuming here gives the same words as a full encoding of this schedule.
  [[nodiscard]] bool reusable(const Chunked<ScheduledSenderRow>& senders,
                              const Chunked<ReceiveEvent>& events, std::uint32_t horizon) const;

  bool operator==(const Checkpoint&) const = default;
};

/// An encoded tile program with its checkpoints; immutable once built.
class EncodedSchedule {
 public:
  EncodedSchedule(Chunked<Checkpoint> checkpoints, Chunked<std::uint32_t> words,
                  std::size_t resumed_words)
      : checkpoints_(std::move(checkpoints)),
        words_(std::move(words)),
        resumed_words_(resumed_words) {}

  /// Checkpoints in emission order.
  [[nodiscard]] const Chunked<Checkpoint>& checkpoints() const { return checkpoints_; }
  /// The program words, ending with the return word, as the shared sequence.
  [[nodiscard]] const Chunked<std::uint32_t>& word_sequence() const { return words_; }
  /// Number of words taken over from the prefix encoding (0 for a full encoding).
  [[nodiscard]] std::size_t resumed_words() const { return resumed_words_; }
  /// The program words as a plain sequence.
  [[nodiscard]] std::vector<std::uint32_t> words() const { return words_.to_vec(); }
  /// True when both programs hold the same words.
  [[nodiscard]] bool same_words(const EncodedSchedule& other) const {
    return words_ == other.words_;
  }

 private:
  Chunked<Checkpoint> checkpoints_;
  Chunked<std::uint32_t> words_;
  std::size_t resumed_words_;
};

/// An earlier encoding of the same tile and how far the two schedules agree.
struct EncodingPrefix {
  const EncodedSchedule& encoding;
  /// The first `same_senders` senders are unchanged since `encoding`.
  std::size_t same_senders;
  /// The first `same_events` receive events are unchanged since `encoding`.
  std::size_t same_events;
};

/// Encodes a tile schedule, resuming from `prefix` where it still holds.
/// `senders` must be sorted and non-overlapping, `receive_events` sorted by cycles.
[[nodiscard]] Result<EncodedSchedule> build_scheduled_program(
    const Chunked<ScheduledSenderRow>& senders, const Chunked<ReceiveEvent>& receive_events,
    std::uint32_t horizon_cycles, std::optional<EncodingPrefix> prefix);

/// Debug rendering: `Checkpoint { senders: 1, events: 2, words: 5, cycles: 40, lookahead: None }`.
[[nodiscard]] std::string to_string(const Checkpoint& checkpoint);
/// Debug rendering: `EncodedSchedule { checkpoints: n, words: [...], resumed_words: n }`.
[[nodiscard]] std::string to_string(const EncodedSchedule& encoded);
/// Writes the debug rendering.
std::ostream& operator<<(std::ostream& out, const Checkpoint& checkpoint);
/// Writes the debug rendering.
std::ostream& operator<<(std::ostream& out, const EncodedSchedule& encoded);

}  // namespace vessik_exchange
