#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "vessik_exchange/diagnostics.hpp"

namespace vessik_exchange::diagnostic {
namespace {

constexpr std::size_t UNBOUNDED = std::numeric_limits<std::size_t>::max();

// A receiver row whose four two-word controls each list as one instruction.
constexpr std::array<std::uint32_t, 11> RECEIVER_ROW{
    0x64000082u, 0x40A00032u, 0xF6600000u, 0x03014048u, 0xF6600000u, 0x03095000u,
    0xF6600000u, 0x04016000u, 0xF7200000u, 0x19017000u, 0x43A00000u};

std::string read_data(const char* name) {
  std::ifstream in(std::string(VESSIK_EXCHANGE_TEST_DATA) + "/" + name);
  EXPECT_TRUE(in.good()) << name;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

PlanProgramDiagnostic receiver_row_listing() {
  auto listing = diagnose_plan_program(RECEIVER_ROW, 0x60000u);
  EXPECT_TRUE(listing.has_value());
  return listing.value_or(PlanProgramDiagnostic{});
}

TEST(PlanListing, ReceiverRowRendersAsTheReferenceListing) {
  const auto listing = receiver_row_listing();
  EXPECT_EQ(listing.row_words, 11u);
  EXPECT_EQ(listing.event_cycles, 266u);
  EXPECT_EQ(listing.render(), read_data("receiver_row_listing.txt"));
  // The debug form carries the same lines.
  EXPECT_NE(to_string(listing).find("0x60020 cycles=208..266 Send"), std::string::npos);
}

TEST(PlanListing, WindowsAroundAddresses) {
  const auto listing = receiver_row_listing();
  const auto lines = [&](std::initializer_list<std::pair<std::size_t, bool>> picks) {
    std::string text;
    for (const auto& [index, centre] : picks)
      text += std::string(centre ? "> " : "  ") + to_string(listing.instructions[index]) + "\n";
    return text;
  };
  struct WindowCase {
    std::uint32_t address;
    std::size_t radius;
    std::string expected;
  };
  const WindowCase cases[] = {
      // The second word of a SENDPICP selects that SENDPICP.
      {0x6000C, 1, lines({{1, false}, {2, true}, {3, false}})},
      {0x60008, 0, lines({{2, true}})},
      // Past the end: the last instruction; before the start: the first.
      {0x70000, 1, lines({{5, false}, {6, true}})},
      {0x5FFF0, 1, lines({{0, true}, {1, false}})},
      // Not word aligned inside a one-word instruction.
      {0x60006, 0, lines({{1, true}})},
      {0x60028, UNBOUNDED,
       lines({{0, false}, {1, false}, {2, false}, {3, false}, {4, false}, {5, false}, {6, true}})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << "address 0x" << c.address);
    EXPECT_EQ(listing.render_around_address(c.address, c.radius), c.expected);
  }
}

TEST(PlanListing, AddressHeadsAreZeroFilledLowerCaseHex) {
  const std::array<std::uint32_t, 1> ret{0x43A00000u};
  const std::pair<std::uint32_t, const char*> cases[] = {
      {4, "0x00004 cycles=0..0 Return\n"},
      {0x123456, "0x123456 cycles=0..0 Return\n"},
      {0xFFFFFFFC, "0xfffffffc cycles=0..0 Return\n"},
  };
  for (const auto& [base, text] : cases) {
    const auto listing = diagnose_plan_program(ret, base);
    ASSERT_TRUE(listing.has_value());
    EXPECT_EQ(listing->render(), text);
  }
}

TEST(PlanListing, OverflowsAndTruncationFailWithoutAListing) {
  const auto horizon = ExchangeError::schedule("diagnostic event horizon overflow");
  const auto address = ExchangeError::schedule("diagnostic row address overflow");

  // 8192 longest delays reach exactly 2^32 cycles; one cycle less still fits.
  std::vector<std::uint32_t> delays(8192, 0x40A7FFFFu);
  EXPECT_EQ(diagnose_plan_program(delays, std::nullopt).error(), horizon);
  delays.back() = 0x40A7FFFEu;
  const auto fits = diagnose_plan_program(delays, std::nullopt);
  ASSERT_TRUE(fits.has_value());
  EXPECT_EQ(fits->event_cycles, std::numeric_limits<std::uint32_t>::max());

  const std::array<std::uint32_t, 2> two{0x40A00002u, 0x43A00000u};
  EXPECT_EQ(diagnose_plan_program(two, 0xFFFFFFFCu).error(), address);
  EXPECT_TRUE(diagnose_plan_program(std::span(two).first(1), 0xFFFFFFFCu).has_value());

  // At this base the last of the 8192 delays overflows both the clock and its address; the
  // clock is advanced first, so the horizon is reported.
  std::vector<std::uint32_t> both(8192, 0x40A7FFFFu);
  EXPECT_EQ(diagnose_plan_program(both, 0xFFFF8004u).error(), horizon);
  both.back() = 0x40A7FFFEu;
  EXPECT_EQ(diagnose_plan_program(both, 0xFFFF8004u).error(), address);
  both.pop_back();
  EXPECT_TRUE(diagnose_plan_program(both, 0xFFFF8004u).has_value());

  const std::array<std::uint32_t, 2> truncated{0x43A00000u, 0xF54A0109u};
  EXPECT_EQ(diagnose_plan_program(truncated, 0x60000u).error(),
            ExchangeError::schedule("truncated SENDPICP payload"));
}

}  // namespace
}  // namespace vessik_exchange::diagnostic
