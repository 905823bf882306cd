// One tile's exchange phase: its scheduled sends, receive controls and base switches, the
// placement queries and edits, and its lazily cached incremental encoding.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "vessik_exchange/chunked.hpp"
#include "vessik_exchange/emission.hpp"
#include "vessik_exchange/encoding.hpp"
#include "vessik_exchange/error.hpp"
#include "vessik_exchange/plans.hpp"
#include "vessik_exchange/row_timing.hpp"

namespace vessik_exchange {

/// The receive events of one cycle, in stored order.
class ReceiveEventRun {
 public:
  ReceiveEventRun(const Chunked<ReceiveEvent>& events, std::size_t first, std::size_t last)
      : events_(&events), first_(first), last_(last) {}
  /// Number of events in the run.
  [[nodiscard]] std::size_t size() const { return last_ - first_; }
  /// True when no event falls on the cycle.
  [[nodiscard]] bool empty() const { return first_ == last_; }
  /// Index of the run's first event in the schedule's event list.
  [[nodiscard]] std::size_t first_index() const { return first_; }
  /// Event `i` of the run.
  [[nodiscard]] const ReceiveEvent& operator[](std::size_t i) const;

  class Iterator {
   public:
    using value_type = ReceiveEvent;
    using difference_type = std::ptrdiff_t;
    Iterator() = default;
    Iterator(const Chunked<ReceiveEvent>* events, std::size_t index)
        : events_(events), index_(index) {}
    const ReceiveEvent& operator*() const { return (*events_)[index_]; }
    Iterator& operator++() {
      ++index_;
      return *this;
    }
    Iterator operator++(int) {
      Iterator before = *this;
      ++index_;
      return before;
    }
    bool operator==(const Iterator& other) const { return index_ == other.index_; }

   private:
    const Chunked<ReceiveEvent>* events_ = nullptr;
    std::size_t index_ = 0;
  };
  [[nodiscard]] Iterator begin() const { return {events_, first_}; }
  [[nodiscard]] Iterator end() const { return {events_, last_}; }

 private:
  const Chunked<ReceiveEvent>* events_;
  std::size_t first_;
  std::size_t last_;
};

namespace detail {

/// Write-once holder of a shared encoding: stored at most once per schedule state and read
/// from any thread. Taking the value out needs exclusive access.
class EncodingCell {
 public:
  EncodingCell() = default;
  /// A cell holding the same encoding as `other`, if any.
  EncodingCell(const EncodingCell& other);
  EncodingCell& operator=(const EncodingCell& other) = delete;
  ~EncodingCell();
  /// The stored encoding, or null.
  [[nodiscard]] std::shared_ptr<const EncodedSchedule> get() const;
  /// Stores `value` unless one is stored already; returns the stored encoding.
  [[nodiscard]] std::shared_ptr<const EncodedSchedule> set_once(
      std::shared_ptr<const EncodedSchedule> value) const;
  /// Empties the cell and returns what it held.
  [[nodiscard]] std::shared_ptr<const EncodedSchedule> take();
  /// Moves the contents of `other` into this cell, leaving `other` empty.
  void adopt(EncodingCell& other) noexcept;

 private:
  using Handle = std::shared_ptr<const EncodedSchedule>;
  // A plain atomic pointer to a published handle: readers only copy the handle, which never
  // changes once published, so no reader can see a torn or reused one.
  mutable std::atomic<const Handle*> cell_{nullptr};
};

}  // namespace detail

/// Everything placed so far on one tile for the phase. Clones share storage and encodings.
class TileProgramSchedule {
 public:
  TileProgramSchedule() = default;
  /// A clone: shares the sequences' chunks, the cached encoding and the prefix.
  TileProgramSchedule(const TileProgramSchedule& other);
  TileProgramSchedule& operator=(const TileProgramSchedule& other);
  TileProgramSchedule(TileProgramSchedule&& other) noexcept;
  TileProgramSchedule& operator=(TileProgramSchedule&& other) noexcept;
  ~TileProgramSchedule() = default;

  /// A schedule holding exactly `senders`, `receive_events` and horizon `event_cycles`, as if
  /// placed that way; for diagnostics and tests that need a schedule the placement queries would
  /// not produce. Senders must be sorted and disjoint, events sorted by cycles, base writes
  /// strictly increasing and at least 13 cycles in, and the horizon must cover all of them.
  [[nodiscard]] static TileProgramSchedule from_parts(std::span<const ScheduledSenderRow> senders,
                                                      std::span<const ReceiveEvent> receive_events,
                                                      std::uint32_t event_cycles);

  /// The tile's event horizon.
  [[nodiscard]] std::uint32_t event_cycles() const { return event_cycles_; }
  /// Scheduled sender rows, sorted by payload start, non-overlapping.
  [[nodiscard]] const Chunked<ScheduledSenderRow>& senders() const { return senders_; }
  /// Receive controls and base-switch events, sorted by cycles.
  [[nodiscard]] const Chunked<ReceiveEvent>& receive_events() const { return receive_events_; }
  /// End cycle of every outgoing-base switch, strictly increasing.
  [[nodiscard]] std::span<const std::uint32_t> base_switches() const { return base_switches_; }
  /// Lower bound for the payload start of new sends.
  [[nodiscard]] std::uint32_t reserved_sender_end() const { return reserved_sender_end_; }
  /// Continuity state of the latest receive, if any.
  [[nodiscard]] const std::optional<ReceiveStream>& receive_stream() const {
    return receive_stream_;
  }

  /// The events whose cycles equal `cycles`.
  [[nodiscard]] ReceiveEventRun receive_events_at(std::uint32_t cycles) const;
  /// True when a receive control (not a base write) sits at `start` or one cycle after it.
  [[nodiscard]] bool receive_control_at_send_start(std::uint32_t start) const;
  /// Smallest offset at or after `requested` at which the sender row fits this tile.
  [[nodiscard]] Result<std::uint32_t> earliest_sender_offset(const ScheduledPayloadTiming& base,
                                                             std::uint32_t requested) const;
  /// Smallest offset at or after `requested` at which the receiver row fits this tile.
  [[nodiscard]] Result<std::uint32_t> earliest_receiver_offset(const ReceiveRowTiming& base,
                                                               std::uint32_t received_words,
                                                               std::uint32_t requested) const;
  /// Places a sender row at `schedule_offset`, refusing conflicts it can see.
  [[nodiscard]] Result<void> append_sender_at(const PlanRow& row,
                                              const ScheduledPayloadTiming& base,
                                              std::uint32_t schedule_offset);
  /// Places a receiver row at `schedule_offset` for `received_words` words.
  [[nodiscard]] Result<ScheduledReceiverWindow> append_receiver_at(const ReceiveRowTiming& base,
                                                                   std::uint32_t schedule_offset,
                                                                   std::uint32_t received_words);
  /// Raises the send lower bound and the horizon to `sender_horizon` (a reservation).
  void reserve_senders_until(std::uint32_t sender_horizon);
  /// Inserts an outgoing-base switch ending at `end` at event position `index`.
  void insert_base_switch(std::size_t index, std::uint32_t end, std::uint32_t instruction);
  /// Turns the cached encoding, if any, into the prefix of the next encoding.
  void invalidate_encoding();
  /// The cached encoding, computed (incrementally where possible) on first use.
  [[nodiscard]] Result<std::shared_ptr<const EncodedSchedule>> encoded() const;
  /// The tile's program words.
  [[nodiscard]] Result<std::vector<std::uint32_t>> finish() const;

 private:
  Chunked<ScheduledSenderRow> senders_;
  std::uint32_t reserved_sender_end_ = 0;
  std::vector<std::uint32_t> base_switches_;
  Chunked<ReceiveEvent> receive_events_;
  std::uint32_t event_cycles_ = 0;
  std::optional<ReceiveStream> receive_stream_;
  detail::EncodingCell encoded_;
  std::shared_ptr<const EncodedSchedule> encoding_prefix_;
  std::size_t dirty_senders_ = 0;
  std::size_t dirty_events_ = 0;
};

/// Debug rendering: the events of the run as a list.
[[nodiscard]] std::string to_string(const ReceiveEventRun& run);
/// Writes the debug rendering.
std::ostream& operator<<(std::ostream& out, const ReceiveEventRun& run);
/// Debug rendering of the schedule's contents.
[[nodiscard]] std::string to_string(const TileProgramSchedule& schedule);
/// Writes the debug rendering.
std::ostream& operator<<(std::ostream& out, const TileProgramSchedule& schedule);

}  // namespace vessik_exchange
