#include "vessik_exchange/tile_schedule.hpp"

#include <algorithm>
#include <limits>
#include <ostream>

#include "common/cycle_math.hpp"
#include "common/debug_format.hpp"
#include "vessik_exchange/assert.hpp"

#ifndef VESSIK_EXCHANGE_VERIFY_INCREMENTAL
#define VESSIK_EXCHANGE_VERIFY_INCREMENTAL 1
#endif

namespace vessik_exchange {
namespace {

constexpr std::uint32_t U32_MAX = std::numeric_limits<std::uint32_t>::max();

using cycles::checked_add;
using cycles::saturating_add;
using cycles::saturating_sub;

}  // namespace

detail::EncodingCell::EncodingCell(const EncodingCell& other) {
  if (auto value = other.get())
    cell_.store(new Handle(std::move(value)), std::memory_order_release);
}

detail::EncodingCell::~EncodingCell() {
  delete cell_.load(std::memory_order_acquire);
}

std::shared_ptr<const EncodedSchedule> detail::EncodingCell::get() const {
  const Handle* handle = cell_.load(std::memory_order_acquire);
  return handle != nullptr ? *handle : nullptr;
}

std::shared_ptr<const EncodedSchedule> detail::EncodingCell::set_once(
    std::shared_ptr<const EncodedSchedule> value) const {
  const Handle* fresh = new Handle(std::move(value));
  const Handle* stored = nullptr;
  if (cell_.compare_exchange_strong(stored, fresh, std::memory_order_acq_rel,
                                    std::memory_order_acquire))
    return *fresh;
  // Another thread stored first: its encoding stays and this one is dropped.
  delete fresh;
  return *stored;
}

std::shared_ptr<const EncodedSchedule> detail::EncodingCell::take() {
  const Handle* handle = cell_.exchange(nullptr, std::memory_order_acq_rel);
  if (handle == nullptr) return nullptr;
  Handle value = *handle;
  delete handle;
  return value;
}

void detail::EncodingCell::adopt(EncodingCell& other) noexcept {
  if (&other == this) return;
  delete cell_.exchange(other.cell_.exchange(nullptr, std::memory_order_acq_rel),
                        std::memory_order_acq_rel);
}

const ReceiveEvent& ReceiveEventRun::operator[](std::size_t i) const {
  VX_ASSERT(i < size());
  return (*events_)[first_ + i];
}

TileProgramSchedule::TileProgramSchedule(const TileProgramSchedule& other)
    : senders_(other.senders_),
      reserved_sender_end_(other.reserved_sender_end_),
      base_switches_(other.base_switches_),
      receive_events_(other.receive_events_),
      event_cycles_(other.event_cycles_),
      receive_stream_(other.receive_stream_),
      encoded_(other.encoded_),
      encoding_prefix_(other.encoding_prefix_),
      dirty_senders_(other.dirty_senders_),
      dirty_events_(other.dirty_events_) {}

TileProgramSchedule& TileProgramSchedule::operator=(const TileProgramSchedule& other) {
  if (this != &other) {
    TileProgramSchedule copy(other);
    *this = std::move(copy);
  }
  return *this;
}

TileProgramSchedule::TileProgramSchedule(TileProgramSchedule&& other) noexcept
    : senders_(std::move(other.senders_)),
      reserved_sender_end_(other.reserved_sender_end_),
      base_switches_(std::move(other.base_switches_)),
      receive_events_(std::move(other.receive_events_)),
      event_cycles_(other.event_cycles_),
      receive_stream_(std::move(other.receive_stream_)),
      encoding_prefix_(std::move(other.encoding_prefix_)),
      dirty_senders_(other.dirty_senders_),
      dirty_events_(other.dirty_events_) {
  encoded_.adopt(other.encoded_);
}

TileProgramSchedule& TileProgramSchedule::operator=(TileProgramSchedule&& other) noexcept {
  if (this != &other) {
    senders_ = std::move(other.senders_);
    reserved_sender_end_ = other.reserved_sender_end_;
    base_switches_ = std::move(other.base_switches_);
    receive_events_ = std::move(other.receive_events_);
    event_cycles_ = other.event_cycles_;
    receive_stream_ = std::move(other.receive_stream_);
    encoded_.adopt(other.encoded_);
    encoding_prefix_ = std::move(other.encoding_prefix_);
    dirty_senders_ = other.dirty_senders_;
    dirty_events_ = other.dirty_events_;
  }
  return *this;
}

TileProgramSchedule TileProgramSchedule::from_parts(std::span<const ScheduledSenderRow> senders,
                                                    std::span<const ReceiveEvent> receive_events,
                                                    std::uint32_t event_cycles) {
  TileProgramSchedule schedule;
  for (const ScheduledSenderRow& sender : senders) {
    VX_ASSERT(sender.start_cycles < sender.end_cycles && sender.end_cycles <= event_cycles);
    VX_ASSERT(schedule.senders_.empty() ||
              schedule.senders_.last()->end_cycles <= sender.start_cycles);
    schedule.senders_.push(sender);
  }
  for (const ReceiveEvent& event : receive_events) {
    VX_ASSERT(event.cycles <= event_cycles);
    VX_ASSERT(schedule.receive_events_.empty() ||
              schedule.receive_events_.last()->cycles <= event.cycles);
    if (event.kind == ReceiveEventKind::OutgoingBase) {
      // A base write occupies the 13 cycles before the switch end.
      VX_ASSERT(event.cycles >= 13);
      VX_ASSERT(schedule.base_switches_.empty() || schedule.base_switches_.back() < event.cycles);
      schedule.base_switches_.push_back(event.cycles);
    }
    schedule.receive_events_.push(event);
  }
  schedule.event_cycles_ = event_cycles;
  return schedule;
}

ReceiveEventRun TileProgramSchedule::receive_events_at(std::uint32_t cycles) const {
  const std::size_t first = receive_events_.partition_point(
      [cycles](const ReceiveEvent& e) { return e.cycles < cycles; });
  const std::size_t last = receive_events_.partition_point(
      [cycles](const ReceiveEvent& e) { return e.cycles <= cycles; });
  return ReceiveEventRun(receive_events_, first, last);
}

bool TileProgramSchedule::receive_control_at_send_start(std::uint32_t start) const {
  const std::uint32_t last = saturating_add(start, 1);
  std::size_t i =
      receive_events_.partition_point([start](const ReceiveEvent& e) { return e.cycles < start; });
  for (; i < receive_events_.len() && receive_events_[i].cycles <= last; ++i)
    if (receive_events_[i].kind != ReceiveEventKind::OutgoingBase) return true;
  return false;
}

Result<std::uint32_t> TileProgramSchedule::earliest_sender_offset(
    const ScheduledPayloadTiming& base, std::uint32_t requested) const {
  const std::uint32_t last_switch = base_switches_.empty() ? 0 : base_switches_.back();
  std::uint32_t offset = std::max(
      requested, saturating_sub(std::max(reserved_sender_end_, last_switch), base.payload_start));
  const auto first_start = checked_add(base.payload_start, offset);
  if (!first_start) return fail_schedule("send offset overflow");
  std::size_t cursor = senders_.partition_point(
      [first = *first_start](const ScheduledSenderRow& s) { return s.end_cycles <= first; });
  while (true) {
    const auto shifted_start = checked_add(base.payload_start, offset);
    const auto shifted_end = checked_add(base.payload_end, offset);
    if (!shifted_start || !shifted_end) return fail_schedule("send offset overflow");
    const std::uint32_t start = *shifted_start;
    const std::uint32_t end = *shifted_end;
    while (cursor < senders_.len() && senders_[cursor].end_cycles <= start) ++cursor;
    if (cursor < senders_.len() && senders_[cursor].start_cycles < end) {
      // Jump straight past the blocking payload: no smaller offset can clear it.
      const std::uint32_t blocking_end = senders_[cursor].end_cycles;
      if (blocking_end < base.payload_start) return fail_schedule("send offset order");
      offset = blocking_end - base.payload_start;
      ++cursor;
      continue;
    }
    if (receive_control_at_send_start(start)) {
      const auto next = checked_add(offset, 1);
      if (!next) return fail_schedule("send offset overflow");
      offset = *next;
      continue;
    }
    return offset;
  }
}

Result<std::uint32_t> TileProgramSchedule::earliest_receiver_offset(const ReceiveRowTiming& base,
                                                                    std::uint32_t received_words,
                                                                    std::uint32_t requested) const {
  std::uint32_t offset = requested;
  const ReceiveStream* stream = receive_stream_ ? &*receive_stream_ : nullptr;
  if (stream != nullptr) {
    const auto source = base.source_cycles ? base.source_cycles : base.format_start_cycles;
    if (!source) return fail_schedule("receive source timing");
    // The new stream may not start before the previous one ends.
    offset = std::max(offset, saturating_sub(stream->source_end_cycles, *source));
    // A paired format setup waits until the previous ordinary payload has drained.
    if (stream->mode == ReceiveMode::Ordinary && base.format_start_cycles)
      offset =
          std::max(offset, saturating_sub(stream->pointer_end_cycles, *base.format_start_cycles));
    if (!base.pointer_cycles) return fail_schedule("receive pointer event");
    offset = std::max(offset, saturating_sub(stream->pointer_end_cycles, *base.pointer_cycles));
  }

  while (true) {
    auto window = scheduled_receive_window(base, offset, received_words, stream);
    if (!window) return fail(window.error());

    // A control inside a base switch's window moves to the cycle after the switch.
    std::uint32_t shift = 0;
    for (const ReceiveEvent& event : window->events) {
      for (const std::uint32_t switch_end : base_switches_) {
        if (switch_end >= 13 ? event.cycles > switch_end - 13 && event.cycles <= switch_end
                             : event.cycles <= switch_end) {
          shift = std::max(shift, switch_end + 1 - event.cycles);
          break;
        }
      }
    }
    if (shift > 0) {
      const auto shifted = checked_add(offset, shift);
      if (!shifted) return fail_schedule("base control collision overflow");
      offset = *shifted;
      continue;
    }

    bool collides = false;
    for (const ReceiveEvent& event : window->events) {
      for (const ReceiveEvent& existing : receive_events_at(event.cycles)) {
        const bool replaced =
            stream != nullptr && replaces_receive_event(existing, base.mode, *window, *stream);
        if (!replaced && !receive_events_can_share_instruction(event, existing)) {
          collides = true;
          break;
        }
      }
      if (collides) break;
      const std::uint32_t from = saturating_sub(event.cycles, 1);
      const std::size_t s = senders_.partition_point(
          [from](const ScheduledSenderRow& row) { return row.start_cycles < from; });
      if (s < senders_.len()) {
        const std::uint32_t send_start = senders_[s].start_cycles;
        if (send_start == event.cycles || saturating_add(send_start, 1) == event.cycles) {
          collides = true;
          break;
        }
      }
    }
    if (!collides) return offset;
    const auto next = checked_add(offset, 1);
    if (!next) return fail_schedule("receive offset overflow");
    offset = *next;
  }
}

Result<void> TileProgramSchedule::append_sender_at(const PlanRow& row,
                                                   const ScheduledPayloadTiming& base,
                                                   std::uint32_t schedule_offset) {
  const auto timing = base.at(schedule_offset);
  if (!timing) return fail(timing.error());
  if (!base_switches_.empty() && base_switches_.back() > timing->payload_start)
    return fail_schedule("send crosses outgoing base transition");
  const std::uint32_t start = timing->payload_start;
  const std::size_t index = senders_.partition_point(
      [start](const ScheduledSenderRow& s) { return s.start_cycles < start; });
  if ((index > 0 && senders_[index - 1].end_cycles > start) ||
      (index < senders_.len() && senders_[index].start_cycles < timing->payload_end))
    return fail_schedule("overlapping outgoing messages");
  if (receive_control_at_send_start(start))
    return fail_schedule("unencodable initial send control");

  invalidate_encoding();
  dirty_senders_ = std::min(dirty_senders_, index);
  event_cycles_ = std::max(event_cycles_, timing->horizon);
  senders_.insert(index, ScheduledSenderRow{row, start, timing->payload_end});
  return {};
}

Result<ScheduledReceiverWindow> TileProgramSchedule::append_receiver_at(
    const ReceiveRowTiming& base, std::uint32_t schedule_offset, std::uint32_t received_words) {
  const ReceiveStream* stream = receive_stream_ ? &*receive_stream_ : nullptr;
  auto window = scheduled_receive_window(base, schedule_offset, received_words, stream);
  if (!window) return fail(window.error());

  std::optional<std::uint32_t> next_address;
  if (window->pointer_address) {
    const std::uint64_t item = base.mode == ReceiveMode::Paired64 ? 8 : 4;
    const std::uint64_t next = *window->pointer_address + item * received_words;
    if (next > U32_MAX) return fail_schedule("receive address overflow");
    next_address = static_cast<std::uint32_t>(next);
  }
  if (stream != nullptr && (window->source_start < stream->source_end_cycles ||
                            window->payload_start < stream->pointer_end_cycles))
    return fail_schedule("overlapping receive streams");

  invalidate_encoding();
  if (stream != nullptr) {
    // Controls of the previous receive that the new one takes over are dropped.
    const std::uint32_t from =
        std::min(stream->source_end_cycles, stream->format_end_cycles.value_or(U32_MAX));
    std::size_t i =
        receive_events_.partition_point([from](const ReceiveEvent& e) { return e.cycles < from; });
    while (i < receive_events_.len()) {
      if (replaces_receive_event(receive_events_[i], base.mode, *window, *stream)) {
        receive_events_.remove(i);
        dirty_events_ = std::min(dirty_events_, i);
      } else {
        ++i;
      }
    }
  }
  for (const ReceiveEvent& event : window->events) {
    const std::uint32_t cycles = event.cycles;
    const std::size_t at = receive_events_.partition_point(
        [cycles](const ReceiveEvent& e) { return e.cycles <= cycles; });
    receive_events_.insert(at, event);
    dirty_events_ = std::min(dirty_events_, at);
  }
  event_cycles_ = std::max(event_cycles_, window->horizon);
  std::optional<std::uint32_t> format_end;
  if (base.format_end_cycles) format_end = *base.format_end_cycles + schedule_offset;
  receive_stream_ = ReceiveStream{base.mode,          base.paired_format(), format_end,
                                  window->source_end, window->payload_end,  next_address};
  return window;
}

void TileProgramSchedule::reserve_senders_until(std::uint32_t sender_horizon) {
  invalidate_encoding();
  reserved_sender_end_ = std::max(reserved_sender_end_, sender_horizon);
  event_cycles_ = std::max(event_cycles_, sender_horizon);
}

void TileProgramSchedule::insert_base_switch(std::size_t index, std::uint32_t end,
                                             std::uint32_t instruction) {
  VX_ASSERT(index <= receive_events_.len());
  VX_ASSERT(base_switches_.empty() || base_switches_.back() < end);
  VX_ASSERT(index == 0 || receive_events_[index - 1].cycles <= end);
  VX_ASSERT(index == receive_events_.len() || receive_events_[index].cycles > end);
  invalidate_encoding();
  dirty_events_ = std::min(dirty_events_, index);
  receive_events_.insert(index, ReceiveEvent{end, instruction, ReceiveEventKind::OutgoingBase});
  event_cycles_ = std::max(event_cycles_, end);
  base_switches_.push_back(end);
}

void TileProgramSchedule::invalidate_encoding() {
  if (auto cached = encoded_.take()) {
    encoding_prefix_ = std::move(cached);
    dirty_senders_ = senders_.len();
    dirty_events_ = receive_events_.len();
  }
}

Result<std::shared_ptr<const EncodedSchedule>> TileProgramSchedule::encoded() const {
  if (auto cached = encoded_.get()) return cached;
  std::optional<EncodingPrefix> prefix;
  if (encoding_prefix_)
    prefix.emplace(EncodingPrefix{*encoding_prefix_, dirty_senders_, dirty_events_});
  auto result = build_scheduled_program(senders_, receive_events_, event_cycles_, prefix);
#if VESSIK_EXCHANGE_VERIFY_INCREMENTAL
  if (prefix) {
    // A resumed encoding must be word for word the full one; anything else is an encoder defect.
    const auto full =
        build_scheduled_program(senders_, receive_events_, event_cycles_, std::nullopt);
    VX_ASSERT(result.has_value() == full.has_value());
    if (result)
      VX_ASSERT(result->same_words(*full));
    else
      VX_ASSERT(result.error() == full.error());
  }
#endif
  if (!result) return fail(result.error());
  std::shared_ptr<const EncodedSchedule> fresh =
      std::make_shared<const EncodedSchedule>(std::move(*result));
  // First store wins; a concurrent encoder's result is dropped and both return the stored one.
  return encoded_.set_once(std::move(fresh));
}

Result<std::vector<std::uint32_t>> TileProgramSchedule::finish() const {
  auto encoding = encoded();
  if (!encoding) return fail(encoding.error());
  return (*encoding)->words();
}

std::ostream& operator<<(std::ostream& out, const ReceiveEventRun& run) {
  debug::write(out, std::vector<ReceiveEvent>(run.begin(), run.end()));
  return out;
}

std::string to_string(const ReceiveEventRun& run) {
  return debug::stream_to_string(run);
}

std::ostream& operator<<(std::ostream& out, const TileProgramSchedule& schedule) {
  debug::Struct(out, "TileProgramSchedule")
      .field("senders", schedule.senders().to_vec())
      .field("reserved_sender_end", schedule.reserved_sender_end())
      .field("base_switches", schedule.base_switches())
      .field("receive_events", schedule.receive_events().to_vec())
      .field("event_cycles", schedule.event_cycles())
      .field("receive_stream", schedule.receive_stream())
      .finish();
  return out;
}

std::string to_string(const TileProgramSchedule& schedule) {
  return debug::stream_to_string(schedule);
}

}  // namespace vessik_exchange
