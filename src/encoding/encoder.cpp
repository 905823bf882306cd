#include <algorithm>
#include <ostream>
#include <sstream>

#include "common/debug_format.hpp"
#include "vessik_exchange/assert.hpp"
#include "vessik_exchange/encoding.hpp"
#include "vessik_exchange/exchange_words.hpp"

namespace vessik_exchange {

bool Checkpoint::reusable(const Chunked<ScheduledSenderRow>& sender_rows,
                          const Chunked<ReceiveEvent>& receive_events,
                          std::uint32_t horizon) const {
  if (senders > sender_rows.len() || events > receive_events.len()) return false;
  const std::uint32_t sender_start =
      senders < sender_rows.len() ? sender_rows[senders].start_cycles : horizon;
  const ReceiveEvent* next = events < receive_events.len() ? &receive_events[events] : nullptr;
  if (cycles > sender_start) return false;
  if (next != nullptr && cycles >= next->cycles) return false;
  // No event already emitted may belong to the next sender's payload.
  if (events > 0 && receive_events[events - 1].cycles >= sender_start) return false;
  if (lookahead) {
    // A SENDPICP carrier's length depends on the boundary it saw; a changed boundary means
    // the words after this point differ.
    // An event on the sender's start cycle (or on the horizon) is emitted before that point,
    // so the carrier saw its issue start too.
    const std::uint32_t boundary =
        next != nullptr && next->cycles <= sender_start ? next->issue_start() : sender_start;
    if (*lookahead != boundary) return false;
  }
  return true;
}

namespace {

// Sum of advances of the words from `first` on, a SENDPICP counted once.
std::uint64_t program_cycles(const Chunked<std::uint32_t>& words, std::size_t first) {
  std::uint64_t total = 0;
  for (std::size_t i = first; i < words.len(); ++i) {
    total += instruction_advance(words[i]);
    if (is_send_control_pair(words[i])) ++i;
  }
  return total;
}

}  // namespace

Result<EncodedSchedule> build_scheduled_program(const Chunked<ScheduledSenderRow>& senders,
                                                const Chunked<ReceiveEvent>& receive_events,
                                                std::uint32_t horizon_cycles,
                                                std::optional<EncodingPrefix> prefix) {
  // Only the changed suffix needs validating; it starts at the first event of its cycle group
  // because same-cycle events are validated together.
  const std::size_t event_count = receive_events.len();
  std::size_t changed = prefix ? std::min(prefix->same_events, event_count) : 0;
  while (changed > 0 && changed < event_count &&
         receive_events[changed - 1].cycles == receive_events[changed].cycles)
    --changed;
  if (changed < event_count) {
    const auto window = receive_events.slice(changed, event_count);
    if (auto valid = validate_receive_events(window.span()); !valid) return fail(valid.error());
  }

  Chunked<std::uint32_t> words;
  Chunked<Checkpoint> checkpoints;
  Checkpoint resume{};
  std::size_t resumed_words = 0;
  if (prefix) {
    const auto& previous = prefix->encoding.checkpoints();
    for (std::size_t k = previous.len(); k-- > 0;) {
      const Checkpoint& candidate = previous[k];
      if (candidate.senders <= prefix->same_senders && candidate.events <= prefix->same_events &&
          candidate.reusable(senders, receive_events, horizon_cycles)) {
        resume = candidate;
        words = prefix->encoding.word_sequence();
        words.truncate(candidate.words);
        checkpoints = previous;
        checkpoints.truncate(k + 1);
        resumed_words = candidate.words;
        break;
      }
    }
  }

  // Senders before the resume point were checked by the encoding that emitted them.
  for (std::size_t i = std::max<std::size_t>(resume.senders, 1); i < senders.len(); ++i)
    VX_ASSERT(senders[i - 1].end_cycles <= senders[i].start_cycles);

  std::uint32_t event_cycles = resume.cycles;
  std::size_t event_index = resume.events;
  const auto first_event_after = [&](std::uint32_t cycles) {
    return receive_events.partition_point(
        [cycles](const ReceiveEvent& e) { return e.cycles <= cycles; });
  };
  const auto emit_events = [&](std::size_t sender_index, std::size_t split,
                               std::uint32_t horizon) -> Result<void> {
    const std::size_t base = event_index;
    const auto slice = receive_events.slice(base, split);
    return append_receive_events_record(
        words, event_cycles, slice.span(), horizon, true,
        [&](std::size_t after, std::size_t word_count, std::uint32_t cycles,
            std::optional<std::uint32_t> lookahead) {
          checkpoints.push(Checkpoint{sender_index, base + after, word_count, cycles, lookahead});
        });
  };

  for (std::size_t i = resume.senders; i < senders.len(); ++i) {
    const ScheduledSenderRow& sender = senders[i];
    // Events on the sender's start cycle are issued before its payload.
    const std::size_t before = std::max(event_index, first_event_after(sender.start_cycles));
    if (auto emitted = emit_events(i, before, sender.start_cycles); !emitted)
      return fail(emitted.error());
    event_index = before;
    const std::size_t inside = std::max(event_index, first_event_after(sender.end_cycles));
    const auto controls = receive_events.slice(event_index, inside);
    if (auto sent = append_sender_message(words, event_cycles, sender, controls.span()); !sent)
      return fail(sent.error());
    event_index = inside;
    checkpoints.push(Checkpoint{i + 1, event_index, words.len(), event_cycles, std::nullopt});
  }
  if (auto rest = emit_events(senders.len(), event_count, horizon_cycles); !rest)
    return fail(rest.error());
  words.push(RET_WORD);

  // Emission places every instruction by cycle, so the program must end exactly at the horizon.
  // The resumed words end exactly at the checkpoint's cycle, so only the tail is summed.
  VX_ASSERT(resume.cycles + program_cycles(words, resumed_words) == horizon_cycles);
  return EncodedSchedule(std::move(checkpoints), std::move(words), resumed_words);
}

std::ostream& operator<<(std::ostream& out, const Checkpoint& checkpoint) {
  debug::Struct(out, "Checkpoint")
      .field("senders", checkpoint.senders)
      .field("events", checkpoint.events)
      .field("words", checkpoint.words)
      .field("cycles", checkpoint.cycles)
      .field("lookahead", checkpoint.lookahead)
      .finish();
  return out;
}

std::ostream& operator<<(std::ostream& out, const EncodedSchedule& encoded) {
  debug::Struct(out, "EncodedSchedule")
      .field("checkpoints", encoded.checkpoints().to_vec())
      .field("words", encoded.words())
      .field("resumed_words", encoded.resumed_words())
      .finish();
  return out;
}

std::string to_string(const Checkpoint& checkpoint) {
  return debug::stream_to_string(checkpoint);
}
std::string to_string(const EncodedSchedule& encoded) {
  return debug::stream_to_string(encoded);
}

}  // namespace vessik_exchange
