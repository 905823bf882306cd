#include "vessik_exchange/plans.hpp"

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <sstream>
#include <vector>

#include "common/debug_format.hpp"
#include "vessik_exchange/assert.hpp"
#include "vessik_exchange/event_log.hpp"
#include "vessik_exchange/exchange_words.hpp"
#include "vessik_exchange/topology.hpp"

namespace vessik_exchange {

namespace {

/// Longest transfer: its neutral-mux teardown field (count - 53) must fit the 12-bit XPIC advance.
constexpr std::uint32_t MAX_TRANSFER_WORDS = 53 + 4095;
/// Words of one plain SEND; the rest of a transfer goes out as one offset SEND.
constexpr std::uint32_t SEND_WORDS = 64;
/// Receive word address of multicast receiver rows until a real one is patched in (0x50000).
constexpr std::uint32_t DEFAULT_RECEIVE_WORD_ADDRESS = 0x14000;
/// Largest XPIC advance field.
constexpr std::uint32_t MAX_XPIC_FIELD = 0xFFF;
/// Field of the receiver's source-selecting XPIC delay in a point-to-point row.
constexpr std::uint32_t POINT_RECEIVE_FIELD = 112;

constexpr std::string_view TARGET = "vessik_exchange";

/// Appends words in order; the row is sized so that a plan row never overflows.
class RowWriter {
 public:
  void push(std::uint32_t word) {
    VX_ASSERT(size_ < row_.size());
    row_[size_++] = word;
  }
  [[nodiscard]] const PlanRow& row() const { return row_; }

 private:
  PlanRow row_{};
  std::size_t size_ = 0;
};

}  // namespace

Result<void> validate_count(std::uint32_t count) {
  if (count < 1 || count > MAX_TRANSFER_WORDS) return fail(ExchangeError::count(count));
  return {};
}

Result<PlanRow> primitive_sender_row(std::uint32_t count, std::uint32_t direction,
                                     std::int32_t sender_delay) {
  VX_ASSERT(count >= 1 && count <= MAX_TRANSFER_WORDS);
  VX_ASSERT(sender_delay >= -1 && sender_delay <= 0x7FFFF);
  const auto first = encode_send(std::min(count, SEND_WORDS) - 1, direction, 0);
  if (!first) return fail(first.error());

  RowWriter writer;
  writer.push(SYNC_ENTRY);
  if (sender_delay >= 0) writer.push(delay(static_cast<std::uint32_t>(sender_delay)));
  writer.push(*first);
  if (count > SEND_WORDS) writer.push(send_off(count - SEND_WORDS - 1, direction, 0));
  // Short transfers get a closing delay so that the row lasts at least six cycles.
  const std::int64_t closing = 4 - std::int64_t{sender_delay} - std::int64_t{count};
  if (closing >= 0) writer.push(delay(static_cast<std::uint32_t>(closing)));
  writer.push(RET_WORD);
  return writer.row();
}

std::array<std::uint32_t, 4> ordinary_receiver_tail(std::uint32_t count,
                                                    std::uint32_t receiver_phase,
                                                    std::uint32_t address) {
  VX_ASSERT(count >= 1 && count <= MAX_TRANSFER_WORDS);
  VX_ASSERT(51 + receiver_phase <= 0x7F);
  // Either way the pointer write ends 52 + receiver_phase cycles after the tail starts.
  if (count <= 51) {
    return {delay_xpic(count - 1, 0, TILE_MUX_EXCHANGE),
            delay_pic(51 - count + receiver_phase, 0, address), delay(count + 4), RET_WORD};
  }
  return {delay_pic(receiver_phase + 51, 0, address),
          delay_xpic(count > 53 ? count - 53 : 0, 0, TILE_MUX_EXCHANGE), delay(56), RET_WORD};
}

Result<void> set_sender_control(PlanRow& row, std::uint8_t send_control) {
  if (send_control < 1 || send_control > 7) return fail_schedule("send control");
  PlanRow updated = row;
  bool changed = false;
  for (std::size_t i = 0; i < updated.size(); ++i) {
    std::uint32_t& word = updated[i];
    const bool pair = is_send_control_pair(word);
    if (is_send(word) || is_send_off(word) || (pair && (word & 3u) != 0)) {
      word = (word & ~7u) | send_control;
      changed = true;
    }
    // The second word of a pair carries controls, not a send.
    if (pair) ++i;
  }
  if (!changed) return fail_schedule("sender payload");
  row = updated;
  return {};
}

Result<std::uint32_t> plan_event_cycles(std::span<const std::uint32_t> row) {
  std::uint32_t total = 0;
  for (std::size_t i = 0; i < row.size(); ++i) {
    if (__builtin_add_overflow(total, instruction_advance(row[i]), &total))
      return fail_schedule("plan event horizon overflow");
    if (is_send_control_pair(row[i])) ++i;
  }
  return total;
}

Result<Plan> Topology::point_to_point(std::uint16_t sender_logical, std::uint16_t receiver_logical,
                                      std::uint32_t count) const {
  if (auto valid = validate_count(count); !valid) return fail(valid.error());
  if (sender_logical == receiver_logical) return fail(ExchangeError::duplicate_tile());
  const auto sender_tile = physical(sender_logical);
  if (!sender_tile) return fail(sender_tile.error());
  const auto receiver_tile = physical(receiver_logical);
  if (!receiver_tile) return fail(receiver_tile.error());
  const std::uint32_t sender = *sender_tile;
  const std::uint32_t receiver = *receiver_tile;

  const std::uint32_t send_direction = direction(sender, receiver);
  const std::int32_t mux_time = time_to_mux(sender, receiver);
  const std::uint32_t receiver_phase = (receiver / 64) * 2;
  // The SEND issues at 112 - mux_time so the receiver's selection (ending at 113) lands
  // mux_time + 1 cycles after it.
  const std::int64_t sender_delay = 111 - std::int64_t{mux_time};
  if (sender_delay < -1 || sender_delay > 0x7FFFF) return fail_schedule("sender delay");

  const auto sender_row =
      primitive_sender_row(count, send_direction, static_cast<std::int32_t>(sender_delay));
  if (!sender_row) return fail(sender_row.error());

  Plan plan;
  plan.sender = *sender_row;
  const auto tail = ordinary_receiver_tail(count, receiver_phase, 0);
  // Word 0 is the index of the word that later receives the source tile, not an instruction.
  plan.receiver = {1,       SYNC_ENTRY, delay_xpic(POINT_RECEIVE_FIELD, 0, 0),
                   tail[0], tail[1],    tail[2],
                   tail[3], 0,          0};

  debug_event(TARGET, "assembled point-to-point exchange", [&] {
    return std::vector<EventField>{
        {"sender_logical", std::uint64_t{sender_logical}},
        {"receiver_logical", std::uint64_t{receiver_logical}},
        {"count", std::uint64_t{count}},
    };
  });
  return plan;
}

Result<MulticastPlan> Topology::multicast(std::uint16_t sender_logical,
                                          std::span<const std::uint16_t> receiver_logical,
                                          std::uint32_t count,
                                          std::uint32_t schedule_offset) const {
  if (auto valid = validate_count(count); !valid) return fail(valid.error());
  const auto source_tile = physical(sender_logical);
  if (!source_tile) return fail(source_tile.error());
  const std::uint32_t source_physical = *source_tile;

  if (receiver_logical.empty()) return fail(ExchangeError::receiver_set());
  if (receiver_logical.size() == 1 && receiver_logical[0] == sender_logical)
    return fail(ExchangeError::receiver_set());
  std::vector<bool> seen(tile_count(), false);
  std::vector<std::uint32_t> receiver_physical;
  receiver_physical.reserve(receiver_logical.size());
  for (const std::uint16_t receiver : receiver_logical) {
    if (receiver >= tile_count() || seen[receiver]) return fail(ExchangeError::receiver_set());
    seen[receiver] = true;
    receiver_physical.push_back(logical_to_physical_[receiver]);
  }

  std::vector<std::int32_t> mux_times;
  mux_times.reserve(receiver_physical.size());
  for (const std::uint32_t receiver : receiver_physical)
    mux_times.push_back(time_to_mux(source_physical, receiver));

  // The earliest receiver may need the mux before the sender could otherwise start.
  const std::int32_t earliest = *std::ranges::min_element(mux_times);
  const auto natural_start = static_cast<std::uint32_t>(std::max(-earliest, 0));
  std::uint32_t start_cycle = 0;
  if (__builtin_add_overflow(natural_start, schedule_offset, &start_cycle) ||
      start_cycle > MAX_XPIC_FIELD)
    return fail_schedule("multicast start cycle");

  const std::uint32_t send_direction =
      receiver_physical.size() == 1 ? direction(source_physical, receiver_physical[0]) : 3u;
  const auto sender_row =
      primitive_sender_row(count, send_direction, static_cast<std::int32_t>(start_cycle) - 1);
  if (!sender_row) return fail(sender_row.error());

  MulticastPlan plan;
  plan.sender = *sender_row;
  plan.receivers.reserve(receiver_physical.size());
  for (std::size_t i = 0; i < receiver_physical.size(); ++i) {
    const std::int64_t receive_cycle = std::int64_t{start_cycle} + mux_times[i];
    if (receive_cycle < 0 || receive_cycle > MAX_XPIC_FIELD)
      return fail_schedule("multicast receive cycle");
    const auto tail = ordinary_receiver_tail(count, (receiver_physical[i] / 64) * 2,
                                             DEFAULT_RECEIVE_WORD_ADDRESS);
    plan.receivers.push_back(PlanRow{
        SYNC_ENTRY, delay_xpic(static_cast<std::uint32_t>(receive_cycle), 0, source_physical),
        tail[0], tail[1], tail[2], tail[3], 0, 0, 0});
  }

  debug_event(TARGET, "assembled multicast exchange", [&] {
    return std::vector<EventField>{
        {"sender_logical", std::uint64_t{sender_logical}},
        {"receiver_logical", debug::render(receiver_logical)},
        {"count", std::uint64_t{count}},
        {"schedule_offset", std::uint64_t{schedule_offset}},
    };
  });
  return plan;
}

std::string row_to_string(std::span<const std::uint32_t> row) {
  return debug::render(row);
}

std::ostream& operator<<(std::ostream& out, const Plan& plan) {
  debug::Struct(out, "Plan").field("sender", plan.sender).field("receiver", plan.receiver).finish();
  return out;
}

std::ostream& operator<<(std::ostream& out, const MulticastPlan& plan) {
  debug::Struct(out, "MulticastPlan")
      .field("sender", plan.sender)
      .field("receivers", plan.receivers)
      .finish();
  return out;
}

std::string to_string(const Plan& plan) {
  return debug::stream_to_string(plan);
}

std::string to_string(const MulticastPlan& plan) {
  return debug::stream_to_string(plan);
}

}  // namespace vessik_exchange
