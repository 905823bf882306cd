// Checks of the exchange word emission.
#include "vessik_exchange/emission.hpp"

#include <array>
#include <cstdint>

#include "harness/harness.hpp"
#include "support.hpp"
#include "vessik_exchange/exchange_words.hpp"

namespace vessik_exchange::tests {

VX_CHECK_DEFINE(paired_send_matches_sdk_full_duplex_oracle) {
  // 43 words from word address 0x14021, direction 1, tearing the mux down and setting the
  // incoming pointer on the same cycle.
  const std::array events{
      ReceiveEvent{189, delay_xpic(0, 0, TILE_MUX_EXCHANGE), ReceiveEventKind::OrdinaryNeutral},
      ReceiveEvent{189, delay_pic(0, 0, 0x15000), ReceiveEventKind::Pointer},
  };
  const auto [first, second] = VX_OK(encode_send_control_pair(42, 81953, 1, events));
  VX_CHECK_EQ(first, 0xF54A0109u);
  VX_CHECK_EQ(second, 0x19015000u);
  VX_CHECK(is_send_control_pair(first));
  VX_CHECK_EQ(instruction_advance(first), 43u);
  VX_CHECK_EQ(send_address(first), 81953u * 4u);
  VX_CHECK_EQ(first & 7u, 1u);
  // The second word carries the XPIC value above the 18-bit pointer.
  VX_CHECK_EQ((second >> 18) & 0x1FFFu, TILE_MUX_EXCHANGE);
  VX_CHECK_EQ((second & 0x3FFFFu) * 4u, 0x54000u);
  // The order of the two events does not matter.
  const std::array swapped{events[1], events[0]};
  VX_CHECK_EQ(VX_OK(encode_send_control_pair(42, 81953, 1, swapped)), std::pair(first, second));
}

}  // namespace vessik_exchange::tests
