#include "vessik_exchange/error.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace vessik_exchange {
namespace {

struct RenderCase {
  ExchangeError error;
  const char* text;
};

TEST(ExchangeError, RendersEveryVariant) {
  const RenderCase cases[] = {
      {ExchangeError::validation_budget_exceeded(), "ValidationBudgetExceeded"},
      {ExchangeError::tile(5), "Tile(5)"},
      {ExchangeError::duplicate_tile(), "DuplicateTile"},
      {ExchangeError::count(0), "Count(0)"},
      {ExchangeError::receiver_set(), "ReceiverSet"},
      {ExchangeError::schedule("setzi operand"), "Schedule(\"setzi operand\")"},
      {ExchangeError::plan_offset_range(300, 255), "PlanOffsetRange { cycles: 300, maximum: 255 }"},
      {ExchangeError::address(4097), "Address(4097)"},
      {ExchangeError::host_packet(), "HostPacket"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(to_string(c.error), c.text);
    std::ostringstream out;
    out << c.error;
    EXPECT_EQ(out.str(), c.text);
  }
}

TEST(ExchangeError, EqualityIsStructural) {
  // Texts from different storage compare by content.
  const std::string built = std::string("overlapping ") + "outgoing messages";
  EXPECT_EQ(ExchangeError::schedule("overlapping outgoing messages"),
            ExchangeError::schedule(std::string_view(built)));
  EXPECT_NE(ExchangeError::tile(1), ExchangeError::tile(2));
  EXPECT_NE(ExchangeError::count(1), ExchangeError::tile(1));
  EXPECT_NE(ExchangeError::plan_offset_range(1, 2), ExchangeError::plan_offset_range(1, 3));
  EXPECT_EQ(ExchangeError::host_packet(), ExchangeError::host_packet());
  static_assert(std::is_trivially_copyable_v<ExchangeError>);
}

}  // namespace
}  // namespace vessik_exchange
