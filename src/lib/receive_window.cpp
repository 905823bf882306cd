#include <algorithm>
#include <optional>
#include <ostream>

#include "common/cycle_math.hpp"
#include "common/debug_format.hpp"
#include "vessik_exchange/assert.hpp"
#include "vessik_exchange/row_timing.hpp"

namespace vessik_exchange {
namespace {

using cycles::checked_add;

}  // namespace

Result<ScheduledReceiverWindow> scheduled_receive_window(const ReceiveRowTiming& base,
                                                         std::uint32_t schedule_offset,
                                                         std::uint32_t received_words,
                                                         const ReceiveStream* previous) {
  auto shifted = receive_row_timing_from_base(base, schedule_offset);
  if (!shifted) return fail(shifted.error());
  const ReceiveRowTiming& timing = *shifted;

  // A paired row without its own mux source starts its stream with the format setup.
  const auto source_start =
      timing.source_cycles ? timing.source_cycles : timing.format_start_cycles;
  if (!source_start) return fail_schedule("receive source timing");
  const auto source_end = checked_add(*source_start, received_words);
  if (!source_end) return fail_schedule("receive source timing overflow");

  const auto format = timing.paired_format();
  const bool continues_format = format && previous && previous->paired_format == format &&
                                previous->format_end_cycles == timing.format_start_cycles;
  const bool carries_pointer = timing.mode == ReceiveMode::Ordinary && previous &&
                               previous->mode == ReceiveMode::Ordinary &&
                               previous->next_address == timing.pointer_address;

  if (!timing.pointer_cycles) return fail_schedule("receive pointer event");
  const std::uint32_t payload_start = *timing.pointer_cycles;
  const auto payload_end = checked_add(payload_start, received_words);
  if (!payload_end) return fail_schedule("receive payload timing overflow");

  // The row's own horizon may reach beyond the data; keep that tail.
  const std::uint32_t data_end = std::max(*source_end, *payload_end);
  const std::uint32_t data_span = data_end >= schedule_offset ? data_end - schedule_offset : 0;
  const std::uint32_t guard = base.horizon_cycles > data_span ? base.horizon_cycles - data_span : 0;
  const auto horizon = checked_add(data_end, guard);
  if (!horizon) return fail_schedule("receive horizon overflow");

  std::vector<ReceiveEvent> events;
  events.reserve(timing.events.size());
  for (ReceiveEvent event : timing.events) {
    switch (event.kind) {
      case ReceiveEventKind::OrdinarySource:
      case ReceiveEventKind::PairedSource:
      case ReceiveEventKind::PairedNeutral:
      case ReceiveEventKind::PairedPointer:
        break;
      case ReceiveEventKind::OrdinaryNeutral:
        // The ordinary teardown follows the words actually received, not the row's count.
        event.cycles = *source_end;
        break;
      case ReceiveEventKind::Pointer:
        if (carries_pointer) continue;
        break;
      case ReceiveEventKind::Format:
        if (continues_format && event.cycles == timing.format_start_cycles) continue;
        break;
      case ReceiveEventKind::OutgoingBase:
        VX_ASSERT(event.kind != ReceiveEventKind::OutgoingBase);
        break;
    }
    events.push_back(event);
  }
  std::ranges::stable_sort(events, {}, &ReceiveEvent::cycles);
  if (auto valid = validate_receive_events(events); !valid) return fail(valid.error());

  return ScheduledReceiverWindow{
      .continues_format = continues_format,
      .events = std::move(events),
      .source_start = *source_start,
      .source_end = *source_end,
      .payload_start = payload_start,
      .payload_end = *payload_end,
      .horizon = *horizon,
      .pointer_address = timing.pointer_address,
  };
}

bool replaces_receive_event(const ReceiveEvent& event, ReceiveMode mode,
                            const ScheduledReceiverWindow& timing, const ReceiveStream& previous) {
  if (timing.continues_format && event.kind == ReceiveEventKind::Format &&
      previous.format_end_cycles == event.cycles)
    return true;
  // Mux hand-over: the new source takes over on the cycle the previous stream tears down.
  if (timing.source_start != previous.source_end_cycles ||
      event.cycles != previous.source_end_cycles)
    return false;
  if (previous.mode == ReceiveMode::Ordinary && mode == ReceiveMode::Ordinary)
    return event.kind == ReceiveEventKind::OrdinaryNeutral;
  if (previous.mode == ReceiveMode::Paired64 && mode == ReceiveMode::Paired64)
    return event.kind == ReceiveEventKind::PairedNeutral && timing.continues_format;
  return false;
}

std::ostream& operator<<(std::ostream& out, const ScheduledReceiverWindow& window) {
  debug::Struct(out, "ScheduledReceiverWindow")
      .field("continues_format", window.continues_format)
      .field("events", window.events)
      .field("source_start", window.source_start)
      .field("source_end", window.source_end)
      .field("payload_start", window.payload_start)
      .field("payload_end", window.payload_end)
      .field("horizon", window.horizon)
      .field("pointer_address", window.pointer_address)
      .finish();
  return out;
}

std::ostream& operator<<(std::ostream& out, const ReceiveStream& stream) {
  debug::Struct(out, "ReceiveStream")
      .field("mode", stream.mode)
      .field("paired_format", stream.paired_format)
      .field("format_end_cycles", stream.format_end_cycles)
      .field("source_end_cycles", stream.source_end_cycles)
      .field("pointer_end_cycles", stream.pointer_end_cycles)
      .field("next_address", stream.next_address)
      .finish();
  return out;
}

std::string to_string(const ScheduledReceiverWindow& window) {
  return debug::stream_to_string(window);
}
std::string to_string(const ReceiveStream& stream) {
  return debug::stream_to_string(stream);
}

}  // namespace vessik_exchange
