#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "vessik_exchange/vessik_exchange.hpp"

namespace vessik_exchange {
namespace {

const Topology& arvel() {
  static const Topology topology = Topology::arvel();
  return topology;
}

MulticastPlan multicast(std::uint16_t sender, std::vector<std::uint16_t> receivers,
                        std::uint32_t count) {
  auto plan = arvel().multicast(sender, receivers, count, 0);
  EXPECT_TRUE(plan) << to_string(plan.error());
  return *plan;
}

TEST(PhaseProgramBuilder, StagedTrialIsCommittedWithItsEncodings) {
  PhaseProgramBuilder builder(4);
  const auto plan = multicast(0, {2}, 64);
  const auto prepared = plan.prepare();
  ASSERT_TRUE(prepared);
  const std::uint16_t receivers[] = {2};
  const auto offset = builder.earliest_transfer_offset(0, {}, receivers, *prepared, 64, 0);
  ASSERT_TRUE(offset) << to_string(offset.error());
  ASSERT_TRUE(builder.staged().has_value());
  std::vector<std::pair<std::uint16_t, const EncodedSchedule*>> trial;
  for (const auto& [tile, schedule] : builder.staged()->updates)
    trial.emplace_back(tile, schedule.encoded()->get());
  const auto timing = builder.append_transfer_at(0, {}, receivers, *prepared, *offset, 64);
  ASSERT_TRUE(timing) << to_string(timing.error());
  EXPECT_FALSE(builder.staged().has_value());
  for (const auto& [tile, encoding] : trial)
    EXPECT_EQ(builder.tile_schedule(tile)->get().encoded()->get(), encoding);
  const auto programs = builder.finish();
  ASSERT_TRUE(programs) << to_string(programs.error());
  EXPECT_TRUE(programs->programs[0].has_value());
  EXPECT_TRUE(programs->programs[2].has_value());
  EXPECT_FALSE(programs->programs[1].has_value());
  std::cout << to_string(*programs) << "\n";
}

}  // namespace
}  // namespace vessik_exchange
