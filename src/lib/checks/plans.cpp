// Checks of the point-to-point and multicast plans and of row patching and offsets.
#include "vessik_exchange/plans.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "harness/harness.hpp"
#include "harness/rng.hpp"
#include "vessik_exchange/exchange_words.hpp"
#include "vessik_exchange/topology.hpp"

namespace vessik_exchange::tests {

namespace {

constexpr std::uint32_t SYNC = 0x41800003u;
constexpr std::uint32_t RET = 0x43A00000u;

/// Largest event horizon among the rows of a plan.
std::uint32_t plan_horizon(const MulticastPlan& plan) {
  std::uint32_t horizon = VX_OK(plan_event_cycles(plan.sender));
  for (const auto& row : plan.receivers) horizon = std::max(horizon, VX_OK(plan_event_cycles(row)));
  return horizon;
}

/// `count` distinct logical tiles drawn at random.
std::vector<std::uint16_t> distinct_tiles(harness::SeededRng& rng, std::size_t count) {
  std::vector<std::uint16_t> tiles;
  while (tiles.size() < count) {
    const auto tile = rng.below<std::uint16_t>(0, 1472);
    if (std::ranges::find(tiles, tile) == tiles.end()) tiles.push_back(tile);
  }
  return tiles;
}

}  // namespace

VX_CHECK_DEFINE(event_horizon_tracks_transfer_size_and_route) {
  const auto topology = Topology::arvel();
  const std::array<std::uint16_t, 2> receivers{736, 1286};
  const auto small = VX_OK(topology.multicast(0, receivers, 1, 0));
  const auto large = VX_OK(topology.multicast(0, receivers, 1024, 0));

  VX_CHECK_EQ(VX_OK(plan_event_cycles(small.sender)), 24u);
  VX_CHECK_EQ(VX_OK(plan_event_cycles(small.receivers[0])), 78u);
  VX_CHECK_EQ(VX_OK(plan_event_cycles(small.receivers[1])), 59u);
  VX_CHECK_EQ(VX_OK(plan_event_cycles(large.sender)), 1047u);
  VX_CHECK_EQ(VX_OK(plan_event_cycles(large.receivers[0])), 1101u);
  VX_CHECK_EQ(VX_OK(plan_event_cycles(large.receivers[1])), 1082u);

  VX_CHECK(plan_horizon(small) > 0);
  VX_CHECK(plan_horizon(large) > plan_horizon(small));
  // Receivers on different routes finish at different cycles.
  VX_CHECK(VX_OK(plan_event_cycles(small.receivers[0])) !=
           VX_OK(plan_event_cycles(small.receivers[1])));
}

VX_CHECK_DEFINE(finalizes_point_receiver_for_direct_execution) {
  const auto topology = Topology::arvel();
  const auto plan = VX_OK(topology.point_to_point(274, 1286, 64));
  const PlanRow patchable{1, SYNC, 0x641C0000, 0x61980000, 0x6402C640, 0x40A00038, RET, 0, 0};
  VX_CHECK_EQ(plan.receiver, patchable);

  const std::uint16_t source = VX_OK(topology.physical(274));
  VX_CHECK_EQ(source, std::uint16_t{9});
  PlanRow finalized = VX_OK(finalize_point_receiver(plan.receiver, source));
  const PlanRow expected{SYNC, 0x641C0009, 0x61980000, 0x6402C640, 0x40A00038, RET, 0, 0, 0};
  VX_CHECK_EQ(finalized, expected);
  // Finalising only drops the patch index: the timing is unchanged.
  VX_CHECK_EQ(VX_OK(plan_event_cycles(finalized)), VX_OK(plan_event_cycles(plan.receiver)));

  VX_CHECK_EQ(VX_ERR(finalize_point_receiver(plan.receiver, 0x2000)),
              ExchangeError::schedule("point receiver patch index"));
  PlanRow bad_index = plan.receiver;
  bad_index[0] = 8;
  VX_CHECK_EQ(VX_ERR(finalize_point_receiver(bad_index, source)),
              ExchangeError::schedule("point receiver patch index"));

  // Only the finalised form can be shifted in time.
  PlanRow patchable_copy = plan.receiver;
  VX_CHECK_EQ(VX_ERR(offset_plan(patchable_copy, 1)), ExchangeError::schedule("plan offset entry"));
  VX_CHECK_EQ(patchable_copy, plan.receiver);
  VX_OK(offset_plan(finalized, 10));
  VX_CHECK_EQ(VX_OK(plan_event_cycles(finalized)), VX_OK(plan_event_cycles(plan.receiver)) + 10);
}

VX_CHECK_DEFINE(multicast_primitive_encodings) {
  const auto topology = Topology::arvel();
  {
    const std::array<std::uint16_t, 2> receivers{274, 1286};
    const auto plan = VX_OK(topology.multicast(0, receivers, 3, 0));
    VX_CHECK_EQ(plan.sender, (PlanRow{SYNC, 0x40A00016, 0x78400003, RET, 0, 0, 0, 0, 0}));
    const PlanRow receiver{SYNC, 0x64000000, 0x64008640, 0x61814000, 0x40A00007, RET, 0, 0, 0};
    VX_CHECK_EQ(plan.receivers, (std::vector<PlanRow>{receiver, receiver}));
  }
  {
    const std::array<std::uint16_t, 2> receivers{100, 900};
    const auto plan = VX_OK(topology.multicast(736, receivers, 52, 0));
    VX_CHECK_EQ(plan.receivers.size(), std::size_t{2});
    VX_CHECK_EQ(plan.receivers[0],
                (PlanRow{SYNC, 0x6414C020, 0x61D94000, 0x64000640, 0x40A00038, RET, 0, 0, 0}));
    VX_CHECK_EQ(plan.receivers[1],
                (PlanRow{SYNC, 0x64000020, 0x62294000, 0x64000640, 0x40A00038, RET, 0, 0, 0}));
  }
  {
    const std::array<std::uint16_t, 1> receivers{100};
    const auto plan = VX_OK(topology.multicast(736, receivers, 1, 0));
    VX_CHECK_EQ(plan.sender, (PlanRow{SYNC, 0x78000002, 0x40A00004, RET, 0, 0, 0, 0, 0}));
  }
  {
    // Loopback: the sender's own row selects itself before tile 274 does.
    const std::array<std::uint16_t, 2> receivers{0, 274};
    const auto plan = VX_OK(topology.multicast(0, receivers, 1, 0));
    VX_CHECK_EQ(plan.sender[1], delay(28));
    VX_CHECK_EQ(plan.receivers[0][1], 0x64000000u);
    VX_CHECK_EQ(plan.receivers[1][1], 0x64018000u);
  }
}

VX_CHECK_DEFINE(normalizes_all_sender_address_fields) {
  const std::vector<std::uint32_t> row{SYNC, 0x782D0243, 0xF0ED0253, 0x19015000, RET};
  VX_CHECK_EQ(normalized_exchange_address_words(row),
              (std::vector<std::uint32_t>{SYNC, 0x78200003, 0xF0E00003, 0x19000000, RET}));

  // Receive addresses in PIC delays, PIC-carrying SENDPICs and SENDPICP control words are
  // cleared too, even behind a pair that moves no payload; format controls (selector 1) and
  // the address of a pair without a direction stay.
  const std::vector<std::uint32_t> receive{SYNC,       0x61994C20, 0x61AC0001, 0x70794000,
                                           0x707C0001, 0xF0EA00A0, 0x19015000, 0xF8EA00A1,
                                           0x19015000, RET};
  VX_CHECK_EQ(normalized_exchange_address_words(receive),
              (std::vector<std::uint32_t>{SYNC, 0x61980000, 0x61AC0001, 0x70780000, 0x707C0001,
                                          0xF0EA00A0, 0x19000000, 0xF8E00001, 0x19015000, RET}));

  // Rows that differ only in their addresses normalise to the same words.
  const auto topology = Topology::arvel();
  const std::array<std::uint16_t, 1> receivers{274};
  const auto plan = VX_OK(topology.multicast(0, receivers, 65, 0));
  PlanRow sender = plan.sender;
  PlanRow receiver = plan.receivers[0];
  VX_OK(patch_sender_address(sender, 0x52040));
  VX_OK(patch_receiver_address(receiver, 0x8F000));
  VX_CHECK(sender != plan.sender);
  VX_CHECK_EQ(normalized_exchange_address_words(sender),
              normalized_exchange_address_words(plan.sender));
  VX_CHECK_EQ(normalized_exchange_address_words(receiver),
              normalized_exchange_address_words(plan.receivers[0]));
}

VX_CHECK_DEFINE(plan_offsets_extend_beyond_route_timing_fields) {
  const auto topology = Topology::arvel();
  const std::array<std::uint16_t, 2> receivers{1, 2};
  const auto plan = VX_OK(topology.multicast(0, receivers, 4096, 0));
  VX_CHECK_EQ(plan.sender, (PlanRow{SYNC, 0x40A0001E, 0x7FE00003, 0x77EF8003, RET, 0, 0, 0, 0}));
  VX_CHECK_EQ(VX_OK(plan_event_cycles(plan.sender)), 4127u);
  VX_CHECK_EQ(VX_OK(plan_event_cycles(plan.receivers[0])), 4157u);

  // More than one DELAY can hold: two leading delays after SYNC.
  PlanRow sender = plan.sender;
  VX_OK(offset_plan(sender, 524358));
  VX_CHECK_EQ(sender, (PlanRow{SYNC, 0x40A7FFFF, 0x40A00045, 0x40A0001E, 0x7FE00003, 0x77EF8003,
                               RET, 0, 0}));
  VX_CHECK_EQ(VX_OK(plan_event_cycles(sender)), 528485u);
  PlanRow receiver = plan.receivers[0];
  VX_OK(offset_plan(receiver, 524358));
  VX_CHECK_EQ(VX_OK(plan_event_cycles(receiver)), 528515u);

  // Four free words hold four full delays, and not a cycle more.
  PlanRow widest = plan.sender;
  VX_OK(offset_plan(widest, 2097152));
  VX_CHECK_EQ(VX_OK(plan_event_cycles(widest)), 4127u + 2097152u);
  PlanRow refused = plan.sender;
  VX_CHECK_EQ(VX_ERR(offset_plan(refused, 2097153)),
              ExchangeError::plan_offset_range(2097153, 2097152));
  VX_CHECK_EQ(refused, plan.sender);
}

VX_CHECK_DEFINE(point_to_point_primitive_encodings) {
  struct Case {
    std::uint16_t sender;
    std::uint16_t receiver;
    std::uint32_t count;
    PlanRow sender_row;
    PlanRow receiver_row;
  };
  const Case cases[] = {
      {0,
       1286,
       3,
       {SYNC, 0x40A00086, 0x78400001, RET, 0, 0, 0, 0, 0},
       {1, SYNC, 0x641C0000, 0x64008640, 0x61800000, 0x40A00007, RET, 0, 0}},
      {736,
       100,
       52,
       {SYNC, 0x40A0003E, 0x7E600002, RET, 0, 0, 0, 0, 0},
       {1, SYNC, 0x641C0000, 0x61D80000, 0x64000640, 0x40A00038, RET, 0, 0}},
      {1286,
       1471,
       65,
       {SYNC, 0x40A0007D, 0x7FE00002, 0x70000002, RET, 0, 0, 0, 0},
       {1, SYNC, 0x641C0000, 0x61980000, 0x64030640, 0x40A00038, RET, 0, 0}},
      {32,
       0,
       4148,
       {SYNC, 0x40A0006C, 0x7FE00001, 0x766FC001, RET, 0, 0, 0, 0},
       {1, SYNC, 0x641C0000, 0x61980000, 0x67FFC640, 0x40A00038, RET, 0, 0}},
  };
  const auto topology = Topology::arvel();
  for (const auto& c : cases) {
    const auto plan = VX_OK(topology.point_to_point(c.sender, c.receiver, c.count));
    VX_CHECK_EQ(plan.sender, c.sender_row);
    VX_CHECK_EQ(plan.receiver, c.receiver_row);
    // Nothing but zero words follows the RET.
    for (const PlanRow& row : {plan.sender, plan.receiver}) {
      const auto ret = std::ranges::find(row, RET);
      VX_CHECK(ret != row.end());
      VX_CHECK(std::all_of(ret + 1, row.end(), [](std::uint32_t w) { return w == 0; }));
    }
  }
}

VX_CHECK_DEFINE(randomized_internal_receives_leave_the_neutral_mux_selected) {
  const auto topology = Topology::arvel();
  harness::SeededRng rng(0x6E65757472616C);
  for (int round = 0; round < 200; ++round) {
    const auto tiles = distinct_tiles(rng, rng.range<std::size_t>(2, 9));
    const std::uint16_t sender = tiles[0];
    std::vector<std::uint16_t> receivers(tiles.begin() + 1, tiles.end());
    // Sometimes the sender receives its own payload too.
    if (rng.boolean()) receivers.push_back(sender);
    rng.shuffle(std::span(receivers));
    const auto count = rng.range<std::uint32_t>(1, 4148);
    const auto offset = rng.range<std::uint32_t>(0, 2000);
    const auto plan = VX_OK(topology.multicast(sender, receivers, count, offset));
    VX_CHECK_EQ(plan.receivers.size(), receivers.size());
    for (const auto& row : plan.receivers) {
      VX_CHECK_EQ(row[0], SYNC);
      VX_CHECK(is_delay_xpic(row[1]) && !is_neutral_mux_teardown(row[1]));
      // The last mux selection of the row is the neutral one, after the source selection.
      std::size_t last_xpic = 0;
      for (std::size_t i = 0; i < row.size(); ++i)
        if (is_delay_xpic(row[i])) last_xpic = i;
      VX_CHECK(last_xpic > 1);
      VX_CHECK(is_neutral_mux_teardown(row[last_xpic]));
    }
  }
}

VX_CHECK_DEFINE(restart_relocation_uses_encoded_addresses_for_both_send_widths) {
  struct Case {
    std::array<std::uint32_t, 4> row;
    std::uint32_t relocated_send;
    std::uint32_t relocated_pair;
  };
  // Two items from byte 0x50000 and a SENDPICP 80 bytes later, with 4-byte then 8-byte items.
  const Case cases[] = {
      {{0x782A0003, 0xF0EA00A3, 0x19015000, RET}, 0x782A0203, 0xF0EA02A3},
      {{0x78250007, 0xF0E50057, 0x19015000, RET}, 0x78250107, 0xF0E50157},
  };
  for (const auto& c : cases) {
    const auto groups = VX_OK(sender_address_instruction_groups(c.row));
    const std::vector<SenderAddressGroup> expected{{{0, 0}, {1, 80}}};
    VX_CHECK_EQ(groups, expected);

    auto relocated = c.row;
    for (const auto& [index, offset] : groups[0])
      VX_OK(patch_sender_instruction(relocated[index], 0x50100 + offset));
    VX_CHECK_EQ(relocated[0], c.relocated_send);
    VX_CHECK_EQ(relocated[1], c.relocated_pair);
    VX_CHECK_EQ(relocated[2], c.row[2]);
    VX_CHECK_EQ(VX_OK(sender_address_instruction_groups(relocated)), expected);

    // Re-patching each word with its own address changes nothing.
    auto same = c.row;
    for (const auto& [index, offset] : groups[0])
      VX_OK(patch_sender_instruction(same[index], 0x50000 + offset));
    VX_CHECK_EQ(same, c.row);
  }
}

VX_CHECK_DEFINE(single_receiver_uses_the_directional_route_for_every_payload_instruction) {
  const auto topology = Topology::arvel();
  harness::SeededRng rng(0x726F7574696E67);
  for (int round = 0; round < 300; ++round) {
    const auto tiles = distinct_tiles(rng, 2);
    const auto count = rng.range<std::uint32_t>(65, 4148);
    const auto plan = VX_OK(topology.multicast(tiles[0], std::span(tiles).subspan(1), count, 0));
    const std::uint32_t expected =
        direction(VX_OK(topology.physical(tiles[0])), VX_OK(topology.physical(tiles[1])));
    std::size_t payload_words = 0;
    for (const std::uint32_t word : plan.sender) {
      if (!is_payload_send(word)) continue;
      ++payload_words;
      VX_CHECK_EQ(word & 7u, expected);
    }
    // The first 64 words and the rest.
    VX_CHECK_EQ(payload_words, std::size_t{2});
  }
}

VX_CHECK_DEFINE(validates_limits_and_patches_addresses) {
  const auto topology = Topology::arvel();
  VX_CHECK_EQ(VX_ERR(topology.point_to_point(0, 1, 0)), ExchangeError::count(0));
  const std::array<std::uint16_t, 2> duplicated{1, 1};
  VX_CHECK_EQ(VX_ERR(topology.multicast(0, duplicated, 1, 0)), ExchangeError::receiver_set());

  const std::array<std::uint16_t, 1> receivers{274};
  const auto plan = VX_OK(topology.multicast(0, receivers, 65, 0));
  PlanRow sender = plan.sender;
  VX_CHECK_EQ(sender[2], 0x7FE00001u);
  VX_OK(patch_sender_address(sender, 0x52040));
  VX_CHECK_EQ(sender[2], 0x7FE00001u | (0x14810u << 3));
  VX_CHECK_EQ((sender[2] >> 3) & 0x3FFFFu, 0x14810u);
  VX_CHECK_EQ(sender[3], plan.sender[3]);

  PlanRow receiver = plan.receivers[0];
  VX_CHECK_EQ(receiver[2], 0x61994000u);
  VX_OK(patch_receiver_address(receiver, 0x53080));
  VX_CHECK_EQ(receiver[2], 0x61994C20u);
  VX_OK(patch_receiver_address(receiver, 0x8F000));
  VX_CHECK_EQ(receiver[2] & 0x3FFFFu, 0x23C00u);
  const PlanRow before = receiver;
  VX_CHECK_EQ(VX_ERR(patch_receiver_address(receiver, 0x100000)), ExchangeError::address(0x100000));
  VX_CHECK_EQ(VX_ERR(patch_receiver_address(receiver, 0x53082)), ExchangeError::address(0x53082));
  VX_CHECK_EQ(receiver, before);
}

}  // namespace vessik_exchange::tests
