#include <gtest/gtest.h>

#include <thread>

#include "vessik_exchange/event_log.hpp"
#include "vessik_exchange/phase_builder.hpp"

namespace vessik_exchange {
namespace {

TEST(EventLog, NothingIsFormattedWithoutASink) {
  ASSERT_EQ(installed_event_sink(), nullptr);
  bool formatted = false;
  debug_event("vessik_exchange", "unseen", [&] {
    formatted = true;
    return std::vector<EventField>{};
  });
  EXPECT_FALSE(formatted);
}

TEST(EventLog, CapturingSinkKeepsItsOwnThreadsEventsAndRendersThem) {
  CapturingEventSink sink;
  debug_event("vessik_exchange", "seen", [] {
    return std::vector<EventField>{{"tile", std::uint64_t{3}}, {"entry", std::string("(1, x)")}};
  });
  std::thread other([] {
    debug_event("vessik_exchange", "other thread", [] { return std::vector<EventField>{}; });
  });
  other.join();
  const auto events = sink.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(to_string(events[0]),
            "Event { target: \"vessik_exchange\", message: \"seen\", fields: [EventField { name: "
            "\"tile\", value: 3 }, EventField { name: \"entry\", value: \"(1, x)\" }] }");
  ASSERT_NE(events[0].field("tile"), nullptr);
  EXPECT_EQ(events[0].field("missing"), nullptr);
}

TEST(EventLog, BuilderTextForm) {
  EXPECT_EQ(to_string(PhaseProgramBuilder(2)),
            "PhaseProgramBuilder { tile_count: 2, validation_budget: None, staged: None }");
  EXPECT_EQ(to_string(PhaseProgramBuilder(0).with_validation_budget(7)),
            "PhaseProgramBuilder { tile_count: 0, validation_budget: Some(7), staged: None }");
}

}  // namespace
}  // namespace vessik_exchange
