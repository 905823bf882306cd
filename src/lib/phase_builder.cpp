#include "vessik_exchange/phase_builder.hpp"

#include <algorithm>
#include <limits>
#include <ostream>

#include "common/debug_format.hpp"
#include "vessik_exchange/assert.hpp"
#include "vessik_exchange/diagnostics.hpp"
#include "vessik_exchange/scalar_words.hpp"

namespace vessik_exchange {
namespace {

constexpr std::string_view ALIGNMENT_ERROR = "SENDPICP instruction alignment";

bool same_rows(const MulticastPlan& left, const MulticastPlan& right) {
  return left.sender == right.sender && left.receivers == right.receivers;
}

}  // namespace

bool StagedTransfer::matches(std::uint16_t source_tile,
                             std::span<const std::uint16_t> receiver_tiles,
                             const MulticastPlan& rows, std::uint32_t schedule_offset,
                             std::uint32_t word_count) const {
  return source == source_tile && std::ranges::equal(receivers, receiver_tiles) &&
         same_rows(plan, rows) && offset == schedule_offset && words == word_count;
}

PhaseProgramBuilder::PhaseProgramBuilder(std::uint16_t tile_count) : tile_states_(tile_count) {}

PhaseProgramBuilder PhaseProgramBuilder::with_validation_budget(std::uint64_t entries) && {
  validation_budget_ = std::make_shared<std::atomic<std::uint64_t>>(entries);
  return std::move(*this);
}

Result<const TileProgramSchedule*> PhaseProgramBuilder::lookup(std::uint16_t tile) const {
  if (tile >= tile_states_.size()) return fail(ExchangeError::tile(tile));
  return &tile_states_[tile];
}

Result<std::reference_wrapper<const TileProgramSchedule>> PhaseProgramBuilder::tile_schedule(
    std::uint16_t tile) const {
  const auto schedule = lookup(tile);
  if (!schedule) return fail(schedule.error());
  return std::cref(**schedule);
}

Result<std::uint32_t> PhaseProgramBuilder::tile_event_cycles(std::uint16_t tile) const {
  const auto schedule = lookup(tile);
  if (!schedule) return fail(schedule.error());
  return (*schedule)->event_cycles();
}

std::optional<std::uint64_t> PhaseProgramBuilder::remaining_validation_budget() const {
  if (!validation_budget_) return std::nullopt;
  return validation_budget_->load(std::memory_order_relaxed);
}

Result<std::uint32_t> PhaseProgramBuilder::earliest_transfer_offset(
    std::uint16_t source, std::span<const std::uint16_t> reserved_tiles,
    std::span<const std::uint16_t> receivers, const PreparedTransfer& plan, std::uint32_t words,
    std::uint32_t requested) {
  return earliest_transfer_offset_impl(source, reserved_tiles, receivers, plan, words, requested,
                                       true);
}

Result<std::uint32_t> PhaseProgramBuilder::earliest_transfer_offset_deferred(
    std::uint16_t source, std::span<const std::uint16_t> reserved_tiles,
    std::span<const std::uint16_t> receivers, const PreparedTransfer& plan, std::uint32_t words,
    std::uint32_t requested) {
  return earliest_transfer_offset_impl(source, reserved_tiles, receivers, plan, words, requested,
                                       false);
}

Result<std::uint32_t> PhaseProgramBuilder::earliest_transfer_offset_impl(
    std::uint16_t source, std::span<const std::uint16_t> reserved_tiles,
    std::span<const std::uint16_t> receivers, const PreparedTransfer& plan, std::uint32_t words,
    std::uint32_t requested, bool validate_encoding) {
  if (receivers.size() != plan.receivers.size()) return fail_schedule("receiver row count");
  std::uint32_t offset = requested;
  while (true) {
    // Each tile raises the offset to its own earliest feasible one; repeat until all agree.
    for (std::uint32_t previous = offset + 1; previous != offset;) {
      previous = offset;
      const auto sender = lookup(source);
      if (!sender) return fail(sender.error());
      const auto sender_offset = (*sender)->earliest_sender_offset(plan.sender, offset);
      if (!sender_offset) return fail(sender_offset.error());
      offset = *sender_offset;
      for (const std::uint16_t tile : reserved_tiles) {
        const auto reserved = lookup(tile);
        if (!reserved) return fail(reserved.error());
        std::uint32_t busy_until = (*reserved)->reserved_sender_end();
        if (const auto& senders = (*reserved)->senders(); senders.len() > 0)
          busy_until = std::max(busy_until, senders[senders.len() - 1].end_cycles);
        offset = std::max(offset, busy_until);
      }
      for (std::size_t i = 0; i < receivers.size(); ++i) {
        const auto receiver = lookup(receivers[i]);
        if (!receiver) return fail(receiver.error());
        const auto receiver_offset =
            (*receiver)->earliest_receiver_offset(plan.receivers[i], words, offset);
        if (!receiver_offset) return fail(receiver_offset.error());
        offset = *receiver_offset;
      }
    }
    if (!validate_encoding) return offset;
    const auto valid = transfer_is_encodable_at(source, receivers, plan, offset, words);
    if (valid) return offset;
    if (valid.error() != ExchangeError::schedule(ALIGNMENT_ERROR)) return fail(valid.error());
    // A fused control pair could not be aligned here; the next cycle may work.
    if (offset == std::numeric_limits<std::uint32_t>::max())
      return fail_schedule("receive offset overflow");
    ++offset;
  }
}

Result<void> PhaseProgramBuilder::charge_budget(std::uint16_t source,
                                                std::span<const std::uint16_t> receivers) {
  std::uint64_t work = 0;
  const auto add_tile = [&](std::uint16_t tile) -> Result<void> {
    const auto schedule = lookup(tile);
    if (!schedule) return fail(schedule.error());
    const std::uint64_t size = std::uint64_t{(*schedule)->senders().len()} + 1 +
                               std::uint64_t{(*schedule)->receive_events().len()};
    work = work > std::numeric_limits<std::uint64_t>::max() - size
               ? std::numeric_limits<std::uint64_t>::max()
               : work + size;
    return {};
  };
  if (auto counted = add_tile(source); !counted) return counted;
  for (const std::uint16_t tile : receivers)
    if (auto counted = add_tile(tile); !counted) return counted;

  // All of the work is charged or nothing, even with clones validating on other threads.
  std::uint64_t remaining = validation_budget_->load(std::memory_order_relaxed);
  do {
    if (work > remaining) return fail(ExchangeError::validation_budget_exceeded());
  } while (!validation_budget_->compare_exchange_weak(remaining, remaining - work,
                                                      std::memory_order_relaxed));
  return {};
}

Result<void> PhaseProgramBuilder::transfer_is_encodable_at(std::uint16_t source,
                                                           std::span<const std::uint16_t> receivers,
                                                           const PreparedTransfer& plan,
                                                           std::uint32_t schedule_offset,
                                                           std::uint32_t words) {
  if (staged_ && staged_->matches(source, receivers, plan.rows.get(), schedule_offset, words))
    return {};
  if (validation_budget_)
    if (auto charged = charge_budget(source, receivers); !charged) return charged;
  staged_.reset();
  auto updates = prepare_transfer_at(source, receivers, plan, schedule_offset, words, true);
  if (!updates) return fail(updates.error());
  staged_ = StagedTransfer{
      source,          std::vector<std::uint16_t>(receivers.begin(), receivers.end()),
      plan.rows.get(), schedule_offset,
      words,           std::move(*updates)};
  return {};
}

Result<PhaseProgramBuilder::Updates> PhaseProgramBuilder::prepare_transfer_at(
    std::uint16_t source, std::span<const std::uint16_t> receivers, const PreparedTransfer& plan,
    std::uint32_t offset, std::uint32_t words, bool validate) const {
  if (receivers.size() != plan.receivers.size()) return fail_schedule("receiver row count");
  const auto source_schedule = lookup(source);
  if (!source_schedule) return fail(source_schedule.error());
  // Encoding the current schedule first lets the copy resume from that encoding.
  if (validate) (void)(*source_schedule)->encoded();
  Updates updates;
  updates.emplace_back(source, **source_schedule);
  if (auto sent = updates[0].second.append_sender_at(plan.rows.get().sender, plan.sender, offset);
      !sent)
    return fail(sent.error());
  if (validate)
    if (auto encoded = updates[0].second.encoded(); !encoded) return fail(encoded.error());

  std::vector<std::uint16_t> seen;
  for (std::size_t i = 0; i < receivers.size(); ++i) {
    const std::uint16_t tile = receivers[i];
    if (std::ranges::find(seen, tile) != seen.end()) return fail(ExchangeError::duplicate_tile());
    seen.push_back(tile);
    if (tile != source) {
      const auto schedule = lookup(tile);
      if (!schedule) return fail(schedule.error());
      if (validate) (void)(*schedule)->encoded();
      updates.emplace_back(tile, **schedule);
    }
    // A loopback receive lands on the source's own updated copy.
    TileProgramSchedule& target = tile == source ? updates[0].second : updates.back().second;
    if (auto received = target.append_receiver_at(plan.receivers[i], offset, words); !received)
      return fail(received.error());
    if (validate)
      if (auto encoded = target.encoded(); !encoded) return fail(encoded.error());
  }
  return updates;
}

Result<PhaseTransferTiming> PhaseProgramBuilder::append_transfer_at(
    std::uint16_t source, std::span<const std::uint16_t> reserved_tiles,
    std::span<const std::uint16_t> receivers, const PreparedTransfer& plan,
    std::uint32_t schedule_offset, std::uint32_t words) {
  const auto timing = transfer_timing_at(source, receivers, plan, schedule_offset, words);
  if (!timing) return fail(timing.error());

  std::optional<StagedTransfer> trial = std::move(staged_);
  staged_.reset();
  Updates updates;
  if (trial && trial->matches(source, receivers, plan.rows.get(), schedule_offset, words)) {
    updates = std::move(trial->updates);
  } else {
    auto prepared = prepare_transfer_at(source, receivers, plan, schedule_offset, words, false);
    if (!prepared) return fail(prepared.error());
    updates = std::move(*prepared);
  }

  for (std::size_t i = 0; i < reserved_tiles.size(); ++i) {
    const std::uint16_t tile = reserved_tiles[i];
    if (std::find(reserved_tiles.begin(), reserved_tiles.begin() + static_cast<std::ptrdiff_t>(i),
                  tile) != reserved_tiles.begin() + static_cast<std::ptrdiff_t>(i))
      return fail(ExchangeError::duplicate_tile());
    auto found = std::ranges::find_if(updates, [tile](const auto& u) { return u.first == tile; });
    if (found == updates.end()) {
      const auto schedule = lookup(tile);
      if (!schedule) return fail(schedule.error());
      updates.emplace_back(tile, **schedule);
      found = std::prev(updates.end());
    }
    found->second.reserve_senders_until(timing->sender_horizon);
  }

  for (auto& [tile, schedule] : updates) tile_states_[tile] = std::move(schedule);
  return timing;
}

Result<PhaseTransferTiming> PhaseProgramBuilder::transfer_timing_at(
    std::uint16_t source, std::span<const std::uint16_t> receivers, const PreparedTransfer& plan,
    std::uint32_t schedule_offset, std::uint32_t words) const {
  if (receivers.size() != plan.receivers.size()) return fail_schedule("receiver row count");
  if (auto sender = lookup(source); !sender) return fail(sender.error());
  const auto sender = plan.sender.at(schedule_offset);
  if (!sender) return fail(sender.error());
  PhaseTransferTiming timing{
      sender->payload_start, sender->payload_end, sender->horizon, {}, sender->horizon};
  for (std::size_t i = 0; i < receivers.size(); ++i) {
    const auto schedule = lookup(receivers[i]);
    if (!schedule) return fail(schedule.error());
    const auto& stream = (*schedule)->receive_stream();
    const auto window = scheduled_receive_window(plan.receivers[i], schedule_offset, words,
                                                 stream ? &*stream : nullptr);
    if (!window) return fail(window.error());
    timing.receivers.push_back({window->payload_start, window->payload_end, window->horizon});
    timing.horizon = std::max(timing.horizon, window->horizon);
  }
  return timing;
}

Result<PhasePrograms> PhaseProgramBuilder::finish() const {
  PhasePrograms result;
  result.tile_event_cycles.reserve(tile_states_.size());
  for (const auto& schedule : tile_states_) {
    result.tile_event_cycles.push_back(schedule.event_cycles());
    result.event_cycles = std::max(result.event_cycles, schedule.event_cycles());
  }
  result.programs.reserve(tile_states_.size());
  for (std::size_t tile = 0; tile < tile_states_.size(); ++tile) {
    const auto& schedule = tile_states_[tile];
    if (schedule.event_cycles() == 0) {
      result.programs.emplace_back(std::nullopt);
      continue;
    }
    auto program = schedule.finish();
    if (!program) return fail(program.error());
    if (auto valid = diagnostic::validate_tile_program(tile, schedule, *program); !valid)
      return fail(valid.error());
    result.programs.emplace_back(std::move(*program));
  }
  return result;
}

Result<void> PhaseProgramBuilder::switch_outgoing_base(std::uint16_t tile, std::uint8_t reg) {
  const auto instruction = encode_put_special_m(0xA7, reg);
  if (!instruction) return fail(instruction.error());
  staged_.reset();
  if (tile >= tile_states_.size()) return fail(ExchangeError::tile(tile));
  const TileProgramSchedule& schedule = tile_states_[tile];

  const auto& senders = schedule.senders();
  const auto switches = schedule.base_switches();
  std::uint32_t start = std::max(senders.len() > 0 ? senders[senders.len() - 1].end_cycles : 0u,
                                 switches.empty() ? 0u : switches.back());
  const auto& events = schedule.receive_events();
  std::size_t index =
      events.partition_point([start](const ReceiveEvent& e) { return e.cycles <= start; });
  if (auto current = schedule.encoded(); !current) return fail(current.error());

  while (true) {
    std::uint32_t end = 0;
    if (__builtin_add_overflow(start, 13u, &end))
      return fail_schedule("base switch horizon overflow");
    // Slide the window past any control inside it, so the control sits at its open lower edge.
    if (index < events.len() && events[index].cycles <= end) {
      start = events[index].cycles;
      ++index;
      continue;
    }
    TileProgramSchedule candidate = schedule;
    candidate.insert_base_switch(index, end, *instruction);
    const auto encoded = candidate.encoded();
    if (encoded) {
      tile_states_[tile] = std::move(candidate);
      return {};
    }
    if (encoded.error() != ExchangeError::schedule(ALIGNMENT_ERROR)) return fail(encoded.error());
    if (__builtin_add_overflow(start, 1u, &start))
      return fail_schedule("base switch horizon overflow");
  }
}

std::ostream& operator<<(std::ostream& out, const PhaseProgramBuilder& builder) {
  debug::Struct(out, "PhaseProgramBuilder")
      .field("tile_count", builder.tile_count())
      .field("validation_budget", builder.remaining_validation_budget())
      .field("staged", builder.staged())
      .finish();
  return out;
}

std::string to_string(const PhaseProgramBuilder& builder) {
  return debug::stream_to_string(builder);
}

std::ostream& operator<<(std::ostream& out, const PhasePrograms& programs) {
  debug::Struct(out, "PhasePrograms")
      .field("programs", programs.programs)
      .field("tile_event_cycles", programs.tile_event_cycles)
      .field("event_cycles", programs.event_cycles)
      .finish();
  return out;
}

std::ostream& operator<<(std::ostream& out, const PhaseTransferTiming& timing) {
  debug::Struct(out, "PhaseTransferTiming")
      .field("payload_start", timing.payload_start)
      .field("payload_end", timing.payload_end)
      .field("sender_horizon", timing.sender_horizon)
      .field("receivers", timing.receivers)
      .field("horizon", timing.horizon)
      .finish();
  return out;
}

std::ostream& operator<<(std::ostream& out, const StagedTransfer& staged) {
  std::vector<std::uint16_t> tiles;
  for (const auto& update : staged.updates) tiles.push_back(update.first);
  debug::Struct(out, "StagedTransfer")
      .field("source", staged.source)
      .field("receivers", staged.receivers)
      .field("plan", staged.plan)
      .field("offset", staged.offset)
      .field("words", staged.words)
      .field("updated_tiles", tiles)
      .finish();
  return out;
}

std::string to_string(const PhasePrograms& programs) {
  return debug::stream_to_string(programs);
}
std::string to_string(const PhaseTransferTiming& timing) {
  return debug::stream_to_string(timing);
}
std::string to_string(const StagedTransfer& staged) {
  return debug::stream_to_string(staged);
}

}  // namespace vessik_exchange
