#include "vessik_exchange/emission.hpp"

#include <algorithm>
#include <array>
#include <iterator>
#include <limits>
#include <ostream>

#include "common/debug_format.hpp"
#include "vessik_exchange/exchange_words.hpp"

namespace vessik_exchange {
namespace {

// Events [begin, end) sharing the cycle of events[begin].
std::size_t group_end(std::span<const ReceiveEvent> events, std::size_t begin) {
  std::size_t end = begin + 1;
  while (end < events.size() && events[end].cycles == events[begin].cycles) ++end;
  return end;
}

template <RowWords S>
std::size_t parity_of(const S& words) {
  return row_words_len(words) % 2;
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const ScheduledSenderRow& sender) {
  debug::Struct(out, "ScheduledSenderRow")
      .field("row", sender.row)
      .field("start_cycles", sender.start_cycles)
      .field("end_cycles", sender.end_cycles)
      .finish();
  return out;
}

std::string to_string(const ScheduledSenderRow& sender) {
  return debug::stream_to_string(sender);
}

Result<std::pair<std::uint32_t, std::uint32_t>> sender_payload(const PlanRow& row) {
  std::optional<std::uint32_t> initial;
  std::uint32_t payload = 0;
  for (const std::uint32_t word : row) {
    if (is_send(word)) {
      if (initial) return fail_schedule("multiple initial sends");
      initial = word;
    } else if (!is_send_off(word)) {
      continue;
    }
    if (__builtin_add_overflow(payload, instruction_advance(word), &payload))
      return fail_schedule("sender payload overflow");
  }
  if (!initial) return fail_schedule("sender payload");
  return std::pair{*initial, payload};
}

Result<std::uint32_t> encode_send_control(std::uint32_t count_minus_one,
                                          const ReceiveEvent& event) {
  if (count_minus_one >= 64) return fail_schedule("SENDPIC count");
  if (event.kind == ReceiveEventKind::OutgoingBase) return fail_schedule("base switch inside send");
  std::uint32_t selector = 0;
  std::uint32_t operand = 0;
  if (is_xpic(event.kind)) {
    selector = (event.instruction >> 13) & 1u;
    operand = event.instruction & 0x1FFFu;
  } else {
    selector = 2u + ((event.instruction >> 18) & 1u);
    operand = event.instruction & 0x3FFFFu;
  }
  return 0x70100000u | count_minus_one << 21 | selector << 18 | operand;
}

Result<std::pair<std::uint32_t, std::uint32_t>> encode_send_control_pair(
    std::uint32_t count_minus_one, std::uint32_t source_word_address, std::uint32_t send_control,
    std::span<const ReceiveEvent> events) {
  if (count_minus_one >= 64 || source_word_address > 0x3FFFFu || send_control > 7 ||
      events.size() != 2)
    return fail_schedule("SENDPICP operand");
  const auto pic = std::ranges::find_if(events, [](const auto& e) { return is_pic(e.kind); });
  if (pic == events.end()) return fail_schedule("SENDPICP PIC control");
  const auto xpic = std::ranges::find_if(events, [](const auto& e) { return is_xpic(e.kind); });
  if (xpic == events.end()) return fail_schedule("SENDPICP XPIC control");
  if (pic->cycles != xpic->cycles) return fail_schedule("SENDPICP event time");
  const std::uint32_t first = 0xF0000000u | ((pic->instruction >> 18) & 1u) << 27 |
                              count_minus_one << 21 | ((source_word_address << 3) & 0x1FFFF8u) |
                              send_control;
  const std::uint32_t second = (xpic->instruction << 18) | (pic->instruction & 0x3FFFFu);
  return std::pair{first, second};
}

template <RowWords S>
Result<void> append_plain_delay(S& words, std::uint32_t& event_cycles,
                                std::uint32_t target_cycles) {
  if (target_cycles < event_cycles) return fail_schedule("plan delay order");
  std::uint32_t distance = target_cycles - event_cycles;
  while (distance > 0) {
    const std::uint32_t chunk = std::min(distance, MAX_DELAY_ADVANCE);
    row_words_push(words, delay(chunk - 1));
    event_cycles += chunk;
    distance -= chunk;
  }
  return {};
}

template <RowWords S>
Result<void> append_plain_delay_aligned(S& words, std::uint32_t& event_cycles,
                                        std::uint32_t target_cycles, std::size_t word_parity) {
  if (target_cycles < event_cycles) return fail_schedule("plan delay order");
  std::uint32_t remaining = target_cycles - event_cycles;
  if (remaining == 0) {
    if (parity_of(words) != word_parity) return fail_schedule("SENDPICP instruction alignment");
    return {};
  }
  std::uint32_t delay_words = remaining / MAX_DELAY_ADVANCE + (remaining % MAX_DELAY_ADVANCE != 0);
  if ((row_words_len(words) + delay_words) % 2 != word_parity) ++delay_words;
  if (remaining < delay_words) return fail_schedule("SENDPICP instruction alignment");
  // Each delay takes as much as it can while leaving one cycle for every delay after it.
  for (std::uint32_t k = delay_words; k >= 1; --k) {
    const std::uint32_t chunk = std::min(remaining - (k - 1), MAX_DELAY_ADVANCE);
    row_words_push(words, delay(chunk - 1));
    event_cycles += chunk;
    remaining -= chunk;
  }
  return {};
}

template <RowWords S>
Result<void> emit_sender_words(S& words, std::uint32_t& event_cycles,
                               std::uint32_t initial_instruction, std::uint32_t direction,
                               std::uint32_t& remaining, std::uint32_t& sent, bool& started,
                               std::uint32_t count, std::optional<std::size_t> final_word_parity) {
  if (count > remaining || count > std::numeric_limits<std::uint32_t>::max() - event_cycles)
    return fail_schedule("sender payload overflow");
  if (count == 0) {
    // The first payload word always goes out with the resized initial SEND, never with a control.
    if (!started) return fail_schedule("unencodable initial send control");
    if (final_word_parity && parity_of(words) != *final_word_parity)
      return fail_schedule("SENDPICP instruction alignment");
    return {};
  }

  std::vector<std::uint32_t> chunks;
  std::uint32_t left = count;
  while (left > 0) {
    const std::uint32_t limit = !started && chunks.empty() ? 64u : 4096u;
    const std::uint32_t chunk = std::min(left, limit);
    chunks.push_back(chunk);
    left -= chunk;
  }
  if (final_word_parity && (row_words_len(words) + chunks.size()) % 2 != *final_word_parity) {
    // One extra word fixes the parity: split the last chunk that can spare a word.
    const auto splittable =
        std::find_if(chunks.rbegin(), chunks.rend(), [](std::uint32_t c) { return c > 1; });
    if (splittable == chunks.rend()) return fail_schedule("SENDPICP instruction alignment");
    const auto at = std::prev(splittable.base());
    const std::uint32_t rest = *at - 1;
    *at = 1;
    chunks.insert(std::next(at), rest);
  }

  for (const std::uint32_t chunk : chunks) {
    if (!started) {
      const auto initial = resize_send(initial_instruction, chunk);
      if (!initial) return fail(initial.error());
      row_words_push(words, *initial);
      started = true;
    } else {
      row_words_push(words, send_off(chunk - 1, direction, 0));
    }
    event_cycles += chunk;
    remaining -= chunk;
    sent += chunk;
  }
  if (final_word_parity && parity_of(words) != *final_word_parity)
    return fail_schedule("SENDPICP instruction alignment");
  return {};
}

template <RowWords S>
Result<void> append_sender_message(S& words, std::uint32_t& event_cycles,
                                   const ScheduledSenderRow& sender,
                                   std::span<const ReceiveEvent> controls) {
  if (auto delayed = append_plain_delay(words, event_cycles, sender.start_cycles); !delayed)
    return delayed;
  const auto payload = sender_payload(sender.row);
  if (!payload) return fail(payload.error());
  const auto [initial, payload_words] = *payload;
  const std::uint32_t direction = initial & 7u;
  const std::uint32_t initial_source = (initial & 0x1FFFF8u) >> 3;
  std::uint32_t remaining = payload_words;
  std::uint32_t sent = 0;
  bool started = false;

  for (std::size_t begin = 0; begin < controls.size();) {
    const std::size_t end = group_end(controls, begin);
    const auto group = controls.subspan(begin, end - begin);
    const bool pair = group.size() > 1;
    const std::uint32_t cycles = group.front().cycles;

    if (cycles == 0) return fail_schedule("send control at phase entry");
    const std::uint32_t control_start = cycles - 1;
    if (control_start < event_cycles) return fail_schedule("send control order");
    const std::uint32_t distance = control_start - event_cycles;
    // A control needs at least its own word of payload.
    if (distance >= remaining) return fail_schedule("send control beyond payload");

    if (auto plain =
            emit_sender_words(words, event_cycles, initial, direction, remaining, sent, started,
                              distance, pair ? std::optional<std::size_t>(0) : std::nullopt);
        !plain)
      return plain;

    const std::uint32_t next_boundary =
        end < controls.size() ? controls[end].issue_start() : sender.end_cycles;
    if (next_boundary < event_cycles) return fail_schedule("send control order");
    std::uint32_t available = next_boundary - event_cycles;
    // Leave one plain send word before a following pair that would otherwise start odd.
    const bool next_is_pair =
        end + 1 < controls.size() && controls[end].cycles == controls[end + 1].cycles;
    if (next_is_pair && (row_words_len(words) + group.size()) % 2 == 1 && available > 1)
      --available;

    const std::uint32_t chunk = std::min({available, 64u, remaining});
    if (chunk == 0) return fail_schedule("empty receive-control continuation");
    if (pair) {
      std::uint32_t source = 0;
      if (__builtin_add_overflow(initial_source, sent, &source))
        return fail_schedule("SENDPICP source overflow");
      const auto encoded = encode_send_control_pair(chunk - 1, source, direction, group);
      if (!encoded) return fail(encoded.error());
      row_words_push(words, encoded->first);
      row_words_push(words, encoded->second);
    } else {
      const auto encoded = encode_send_control(chunk - 1, group.front());
      if (!encoded) return fail(encoded.error());
      row_words_push(words, *encoded);
    }
    event_cycles += chunk;
    remaining -= chunk;
    sent += chunk;
    begin = end;
  }

  // The rest of the payload; an inconsistent row cannot run past the end of the cycle range.
  const auto advance = [&](std::uint32_t chunk) -> bool {
    if (__builtin_add_overflow(event_cycles, chunk, &event_cycles)) return false;
    remaining -= chunk;
    sent += chunk;
    return true;
  };
  if (!started) {
    const std::uint32_t chunk = std::min(remaining, 64u);
    const auto first = resize_send(initial, chunk);
    if (!first) return fail(first.error());
    row_words_push(words, *first);
    started = true;
    if (!advance(chunk)) return fail_schedule("sender payload horizon");
  }
  while (remaining > 0) {
    const std::uint32_t chunk = std::min(remaining, 4096u);
    row_words_push(words, send_off(chunk - 1, direction, 0));
    if (!advance(chunk)) return fail_schedule("sender payload horizon");
  }
  if (event_cycles != sender.end_cycles) return fail_schedule("sender payload horizon");
  return {};
}

template <RowWords S>
Result<void> append_receive_events_record(S& words, std::uint32_t& event_cycles,
                                          std::span<const ReceiveEvent> events,
                                          std::uint32_t horizon_cycles, bool align_control_pairs,
                                          const ReceiveGroupRecorder& record) {
  for (std::size_t begin = 0; begin < events.size();) {
    const std::size_t end = group_end(events, begin);
    const auto group = events.subspan(begin, end - begin);
    const ReceiveEvent& first = group.front();
    const std::uint32_t next_start =
        end < events.size() ? events[end].issue_start() : horizon_cycles;
    std::optional<std::uint32_t> lookahead;

    if (first.kind == ReceiveEventKind::OutgoingBase) {
      if (group.size() != 1) return fail_schedule("base write overlaps receive control");
      // Base switches are scheduled to end at least one write (13 cycles) into the phase.
      VX_ASSERT(first.cycles >= 13);
      if (auto delayed = append_plain_delay(words, event_cycles, first.cycles - 13); !delayed)
        return delayed;
      row_words_push(words, first.instruction);
      event_cycles = first.cycles;
    } else if (group.size() > 1) {
      if (first.cycles == 0) return fail_schedule("receive control at phase entry");
      const std::uint32_t instruction_start = first.cycles - 1;
      const auto delayed =
          align_control_pairs
              ? append_plain_delay_aligned(words, event_cycles, instruction_start, 0)
              : append_plain_delay(words, event_cycles, instruction_start);
      if (!delayed) return delayed;
      if (next_start < event_cycles) return fail_schedule("receive control order");
      const std::uint32_t count = std::min(next_start - event_cycles, 64u);
      if (count == 0) return fail_schedule("empty SENDPICP interval");
      // A SENDPICP from address 0 without payload direction serves as a timed carrier.
      const auto encoded = encode_send_control_pair(count - 1, 0, 0, group);
      if (!encoded) return fail(encoded.error());
      row_words_push(words, encoded->first);
      row_words_push(words, encoded->second);
      event_cycles += count;
      lookahead = next_start;
    } else {
      if (first.cycles < event_cycles) return fail_schedule("receive event order");
      std::uint32_t advance = first.cycles - event_cycles;
      // The carrying delay needs at least one cycle.
      if (advance == 0) return fail_schedule("receive control issue interval");
      const auto maximum = maximum_timed_instruction_advance(first.instruction);
      if (!maximum) return fail_schedule("receive timed event");
      if (advance > *maximum) {
        if (auto delayed = append_plain_delay(words, event_cycles, first.cycles - *maximum);
            !delayed)
          return delayed;
        advance = *maximum;
      }
      std::uint32_t instruction = first.instruction;
      if (auto set = set_instruction_advance(instruction, advance); !set) return set;
      row_words_push(words, instruction);
      event_cycles = first.cycles;
    }
    if (record) record(end, row_words_len(words), event_cycles, lookahead);
    begin = end;
  }
  return append_plain_delay(words, event_cycles, horizon_cycles);
}

template <RowWords S>
Result<void> append_receive_events(S& words, std::uint32_t& event_cycles,
                                   std::span<const ReceiveEvent> events,
                                   std::uint32_t horizon_cycles, bool align_control_pairs) {
  return append_receive_events_record(words, event_cycles, events, horizon_cycles,
                                      align_control_pairs, ReceiveGroupRecorder{});
}

#define VX_EMISSION_INSTANTIATE(S)                                                                 \
  template Result<void> append_plain_delay<S>(S&, std::uint32_t&, std::uint32_t);                  \
  template Result<void> append_plain_delay_aligned<S>(S&, std::uint32_t&, std::uint32_t,           \
                                                      std::size_t);                                \
  template Result<void> emit_sender_words<S>(S&, std::uint32_t&, std::uint32_t, std::uint32_t,     \
                                             std::uint32_t&, std::uint32_t&, bool&, std::uint32_t, \
                                             std::optional<std::size_t>);                          \
  template Result<void> append_sender_message<S>(S&, std::uint32_t&, const ScheduledSenderRow&,    \
                                                 std::span<const ReceiveEvent>);                   \
  template Result<void> append_receive_events_record<S>(                                           \
      S&, std::uint32_t&, std::span<const ReceiveEvent>, std::uint32_t, bool,                      \
      const ReceiveGroupRecorder&);                                                                \
  template Result<void> append_receive_events<S>(                                                  \
      S&, std::uint32_t&, std::span<const ReceiveEvent>, std::uint32_t, bool);
VX_EMISSION_INSTANTIATE(std::vector<std::uint32_t>)
VX_EMISSION_INSTANTIATE(Chunked<std::uint32_t>)
#undef VX_EMISSION_INSTANTIATE

}  // namespace vessik_exchange
