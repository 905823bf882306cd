#include <algorithm>
#include <sstream>
#include <tuple>

#include "common/debug_format.hpp"
#include "vessik_exchange/diagnostics.hpp"
#include "vessik_exchange/event_log.hpp"
#include "vessik_exchange/tile_schedule.hpp"

namespace vessik_exchange::diagnostic {
namespace {

using TimedControl = std::pair<std::uint32_t, IncomingControl>;

bool control_less(const TimedControl& left, const TimedControl& right) {
  return std::pair(left.first, control_key(left.second)) <
         std::pair(right.first, control_key(right.second));
}

std::string render_entry(const TimedControl& entry) {
  std::ostringstream out;
  out << '(' << entry.first << ", " << entry.second << ')';
  return out.str();
}

std::string render_optional_entry(std::span<const TimedControl> entries, std::size_t index) {
  return index < entries.size() ? "Some(" + render_entry(entries[index]) + ")" : "None";
}

std::string render_window(std::span<const TimedControl> entries, std::size_t from, std::size_t to) {
  std::string text = "[";
  for (std::size_t i = from; i < std::min(to, entries.size()); ++i) {
    if (i > from) text += ", ";
    text += render_entry(entries[i]);
  }
  return text + "]";
}

void report_control_mismatch(std::size_t tile, std::span<const TimedControl> actual,
                             std::span<const TimedControl> expected) {
  debug_event(
      "vessik_exchange::diagnostic", "encoded incoming controls differ from the phase schedule",
      [&] {
        std::size_t first = 0;
        while (first < actual.size() && first < expected.size() && actual[first] == expected[first])
          ++first;
        const std::size_t from = first >= 3 ? first - 3 : 0;
        const std::size_t to = std::min(first + 4, std::max(actual.size(), expected.size()));
        return std::vector<EventField>{
            {"tile", std::uint64_t{tile}},
            {"first_mismatch", std::uint64_t{first}},
            {"actual_len", std::uint64_t{actual.size()}},
            {"expected_len", std::uint64_t{expected.size()}},
            {"actual", render_optional_entry(actual, first)},
            {"expected", render_optional_entry(expected, first)},
            {"actual_window", render_window(actual, from, to)},
            {"expected_window", render_window(expected, from, to)},
        };
      });
}

struct ActualSend {
  std::uint32_t start;
  std::uint32_t end;
  SendEncoding encoding;
};

}  // namespace

Result<PlanProgramDiagnostic> validate_tile_program(std::size_t tile,
                                                    const TileProgramSchedule& schedule,
                                                    std::span<const std::uint32_t> words) {
  auto listing = diagnose_plan_program(words, std::nullopt);
  if (!listing) return fail(listing.error());
  if (listing->event_cycles != schedule.event_cycles())
    return fail_schedule("encoded tile horizon mismatch");
  for (const auto& instruction : listing->instructions)
    if (instruction.operation.is<PlanOperation::Unknown>())
      return fail_schedule("unknown encoded exchange instruction");

  // Outgoing base writes: compared in order, by the cycle they take effect and the raw word.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> actual_bases;
  for (const auto& instruction : listing->instructions)
    if (const auto* base = instruction.operation.get_if<PlanOperation::WriteBase>();
        base != nullptr && !base->incoming)
      actual_bases.emplace_back(instruction.end_cycle, words[instruction.word_offset]);
  std::vector<std::pair<std::uint32_t, std::uint32_t>> expected_bases;
  for (const ReceiveEvent& event : schedule.receive_events())
    if (event.kind == ReceiveEventKind::OutgoingBase)
      expected_bases.emplace_back(event.cycles, event.instruction);
  if (actual_bases != expected_bases) return fail_schedule("encoded outgoing base mismatch");

  std::vector<TimedControl> actual_controls;
  std::vector<ActualSend> actual_sends;
  for (const auto& instruction : listing->instructions) {
    if (const auto* control = instruction.operation.get_if<IncomingControl>()) {
      // A control carried by a delay takes effect when the delay ends.
      actual_controls.emplace_back(instruction.end_cycle, *control);
    } else if (const auto* send = instruction.operation.get_if<PlanOperation::Send>()) {
      // A send control takes effect one cycle after the send starts.
      for (const auto& carried : send->controls)
        actual_controls.emplace_back(instruction.start_cycle + 1, carried);
      // Send control 0 moves no payload: the send is only a timed carrier of its controls.
      if (send->send_control != std::optional<std::uint8_t>(0))
        actual_sends.push_back({instruction.start_cycle, instruction.end_cycle, send->encoding});
    }
  }
  std::ranges::sort(actual_controls, control_less);

  std::vector<TimedControl> expected_controls;
  for (const ReceiveEvent& event : schedule.receive_events()) {
    if (event.kind == ReceiveEventKind::OutgoingBase) continue;
    if (is_xpic(event.kind))
      expected_controls.emplace_back(
          event.cycles, IncomingControl{IncomingControlStream::Xpic, event.instruction & 0x3FFFu});
    else
      expected_controls.emplace_back(
          event.cycles, IncomingControl{IncomingControlStream::Pic, event.instruction & 0x7FFFFu});
  }
  std::ranges::sort(expected_controls, control_less);
  if (actual_controls != expected_controls) {
    report_control_mismatch(tile, actual_controls, expected_controls);
    return fail_schedule("encoded incoming-control mismatch");
  }

  // Every scheduled payload is carried by one send or a gapless chain of sends.
  for (const ScheduledSenderRow& row : schedule.senders()) {
    std::optional<ActualSend> first;
    std::optional<ActualSend> last;
    for (const ActualSend& send : actual_sends) {
      if (!(send.start < row.end_cycles && row.start_cycles < send.end)) continue;
      if (last && last->end != send.start) return fail_schedule("encoded sender interval mismatch");
      if (!first) first = send;
      last = send;
    }
    if (!first || first->start != row.start_cycles || last->end != row.end_cycles)
      return fail_schedule("encoded sender interval mismatch");
  }
  for (const ActualSend& send : actual_sends) {
    const bool contained = std::ranges::any_of(schedule.senders(), [&](const auto& row) {
      return row.start_cycles <= send.start && send.end <= row.end_cycles;
    });
    if (!contained) return fail_schedule("unexpected encoded outgoing interval");
  }
  return listing;
}

}  // namespace vessik_exchange::diagnostic
