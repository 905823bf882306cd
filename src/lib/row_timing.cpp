#include "vessik_exchange/row_timing.hpp"

#include <optional>
#include <ostream>

#include "common/cycle_math.hpp"
#include "common/debug_format.hpp"
#include "vessik_exchange/assert.hpp"
#include "vessik_exchange/exchange_words.hpp"

namespace vessik_exchange {
namespace {

using cycles::checked_add;

/// Index of the first return word of a row.
[[nodiscard]] std::optional<std::size_t> return_index(const PlanRow& row) {
  for (std::size_t i = 0; i < row.size(); ++i)
    if (row[i] == RET_WORD) return i;
  return std::nullopt;
}

/// Kind of an XPIC control from its paired bit and 13-bit value.
[[nodiscard]] ReceiveEventKind xpic_kind(bool paired, std::uint32_t value) {
  const bool neutral = value == TILE_MUX_EXCHANGE;
  if (paired) return neutral ? ReceiveEventKind::PairedNeutral : ReceiveEventKind::PairedSource;
  return neutral ? ReceiveEventKind::OrdinaryNeutral : ReceiveEventKind::OrdinarySource;
}

/// Walks the instructions of a row and collects its controls in row order.
[[nodiscard]] Result<std::uint32_t> collect_receive_events(const PlanRow& row, std::size_t end,
                                                           std::uint32_t cycles,
                                                           std::vector<ReceiveEvent>& events) {
  constexpr std::string_view OVERFLOW_TEXT = "receive event horizon overflow";
  std::size_t cursor = 1;
  while (cursor < end) {
    const std::uint32_t instruction = row[cursor];
    if (is_send_control_pair(instruction)) {
      if (cursor + 1 >= row.size()) return fail_schedule("truncated SENDPICP payload");
      const std::uint32_t payload = row[cursor + 1];
      // Both controls of a fused pair take effect one cycle after the pair starts.
      const auto control_cycles = checked_add(cycles, 1);
      if (!control_cycles) return fail_schedule(OVERFLOW_TEXT);
      const std::uint32_t xpic_value = payload >> 18;
      const std::uint32_t paired = (xpic_value >> 13) & 1u;
      const std::uint32_t mux = xpic_value & 0x1FFFu;
      events.push_back({*control_cycles, delay_xpic(0, paired, mux), xpic_kind(paired != 0, mux)});
      const std::uint32_t pic_selector = (instruction >> 27) & 1u;
      events.push_back({*control_cycles, delay_pic(0, pic_selector, payload & 0x3FFFFu),
                        pic_selector != 0 ? ReceiveEventKind::Format : ReceiveEventKind::Pointer});
      const auto next = checked_add(cycles, instruction_advance(instruction));
      if (!next) return fail_schedule(OVERFLOW_TEXT);
      cycles = *next;
      cursor += 2;
      continue;
    }
    // A control carried by a delay takes effect when the delay ends.
    const auto next = checked_add(cycles, instruction_advance(instruction));
    if (!next) return fail_schedule(OVERFLOW_TEXT);
    cycles = *next;
    if (is_delay_pic(instruction)) {
      const bool format = ((instruction >> 18) & 1u) != 0;
      events.push_back(
          {cycles, instruction, format ? ReceiveEventKind::Format : ReceiveEventKind::Pointer});
    } else if (is_delay_xpic(instruction)) {
      events.push_back(
          {cycles, instruction, xpic_kind(((instruction >> 13) & 1u) != 0, instruction & 0x1FFFu)});
    }
    ++cursor;
  }
  return cycles;
}

/// Fills the once-only cycle fields of `timing` from its events.
[[nodiscard]] Result<void> fill_receive_fields(ReceiveRowTiming& timing) {
  for (const ReceiveEvent& event : timing.events) {
    switch (event.kind) {
      case ReceiveEventKind::OrdinarySource:
      case ReceiveEventKind::PairedSource:
        if (timing.source_cycles) return fail_schedule("multiple receive sources");
        timing.source_cycles = event.cycles;
        break;
      case ReceiveEventKind::OrdinaryNeutral:
      case ReceiveEventKind::PairedNeutral:
        if (timing.neutral_cycles) return fail_schedule("multiple receive teardowns");
        timing.neutral_cycles = event.cycles;
        break;
      case ReceiveEventKind::PairedPointer:
      case ReceiveEventKind::Pointer:
        timing.pointer_cycles = event.cycles;
        if (timing.pointer_address) return fail_schedule("multiple receive pointers");
        timing.pointer_address = (event.instruction & 0x3FFFFu) * 4u;
        break;
      case ReceiveEventKind::Format: {
        const std::uint32_t value = event.instruction & 0x3FFFFu;
        if (value == 1 || value == 2) {
          if (timing.format_start_cycles) return fail_schedule("multiple paired format starts");
          timing.format_start_cycles = event.cycles;
        } else if (value == 0) {
          if (timing.format_end_cycles) return fail_schedule("multiple paired format ends");
          timing.format_end_cycles = event.cycles;
        } else {
          return fail_schedule("paired receive format value");
        }
        break;
      }
      case ReceiveEventKind::OutgoingBase:
        // Base writes are inserted by the schedule, never read from a row.
        VX_ASSERT(event.kind != ReceiveEventKind::OutgoingBase);
        break;
    }
  }
  return {};
}

}  // namespace

Result<ReceiveRowTiming> receive_row_timing(const PlanRow& row, std::uint32_t schedule_offset) {
  if (row[0] != SYNC_ENTRY) return fail_schedule("receive row entry");
  const auto end = return_index(row);
  if (!end) return fail_schedule("receive row return");

  ReceiveRowTiming timing;
  const auto horizon = collect_receive_events(row, *end, schedule_offset, timing.events);
  if (!horizon) return fail(horizon.error());
  timing.horizon_cycles = *horizon;
  if (auto filled = fill_receive_fields(timing); !filled) return fail(filled.error());

  bool paired = timing.format_start_cycles.has_value();
  for (const ReceiveEvent& event : timing.events)
    paired = paired || event.kind == ReceiveEventKind::PairedSource ||
             event.kind == ReceiveEventKind::PairedNeutral;
  if (paired) {
    if (!timing.format_start_cycles || !timing.format_end_cycles)
      return fail_schedule("incomplete paired receive format");
    timing.mode = ReceiveMode::Paired64;
    for (ReceiveEvent& event : timing.events)
      if (event.kind == ReceiveEventKind::Pointer) event.kind = ReceiveEventKind::PairedPointer;
  } else {
    if (!timing.source_cycles || !timing.neutral_cycles)
      return fail_schedule("incomplete ordinary receive mux");
    timing.mode = ReceiveMode::Ordinary;
  }
  return timing;
}

Result<ReceiveRowTiming> receive_row_timing_from_base(const ReceiveRowTiming& base,
                                                      std::uint32_t offset) {
  bool overflow = false;
  const auto shift = [&](std::uint32_t cycles) {
    const auto shifted = checked_add(cycles, offset);
    overflow = overflow || !shifted;
    return shifted.value_or(0);
  };
  const auto shift_optional = [&](std::optional<std::uint32_t> cycles) {
    return cycles ? std::optional<std::uint32_t>(shift(*cycles)) : std::nullopt;
  };

  ReceiveRowTiming shifted = base;
  for (ReceiveEvent& event : shifted.events) event.cycles = shift(event.cycles);
  shifted.neutral_cycles = shift_optional(base.neutral_cycles);
  shifted.source_cycles = shift_optional(base.source_cycles);
  shifted.format_start_cycles = shift_optional(base.format_start_cycles);
  shifted.format_end_cycles = shift_optional(base.format_end_cycles);
  shifted.pointer_cycles = shift_optional(base.pointer_cycles);
  shifted.horizon_cycles = shift(base.horizon_cycles);
  if (overflow) return fail_schedule("receive offset overflow");
  return shifted;
}

Result<ScheduledPayloadTiming> scheduled_sender_timing(const PlanRow& row,
                                                       std::uint32_t schedule_offset) {
  if (row[0] != SYNC_ENTRY) return fail_schedule("sender row entry");
  const auto end = return_index(row);
  if (!end) return fail_schedule("sender row return");

  std::uint32_t cycles = schedule_offset;
  std::optional<std::uint32_t> start_cycles;
  std::optional<std::uint32_t> end_cycles;
  for (std::size_t i = 1; i < *end; ++i) {
    const std::uint32_t word = row[i];
    const bool payload = is_payload_send(word);
    if (payload && !start_cycles) start_cycles = cycles;
    const auto next = checked_add(cycles, instruction_advance(word));
    if (!next) return fail_schedule("sender event horizon overflow");
    cycles = *next;
    if (payload) end_cycles = cycles;
  }
  if (!start_cycles || !end_cycles) return fail_schedule("sender payload");
  return ScheduledPayloadTiming{*start_cycles, *end_cycles, cycles};
}

Result<ScheduledPayloadTiming> ScheduledPayloadTiming::at(std::uint32_t offset) const {
  const auto shifted_horizon = checked_add(horizon, offset);
  const auto shifted_start = checked_add(payload_start, offset);
  const auto shifted_end = checked_add(payload_end, offset);
  // The horizon bounds the payload cycles of every analysed row; checking all three also keeps
  // a hand-built value from wrapping.
  if (!shifted_horizon || !shifted_start || !shifted_end)
    return fail_schedule("sender event horizon overflow");
  return ScheduledPayloadTiming{*shifted_start, *shifted_end, *shifted_horizon};
}

Result<PreparedTransfer> MulticastPlan::prepare() const {
  const auto sender_timing = scheduled_sender_timing(sender, 0);
  if (!sender_timing) return fail(sender_timing.error());
  std::vector<ReceiveRowTiming> receiver_timings;
  receiver_timings.reserve(receivers.size());
  for (const PlanRow& row : receivers) {
    auto timing = receive_row_timing(row, 0);
    if (!timing) return fail(timing.error());
    receiver_timings.push_back(std::move(*timing));
  }
  return PreparedTransfer{std::cref(*this), *sender_timing, std::move(receiver_timings)};
}

bool receive_events_can_share_instruction(const ReceiveEvent& left, const ReceiveEvent& right) {
  if (left.cycles != right.cycles) return false;
  const auto ordinary_mux = [](ReceiveEventKind kind) {
    return kind == ReceiveEventKind::OrdinarySource || kind == ReceiveEventKind::OrdinaryNeutral;
  };
  // One fused send-control pair carries exactly one ordinary XPIC control and one pointer.
  return (left.kind == ReceiveEventKind::Pointer && ordinary_mux(right.kind)) ||
         (right.kind == ReceiveEventKind::Pointer && ordinary_mux(left.kind));
}

Result<void> validate_receive_events(std::span<const ReceiveEvent> events) {
  std::size_t group_start = 0;
  while (group_start < events.size()) {
    std::size_t group_end = group_start + 1;
    while (group_end < events.size() && events[group_end].cycles == events[group_start].cycles)
      ++group_end;
    if (group_end < events.size()) VX_ASSERT(events[group_end].cycles > events[group_start].cycles);
    const std::size_t group_size = group_end - group_start;
    if (group_size > 2 || (group_size == 2 && !receive_events_can_share_instruction(
                                                  events[group_start], events[group_start + 1])))
      return fail_schedule("incompatible simultaneous receive controls");
    group_start = group_end;
  }
  return {};
}

std::optional<std::uint32_t> ReceiveRowTiming::paired_format() const {
  if (!format_start_cycles) return std::nullopt;
  for (const ReceiveEvent& event : events)
    if (event.kind == ReceiveEventKind::Format && event.cycles == *format_start_cycles)
      return event.instruction & 0x3FFFFu;
  return std::nullopt;
}

std::string to_string(ReceiveEventKind kind) {
  switch (kind) {
    case ReceiveEventKind::OrdinarySource:
      return "OrdinarySource";
    case ReceiveEventKind::OrdinaryNeutral:
      return "OrdinaryNeutral";
    case ReceiveEventKind::PairedSource:
      return "PairedSource";
    case ReceiveEventKind::PairedNeutral:
      return "PairedNeutral";
    case ReceiveEventKind::PairedPointer:
      return "PairedPointer";
    case ReceiveEventKind::Pointer:
      return "Pointer";
    case ReceiveEventKind::Format:
      return "Format";
    case ReceiveEventKind::OutgoingBase:
      return "OutgoingBase";
  }
  VX_ASSERT(false && "unknown receive event kind");
  return {};
}

std::string to_string(ReceiveMode mode) {
  switch (mode) {
    case ReceiveMode::Ordinary:
      return "Ordinary";
    case ReceiveMode::Paired64:
      return "Paired64";
  }
  VX_ASSERT(false && "unknown receive mode");
  return {};
}

std::ostream& operator<<(std::ostream& out, ReceiveEventKind kind) {
  return out << to_string(kind);
}

std::ostream& operator<<(std::ostream& out, ReceiveMode mode) {
  return out << to_string(mode);
}

std::ostream& operator<<(std::ostream& out, const ReceiveEvent& event) {
  debug::Struct(out, "ReceiveEvent")
      .field("cycles", event.cycles)
      .field("instruction", event.instruction)
      .field("kind", event.kind)
      .finish();
  return out;
}

std::ostream& operator<<(std::ostream& out, const ReceiveRowTiming& timing) {
  debug::Struct(out, "ReceiveRowTiming")
      .field("mode", timing.mode)
      .field("events", timing.events)
      .field("neutral_cycles", timing.neutral_cycles)
      .field("source_cycles", timing.source_cycles)
      .field("format_start_cycles", timing.format_start_cycles)
      .field("format_end_cycles", timing.format_end_cycles)
      .field("pointer_cycles", timing.pointer_cycles)
      .field("horizon_cycles", timing.horizon_cycles)
      .field("pointer_address", timing.pointer_address)
      .finish();
  return out;
}

std::ostream& operator<<(std::ostream& out, const ScheduledPayloadTiming& timing) {
  debug::Struct(out, "ScheduledPayloadTiming")
      .field("payload_start", timing.payload_start)
      .field("payload_end", timing.payload_end)
      .field("horizon", timing.horizon)
      .finish();
  return out;
}

std::string to_string(const ReceiveEvent& event) {
  return debug::stream_to_string(event);
}
std::string to_string(const ReceiveRowTiming& timing) {
  return debug::stream_to_string(timing);
}
std::string to_string(const ScheduledPayloadTiming& timing) {
  return debug::stream_to_string(timing);
}

}  // namespace vessik_exchange
