#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "vessik_exchange/diagnostics.hpp"
#include "vessik_exchange/exchange_words.hpp"
#include "vessik_exchange/scalar_words.hpp"

namespace vessik_exchange::diagnostic {
namespace {

using Words = std::vector<std::uint32_t>;

IncomingControl pic(std::uint32_t value) {
  return {IncomingControlStream::Pic, value};
}
IncomingControl xpic(std::uint32_t value) {
  return {IncomingControlStream::Xpic, value};
}

// SENDPIC: one control, selector 0/1 for XPIC and 2/3 for PIC.
std::uint32_t send_control_word(std::uint32_t count, std::uint32_t selector, std::uint32_t value) {
  return 0x70100000u | (count - 1) << 21 | selector << 18 | (value & 0x3FFFFu);
}

// SENDPICP: the PIC selector travels in bit 27 of the first word.
Words send_control_pair(std::uint32_t count, std::uint32_t word_address, std::uint32_t send_control,
                        std::uint32_t xpic_value, std::uint32_t pic_value) {
  return {0xF0000000u | ((pic_value >> 18) & 1u) << 27 | (count - 1) << 21 | word_address << 3 |
              send_control,
          xpic_value << 18 | (pic_value & 0x3FFFFu)};
}

struct DecodeCase {
  Words words;
  const char* rendering;
  std::uint32_t cycles;
  std::size_t consumed;
};

TEST(DecodeOperation, DecodesEveryFormAndRendersIt) {
  const DecodeCase cases[] = {
      // The second word would read as a set-immediate on its own.
      {{0xF54A0109u, 0x19015000u},
       "Send { encoding: PicPair, words: 43, raw_operand: 81953, send_control: Some(1), controls: "
       "[IncomingControl { stream: Xpic, value: 1600 }, IncomingControl { stream: Pic, value: "
       "86016 }] }",
       43,
       2},
      {{0x782A03CBu},
       "Send { encoding: Explicit, words: 2, raw_operand: 82041, send_control: Some(3), controls: "
       "[] }",
       2,
       1},
      {{0x70A04322u},
       "Send { encoding: Offset, words: 70, raw_operand: 100, send_control: Some(2), controls: [] "
       "}",
       70,
       1},
      {{0x70700640u},
       "Send { encoding: Pic, words: 4, raw_operand: 1600, send_control: None, controls: "
       "[IncomingControl { stream: Xpic, value: 1600 }] }",
       4,
       1},
      {{0x70FC0001u},
       "Send { encoding: Pic, words: 8, raw_operand: 1, send_control: None, controls: "
       "[IncomingControl { stream: Pic, value: 262145 }] }",
       8,
       1},
      // XPIC selector 1 with value bits 13..17 set: those bits stay out of the control value.
      {{0x7037E005u},
       "Send { encoding: Pic, words: 2, raw_operand: 253957, send_control: None, controls: "
       "[IncomingControl { stream: Xpic, value: 8197 }] }",
       2,
       1},
      {{0x433080A7u}, "WriteBase { incoming: false, register: 3 }", 13, 1},
      {{0x435080A4u}, "WriteBase { incoming: true, register: 5 }", 13, 1},
      {{0x19FFFFFFu}, "SetImmediate { register: 15, value: 1048575 }", 1, 1},
      {{0x40A00002u}, "Delay", 3, 1},
      {{0x43A00000u}, "Return", 0, 1},
      {{0x41800005u}, "Sync(5)", 0, 1},
      {{0x12345678u}, "Unknown(305419896)", 0, 1},
      // Put to a special register other than the two bases is not a base write.
      {{0x438080A6u}, "Unknown(1132495014)", 0, 1},
      {{0x60C40001u}, "IncomingControl(IncomingControl { stream: Pic, value: 262145 })", 25, 1},
      {{0x64026640u}, "IncomingControl(IncomingControl { stream: Xpic, value: 9792 })", 10, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rendering);
    const auto decoded = decode_operation(c.words, 0);
    ASSERT_TRUE(decoded.has_value()) << decoded.error();
    EXPECT_EQ(to_string(decoded->operation), c.rendering);
    EXPECT_EQ(decoded->cycles, c.cycles);
    EXPECT_EQ(decoded->consumed, c.consumed);
  }
}

TEST(DecodeOperation, TruncatedPairFailsOnlyAtTheEnd) {
  const auto truncated = ExchangeError::schedule("truncated SENDPICP payload");
  const Words alone{0xF54A0109u};
  EXPECT_EQ(decode_operation(alone, 0).error(), truncated);
  const Words tail{0x40A00002u, 0xF54A0109u};
  EXPECT_EQ(decode_operation(tail, 1).error(), truncated);
  // Decoding at an offset reads the pair that starts there, not the words before it.
  const Words inside{0x43A00000u, 0xF54A0109u, 0x19015000u, 0x43A00000u};
  const auto decoded = decode_operation(inside, 1);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(decoded->consumed, 2u);
  EXPECT_EQ(decoded->cycles, 43u);
}

TEST(DecodeOperation, RoundTripsEveryEncodedForm) {
  struct RoundTrip {
    Words words;
    PlanOperation operation;
    std::uint32_t cycles;
  };
  std::vector<RoundTrip> cases;
  for (const std::uint32_t field : {0u, 1u, 1257u, 0x7FFFFu})
    cases.push_back({{delay(field)}, PlanOperation::Delay{}, field + 1});
  for (const std::uint32_t a : {0u, 48u, 0x7Fu})
    for (const std::uint32_t selector : {0u, 1u})
      for (const std::uint32_t value : {0u, 0x14000u, 0x3FFFFu})
        cases.push_back({{delay_pic(a, selector, value)}, pic(selector << 18 | value), a + 1});
  for (const std::uint32_t a : {0u, 112u, 0xFFFu})
    for (const std::uint32_t selector : {0u, 1u})
      for (const std::uint32_t value : {0u, TILE_MUX_EXCHANGE, 0x1FFFu})
        cases.push_back({{delay_xpic(a, selector, value)}, xpic(selector << 13 | value), a + 1});
  for (const std::uint32_t count : {0u, 27u, 63u})
    for (const std::uint32_t direction : {0u, 3u, 7u})
      for (const std::uint32_t address : {0u, 82041u, 0x3FFFFu}) {
        const auto word = encode_send(count, direction, address);
        ASSERT_TRUE(word.has_value());
        cases.push_back({{*word},
                         PlanOperation::Send{SendEncoding::Explicit,
                                             count + 1,
                                             address,
                                             static_cast<std::uint8_t>(direction),
                                             {}},
                         count + 1});
      }
  for (const std::uint32_t count : {0u, 63u, 64u, 4083u, 4095u})
    for (const std::uint32_t offset : {0u, 100u, 0x7FFu})
      cases.push_back({{send_off(count, 2, offset)},
                       PlanOperation::Send{SendEncoding::Offset, count + 1, offset, 2, {}},
                       count + 1});
  for (const std::uint32_t count : {1u, 64u}) {
    cases.push_back(
        {{send_control_word(count, 1, 0x640u)},
         PlanOperation::Send{SendEncoding::Pic, count, 0x640u, std::nullopt, {xpic(0x2640u)}},
         count});
    cases.push_back(
        {{send_control_word(count, 2, 0x15000u)},
         PlanOperation::Send{SendEncoding::Pic, count, 0x15000u, std::nullopt, {pic(0x15000u)}},
         count});
    cases.push_back(
        {{send_control_word(count, 3, 0x15000u)},
         PlanOperation::Send{SendEncoding::Pic, count, 0x15000u, std::nullopt, {pic(0x55000u)}},
         count});
    for (const std::uint32_t pic_value : {0x15000u, 0x40001u})
      cases.push_back(
          {send_control_pair(count, 0x3FFFFu, 5, 0x2640u, pic_value),
           PlanOperation::Send{
               SendEncoding::PicPair, count, 0x3FFFFu, 5, {xpic(0x2640u), pic(pic_value)}},
           count});
  }
  for (const std::uint8_t reg : std::array<std::uint8_t, 3>{0, 9, 15})
    for (const std::uint32_t immediate : {0u, 0x17000u, 0xFFFFFu})
      cases.push_back({{setzi_m(reg, immediate)}, PlanOperation::SetImmediate{reg, immediate}, 1});
  for (const std::uint8_t reg : std::array<std::uint8_t, 3>{0, 8, 15}) {
    const auto incoming = encode_put_special_m(0xA4, reg);
    const auto outgoing = encode_put_special_m(0xA7, reg);
    ASSERT_TRUE(incoming.has_value() && outgoing.has_value());
    cases.push_back({{*incoming}, PlanOperation::WriteBase{true, reg}, 13});
    cases.push_back({{*outgoing}, PlanOperation::WriteBase{false, reg}, 13});
  }
  for (const std::uint8_t operand : std::array<std::uint8_t, 3>{0, 3, 255})
    cases.push_back({{0x41800000u | operand}, PlanOperation::Sync{operand}, 0});
  cases.push_back({{br_m(10)}, PlanOperation::Return{}, 0});

  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << "word 0x" << c.words.front());
    const auto decoded = decode_operation(c.words, 0);
    ASSERT_TRUE(decoded.has_value()) << decoded.error();
    EXPECT_EQ(decoded->operation, c.operation);
    EXPECT_EQ(decoded->cycles, c.cycles);
    EXPECT_EQ(decoded->consumed, c.words.size());
    // Exchange words take as long as their advance says.
    if (!decoded->operation.is<PlanOperation::SetImmediate>()) {
      EXPECT_EQ(decoded->cycles, instruction_advance(c.words.front()));
    }
  }
}

TEST(DecodeOperation, ControlKeyOrdersPicBeforeXpicThenByValue) {
  EXPECT_EQ(control_key(pic(0x40001u)), std::make_pair(std::uint8_t{0}, 0x40001u));
  EXPECT_EQ(control_key(xpic(1600)), std::make_pair(std::uint8_t{1}, 1600u));
  EXPECT_LT(control_key(pic(0x7FFFFu)), control_key(xpic(0)));
}

TEST(DecodeOperation, TextForms) {
  EXPECT_EQ(to_string(IncomingControlStream::Xpic), "Xpic");
  EXPECT_EQ(to_string(SendEncoding::PicPair), "PicPair");
  EXPECT_EQ(to_string(pic(5)), "IncomingControl { stream: Pic, value: 5 }");
  const Words words{0x40A00002u};
  EXPECT_EQ(to_string(*decode_operation(words, 0)),
            "DecodedOperation { operation: Delay, cycles: 3, consumed: 1 }");
}

}  // namespace
}  // namespace vessik_exchange::diagnostic
