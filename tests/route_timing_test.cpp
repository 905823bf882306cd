#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "vessik_exchange/topology.hpp"

namespace vessik_exchange {
namespace {

struct RouteCase {
  std::uint32_t source;
  std::uint32_t destination;
  std::int32_t displacement;
  std::uint32_t direction;
  std::int32_t time_to_mux;
  std::int32_t paired_time_to_mux;
};

TEST(RouteTiming, MatchesReferenceVectors) {
  const RouteCase cases[] = {
      {0, 53, 13, 1, -23, -22},    {0, 9, 17, 1, -23, -23},    {32, 260, -41, 2, 49, 49},
      {32, 613, -11, 2, -34, -34}, {53, 63, -10, 2, -14, -13}, {1024, 0, 1, 1, 3, 4},
      {0, 0, 1, 1, -29, -28},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.source << " -> " << c.destination);
    EXPECT_EQ(route_displacement(c.source, c.destination), c.displacement);
    EXPECT_EQ(direction(c.source, c.destination), c.direction);
    EXPECT_EQ(time_to_mux(c.source, c.destination), c.time_to_mux);
    EXPECT_EQ(paired_time_to_mux(c.source, c.destination), c.paired_time_to_mux);
  }
}

TEST(RouteTiming, StaysWithinBoundsOverAllPhysicalPairs) {
  std::int32_t min_displacement = 0, max_displacement = 0, min_mux = 0, max_mux = 0;
  std::uint64_t violations = 0;
  for (std::uint32_t source = 0; source < 1472; ++source) {
    for (std::uint32_t destination = 0; destination < 1472; ++destination) {
      const std::int32_t displacement = route_displacement(source, destination);
      const std::int32_t mux = time_to_mux(source, destination);
      min_displacement = std::min(min_displacement, displacement);
      max_displacement = std::max(max_displacement, displacement);
      min_mux = std::min(min_mux, mux);
      max_mux = std::max(max_mux, mux);
      // A multiple of 6 plus 1, 2, 4 or 5: never 0, so the direction follows its sign.
      const std::int32_t remainder = ((displacement % 6) + 6) % 6;
      const bool sound = displacement != 0 && remainder != 0 && remainder != 3 &&
                         direction(source, destination) == (displacement > 0 ? 1u : 2u) &&
                         paired_time_to_mux(source, destination) ==
                             std::max(mux, time_to_mux(source, destination ^ 2u));
      if (!sound) {
        ++violations;
        ADD_FAILURE() << source << " -> " << destination;
        if (violations > 10) return;
      }
    }
  }
  EXPECT_EQ(min_displacement, -47);
  EXPECT_EQ(max_displacement, 47);
  EXPECT_EQ(min_mux, -78);
  EXPECT_EQ(max_mux, 112);
}

}  // namespace
}  // namespace vessik_exchange
