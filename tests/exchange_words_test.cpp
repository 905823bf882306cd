#include "vessik_exchange/exchange_words.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>

#include "vessik_exchange/scalar_words.hpp"

namespace vessik_exchange {
namespace {

struct WordCase {
  std::uint32_t word;
  std::uint32_t advance;
  std::optional<std::uint32_t> maximum;
};

TEST(ExchangeWords, BuildersPlaceFieldsAndAdvances) {
  EXPECT_EQ(send_off(0, 2, 0), 0x70000002u);
  EXPECT_EQ(send_off(4083, 1, 0), 0x766FC001u);
  EXPECT_EQ(delay(7), 0x40A00007u);
  EXPECT_EQ(delay_pic(48, 0, 0), 0x61800000u);
  EXPECT_EQ(delay_pic(51, 0, 0x14000), 0x61994000u);
  EXPECT_EQ(delay_xpic(112, 0, 0), 0x641C0000u);
  EXPECT_EQ(delay_xpic(2, 0, 1600), 0x64008640u);
  // Unchecked builders cut operands to their fields instead of spilling into other bits.
  EXPECT_EQ(delay(0x80000), 0x40A00000u);
  EXPECT_EQ(delay_pic(0x80, 2, 0x40000), 0x60000000u);
  EXPECT_EQ(delay_xpic(0x1000, 2, 0x2000), 0x64000000u);
  EXPECT_EQ(send_off(4096, 8, 2048), 0x70000000u);
  EXPECT_EQ(setzi_m(16, 0x100001), 0x19000001u);
  EXPECT_EQ(br_m(26), 0x43A00000u);

  const WordCase cases[] = {
      {0x40A00007, 8, std::nullopt},    {0x61800000, 49, 128u},
      {0x641C0000, 113, 4096u},         {0x64008640, 3, 4096u},
      {0x766FC001, 4084, std::nullopt}, {0x70000002, 1, std::nullopt},
      {0x438080A7, 13, std::nullopt},   {0x430080A4, 13, std::nullopt},
      {0x43A00000, 0, std::nullopt},    {0x41800003, 0, std::nullopt},
      {0x70794000, 4, std::nullopt},    {0xF54A0109, 43, std::nullopt},
      {0x782A03CB, 2, std::nullopt},    {0x19015000, 0, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(instruction_advance(c.word), c.advance) << std::hex << c.word;
    EXPECT_EQ(maximum_timed_instruction_advance(c.word), c.maximum) << std::hex << c.word;
  }
}

TEST(ExchangeWords, RecognisersMatchEachForm) {
  struct Shape {
    std::uint32_t word;
    bool send_control, pair, offset, payload, neutral;
  };
  const Shape shapes[] = {
      {0x70794000, true, false, false, false, false},  // SENDPIC
      {0xF54A0109, false, true, false, false, false},  // SENDPICP first word
      {0x766FC001, false, false, true, true, false},   // offset SEND
      {0x782A03CB, false, false, false, true, false},  // SEND
      {0x64008640, false, false, false, false, true},  // neutral teardown, advance 3
      {0x64000640, false, false, false, false, true},  // neutral teardown, advance 1
      {0x64002640, false, false, false, false, true},  // selector set, still neutral
      {0x641C0000, false, false, false, false, false},
      {0x40A00007, false, false, false, false, false},
  };
  for (const auto& s : shapes) {
    EXPECT_EQ(is_send_control(s.word), s.send_control) << std::hex << s.word;
    EXPECT_EQ(is_send_control_pair(s.word), s.pair) << std::hex << s.word;
    EXPECT_EQ(is_send_off(s.word), s.offset) << std::hex << s.word;
    EXPECT_EQ(is_payload_send(s.word), s.payload) << std::hex << s.word;
    EXPECT_EQ(is_neutral_mux_teardown(s.word), s.neutral) << std::hex << s.word;
  }
}

TEST(ExchangeWords, ResizeSend) {
  EXPECT_EQ(resize_send(0x78400001, 64), 0x7FE00001u);
  EXPECT_EQ(resize_send(0x7FE00001, 1), 0x78000001u);
  const auto error = ExchangeError::schedule("initial send size");
  EXPECT_EQ(resize_send(0x78400001, 0), fail(error));
  EXPECT_EQ(resize_send(0x78400001, 65), fail(error));
  EXPECT_EQ(resize_send(0x70000002, 5), fail(error));
}

struct AdvanceCase {
  std::uint32_t word;
  std::uint32_t advance;
  std::uint32_t expected;  // the rewritten word, or the untouched one on failure
  const char* error;       // null on success
};

TEST(ExchangeWords, SetInstructionAdvance) {
  const AdvanceCase cases[] = {
      {0x40A00007, 1, 0x40A00000, nullptr},
      {0x40A00007, 0x80000, 0x40A7FFFF, nullptr},
      {0x40A00007, 0, 0x40A00007, "zero event advance"},
      {0x40A00007, 0x80001, 0x40A00007, "delay advance overflow"},
      {0x61800000, 128, 0x63F80000, nullptr},
      {0x61840001, 1, 0x60040001, nullptr},
      {0x61800000, 129, 0x61800000, "PIC delay advance overflow"},
      {0x64008640, 4096, 0x67FFC640, nullptr},
      {0x64008640, 4097, 0x64008640, "XPIC delay advance overflow"},
      {0x78400001, 5, 0x78400001, "scheduled offset truncates a send"},
      {0x70000002, 5, 0x70000002, "scheduled offset truncates a send"},
      {0x70794000, 5, 0x70794000, "scheduled offset truncates a send"},
      {0xF54A0109, 5, 0xF54A0109, "first scheduled event is not a delay"},
      {0x41800003, 5, 0x41800003, "first scheduled event is not a delay"},
      {0x438080A7, 5, 0x438080A7, "first scheduled event is not a delay"},
  };
  for (const auto& c : cases) {
    std::uint32_t word = c.word;
    const auto result = set_instruction_advance(word, c.advance);
    if (c.error == nullptr) {
      EXPECT_TRUE(result.has_value()) << std::hex << c.word;
      EXPECT_EQ(instruction_advance(word), c.advance);
    } else {
      EXPECT_EQ(result, fail(ExchangeError::schedule(c.error))) << std::hex << c.word;
    }
    EXPECT_EQ(word, c.expected) << std::hex << c.word;
  }
}

TEST(ExchangeWords, SendPairRoundTripThroughAdvance) {
  for (std::uint32_t count = 1; count <= 64; ++count) {
    const auto word = encode_send(count - 1, 3, 0x3FFFF);
    ASSERT_TRUE(word);
    EXPECT_EQ(instruction_advance(*word), count);
    EXPECT_TRUE(is_send(*word));
  }
  for (std::uint32_t count = 1; count <= 4096; count += 97) {
    EXPECT_EQ(instruction_advance(send_off(count - 1, 1, 0)), count);
  }
}

}  // namespace
}  // namespace vessik_exchange
