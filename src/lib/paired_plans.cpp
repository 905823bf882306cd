// Paired 64-bit multicast plans: one sender, complete tile pairs as receivers. The receiver
// rows are built from timed receive events and encoded by the receive-event emitter, so only
// the early tile of each pair drives the pair's incoming mux.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "vessik_exchange/emission.hpp"
#include "vessik_exchange/exchange_words.hpp"
#include "vessik_exchange/plans.hpp"
#include "vessik_exchange/row_timing.hpp"
#include "vessik_exchange/topology.hpp"

namespace vessik_exchange {
namespace {

/// Cycles from the source selection to the format setup, before the receiver's row term.
constexpr std::uint32_t FORMAT_LEAD = 51;
/// The pointer write follows the format setup by this many cycles.
constexpr std::uint32_t POINTER_AFTER_FORMAT = 2;
/// Cycles the row runs on after its last control.
constexpr std::uint32_t ROW_TAIL = 7;
/// Format value that ends a paired receive.
constexpr std::uint32_t FORMAT_END = 0;

/// A receive event whose cycle is not yet known to fit the cycle range.
struct PendingEvent {
  std::uint64_t cycles = 0;
  std::uint32_t instruction = 0;
  ReceiveEventKind kind = ReceiveEventKind::Format;
};

}  // namespace

Result<bool> Topology::paired_receiver_is_early(std::uint16_t receiver_logical,
                                                std::uint16_t sender_logical) const {
  const auto receiver = physical(receiver_logical);
  if (!receiver) return fail(receiver.error());
  const auto sender = physical(sender_logical);
  if (!sender) return fail(sender.error());
  const std::uint32_t receiver_physical = *receiver;
  return time_to_mux(*sender, receiver_physical) < time_to_mux(*sender, receiver_physical ^ 2u);
}

Result<PlanRow> Topology::paired_receiver_row(std::uint16_t sender_logical,
                                              std::uint16_t receiver_logical, std::uint32_t count,
                                              std::int32_t minimum_double_mux) const {
  const auto sender_tile = physical(sender_logical);
  if (!sender_tile) return fail(sender_tile.error());
  const auto receiver_tile = physical(receiver_logical);
  if (!receiver_tile) return fail(receiver_tile.error());
  const std::uint32_t sender = *sender_tile;
  const std::uint32_t receiver = *receiver_tile;

  // Shift the transfer so that the earliest receiver selects the sender at cycle 1 or later.
  // Cycles are widened so that extreme caller-supplied values cannot overflow before the
  // horizon check below.
  const std::int64_t epoch_shift = std::max<std::int64_t>(1 - std::int64_t{minimum_double_mux}, 0);
  const std::int64_t source_event =
      std::int64_t{paired_time_to_mux(sender, receiver)} + epoch_shift;
  if (source_event < 0) return fail_schedule("paired source timing");
  const auto source_cycles = static_cast<std::uint64_t>(source_event);
  const std::uint64_t format_start = source_cycles + FORMAT_LEAD + (receiver / 64) * 2;

  const auto is_early = paired_receiver_is_early(receiver_logical, sender_logical);
  if (!is_early) return fail(is_early.error());

  // Advance fields stay 0 here; the emitter sets each delay to end on its event's cycle.
  std::vector<PendingEvent> pending;
  pending.reserve(5);
  if (*is_early) {
    pending.push_back({source_cycles, delay_xpic(0, 1, sender ^ (receiver & 2u)),
                       ReceiveEventKind::PairedSource});
    pending.push_back({source_cycles + count, delay_xpic(0, 1, TILE_MUX_EXCHANGE),
                       ReceiveEventKind::PairedNeutral});
  }
  pending.push_back(
      {format_start, delay_pic(0, 1, direction(sender, receiver)), ReceiveEventKind::Format});
  pending.push_back(
      {format_start + POINTER_AFTER_FORMAT, delay_pic(0, 0, 0), ReceiveEventKind::PairedPointer});
  pending.push_back({format_start + count, delay_pic(0, 1, FORMAT_END), ReceiveEventKind::Format});
  std::ranges::stable_sort(pending, {}, &PendingEvent::cycles);

  // No two controls of a paired row may share a cycle, not even a pair one instruction could
  // carry.
  for (std::size_t i = 1; i < pending.size(); ++i)
    if (pending[i - 1].cycles == pending[i].cycles)
      return fail_schedule("paired receive coincident controls");

  // The horizon bounds every event, so once it fits all cycles fit.
  const std::uint64_t horizon = pending.back().cycles + ROW_TAIL;
  if (horizon > std::numeric_limits<std::uint32_t>::max())
    return fail_schedule("paired receive horizon overflow");
  std::vector<ReceiveEvent> events;
  events.reserve(pending.size());
  for (const PendingEvent& event : pending)
    events.push_back({static_cast<std::uint32_t>(event.cycles), event.instruction, event.kind});
  if (auto valid = validate_receive_events(events); !valid) return fail(valid.error());

  std::vector<std::uint32_t> words{SYNC_ENTRY};
  std::uint32_t event_cycles = 0;
  if (auto emitted =
          append_receive_events(words, event_cycles, std::span<const ReceiveEvent>(events),
                                static_cast<std::uint32_t>(horizon), false);
      !emitted)
    return fail(emitted.error());
  words.push_back(RET_WORD);

  PlanRow row{};
  if (words.size() > row.size()) return fail_schedule("paired receive row capacity");
  std::ranges::copy(words, row.begin());
  return row;
}

Result<MulticastPlan> Topology::paired_multicast(std::uint16_t sender_logical,
                                                 std::span<const std::uint16_t> receivers,
                                                 std::uint32_t count) const {
  if (auto valid = validate_count(count); !valid) return fail(valid.error());

  if (receivers.empty() || receivers.size() % 2 != 0) return fail(ExchangeError::receiver_set());
  std::vector<bool> listed(tile_count(), false);
  for (const std::uint16_t receiver : receivers) {
    if (receiver >= tile_count() || listed[receiver]) return fail(ExchangeError::receiver_set());
    listed[receiver] = true;
  }
  for (const std::uint16_t receiver : receivers) {
    const auto partner = paired_logical(receiver);
    if (!partner || !listed[*partner]) return fail(ExchangeError::receiver_set());
  }

  auto plan = multicast(sender_logical, receivers, count, 0);
  if (!plan) return fail(plan.error());

  // multicast() has accepted the sender and every receiver.
  const std::uint32_t sender = logical_to_physical_[sender_logical];
  const bool sender_listed = std::ranges::find(receivers, sender_logical) != receivers.end();
  std::uint8_t send_control = 7;
  if (receivers.size() == 2 && !sender_listed)
    send_control =
        static_cast<std::uint8_t>(direction(sender, logical_to_physical_[receivers[0]]) | 4u);
  if (auto set = set_sender_control(plan->sender, send_control); !set) return fail(set.error());

  std::int32_t minimum_double_mux = std::numeric_limits<std::int32_t>::max();
  for (const std::uint16_t receiver : receivers)
    minimum_double_mux =
        std::min(minimum_double_mux, paired_time_to_mux(sender, logical_to_physical_[receiver]));

  std::vector<PlanRow> rows;
  rows.reserve(receivers.size());
  for (const std::uint16_t receiver : receivers) {
    auto row = paired_receiver_row(sender_logical, receiver, count, minimum_double_mux);
    if (!row) return fail(row.error());
    rows.push_back(*row);
  }
  plan->receivers = std::move(rows);
  return plan;
}

}  // namespace vessik_exchange
