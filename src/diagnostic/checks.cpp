// Checks of the exchange program decoder and listing.
#include <array>
#include <cstdint>
#include <limits>
#include <ranges>
#include <vector>

#include "harness/harness.hpp"
#include "vessik_exchange/diagnostics.hpp"

namespace vessik_exchange::diagnostic::tests {
namespace {

constexpr std::size_t UNBOUNDED = std::numeric_limits<std::size_t>::max();

/// SENDPICP pair of `count` words from `word_address`, with an XPIC control (14 bits, selector
/// included) and a PIC control (19 bits, selector included).
constexpr std::array<std::uint32_t, 2> send_control_pair(std::uint32_t count,
                                                         std::uint32_t word_address,
                                                         std::uint32_t send_control,
                                                         std::uint32_t xpic, std::uint32_t pic) {
  return {0xF0000000u | ((pic >> 18) & 1u) << 27 | ((count - 1) & 0x3Fu) << 21 |
              (word_address & 0x3FFFFu) << 3 | (send_control & 7u),
          (xpic & 0x3FFFu) << 18 | (pic & 0x3FFFFu)};
}

PlanOperation pic_pair_send(std::uint32_t words, std::uint32_t raw_operand,
                            std::uint8_t send_control, std::uint32_t xpic, std::uint32_t pic) {
  return PlanOperation::Send{SendEncoding::PicPair,
                             words,
                             raw_operand,
                             send_control,
                             {IncomingControl{IncomingControlStream::Xpic, xpic},
                              IncomingControl{IncomingControlStream::Pic, pic}}};
}

}  // namespace

VX_CHECK_DEFINE(diagnostic_windows_handle_unbounded_radius_and_unplaced_rows) {
  const std::array<std::uint32_t, 2> words{0x40A00002u, 0x43A00000u};

  const auto unplaced = VX_OK(diagnose_plan_program(words, std::nullopt));
  VX_CHECK_EQ(unplaced.render(), "word+0 cycles=0..3 Delay\nword+1 cycles=3..3 Return\n");
  // Without addresses nothing covers an address, so the first instruction is the centre.
  for (const std::uint32_t address : {0u, 4u, 0x60004u})
    VX_CHECK_EQ(unplaced.render_around_address(address, UNBOUNDED),
                "> word+0 cycles=0..3 Delay\n  word+1 cycles=3..3 Return\n");

  const auto placed = VX_OK(diagnose_plan_program(words, 0x60000u));
  VX_CHECK_EQ(placed.render_around_address(0x60004, UNBOUNDED),
              "  0x60000 cycles=0..3 Delay\n> 0x60004 cycles=3..3 Return\n");
  VX_CHECK_EQ(placed.render_around_address(0x60004, 0), "> 0x60004 cycles=3..3 Return\n");
  VX_CHECK_EQ(placed.render_around_address(0x60004, 1),
              placed.render_around_address(0x60004, UNBOUNDED));

  for (const auto base : {std::optional<std::uint32_t>{}, std::optional<std::uint32_t>{0x60000u}}) {
    const auto empty = VX_OK(diagnose_plan_program({}, base));
    VX_CHECK_EQ(empty.event_cycles, 0u);
    VX_CHECK_EQ(empty.row_words, 0u);
    VX_CHECK(empty.instructions.empty());
    VX_CHECK_EQ(empty.render(), "");
    VX_CHECK_EQ(empty.render_around_address(0, UNBOUNDED), "");
  }
}

VX_CHECK_DEFINE(paired_control_decoder_preserves_the_pic_selector) {
  for (const std::uint32_t pic : {0x40001u, 0x00001u, 0x7FFFFu}) {
    const auto pair = send_control_pair(8, 0x100, 1, 0x2640, pic);
    const auto decoded = VX_OK(decode_operation(pair, 0));
    VX_CHECK_EQ(decoded.operation, pic_pair_send(8, 0x100, 1, 0x2640, pic));
    VX_CHECK_EQ(decoded.consumed, 2u);
  }
}

VX_CHECK_DEFINE(sdk_full_duplex_pair_decodes_absolute_send_restart) {
  const std::array<std::uint32_t, 2> pair{0xF54A0109u, 0x19015000u};
  const auto decoded = VX_OK(decode_operation(pair, 0));
  // The second word would read as a set-immediate on its own; here it is the control word.
  VX_CHECK_EQ(decoded.operation, pic_pair_send(43, 0x14021, 1, 1600, 0x15000));
  VX_CHECK_EQ(decoded.cycles, 43u);
  VX_CHECK_EQ(decoded.consumed, 2u);

  const auto listing = VX_OK(diagnose_plan_program(pair, std::nullopt));
  VX_CHECK_EQ(listing.instructions.size(), 1u);
  VX_CHECK_EQ(listing.event_cycles, 43u);
  VX_CHECK_EQ(listing.row_words, 2u);

  VX_CHECK_EQ(VX_ERR(decode_operation(std::span(pair).first(1), 0)),
              ExchangeError::schedule("truncated SENDPICP payload"));
}

VX_CHECK_DEFINE(sdk_receiver_row_decodes_two_word_controls_as_single_instructions) {
  const std::array<std::uint32_t, 11> row{0x64000082u, 0x40A00032u, 0xF6600000u, 0x03014048u,
                                          0xF6600000u, 0x03095000u, 0xF6600000u, 0x04016000u,
                                          0xF7200000u, 0x19017000u, 0x43A00000u};
  const auto listing = VX_OK(diagnose_plan_program(row, 0x60000u));
  VX_CHECK_EQ(listing.row_words, 11u);
  VX_CHECK_EQ(listing.event_cycles, 266u);
  VX_CHECK_EQ(listing.instructions.size(), 7u);

  struct Expected {
    std::uint32_t address, start, end;
    bool pair;
  };
  const std::array<Expected, 7> expected{{{0x60000, 0, 1, false},
                                          {0x60004, 1, 52, false},
                                          {0x60008, 52, 104, true},
                                          {0x60010, 104, 156, true},
                                          {0x60018, 156, 208, true},
                                          {0x60020, 208, 266, true},
                                          {0x60028, 266, 266, false}}};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const auto& instruction = listing.instructions[i];
    VX_CHECK(!instruction.operation.is<PlanOperation::Unknown>());
    VX_CHECK_EQ(instruction.address, std::optional<std::uint32_t>(expected[i].address));
    VX_CHECK_EQ(instruction.start_cycle, expected[i].start);
    VX_CHECK_EQ(instruction.end_cycle, expected[i].end);
    const auto* send = instruction.operation.get_if<PlanOperation::Send>();
    VX_CHECK_EQ(send != nullptr && send->encoding == SendEncoding::PicPair, expected[i].pair);
  }
  VX_CHECK(listing.instructions[0].operation.is<IncomingControl>());
  VX_CHECK(listing.instructions[1].operation.is<PlanOperation::Delay>());
  VX_CHECK(listing.instructions[6].operation.is<PlanOperation::Return>());
}

}  // namespace vessik_exchange::diagnostic::tests
