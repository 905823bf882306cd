// Checks of the scalar and exchange instruction words.
#include <cstdint>

#include "harness/harness.hpp"
#include "support.hpp"
#include "vessik_exchange/exchange_words.hpp"
#include "vessik_exchange/scalar_words.hpp"

namespace vessik_exchange::tests {

VX_CHECK_DEFINE(encodes_supervisor_send_fields) {
  const std::uint32_t first = VX_OK(encode_send(1, 3, 82041));
  VX_CHECK_EQ(first, 0x782A03CBu);
  VX_CHECK_EQ(VX_OK(encode_send(1, 3, 82043)), 0x782A03DBu);
  VX_CHECK_EQ(send_address(first), 82041u * 4u);
  VX_CHECK_EQ((first >> 21) & 0x3Fu, 1u);
  VX_CHECK_EQ(first & 7u, 3u);
  VX_CHECK_EQ(instruction_advance(first), 2u);
  const auto rejected = ExchangeError::schedule("send instruction operand");
  VX_CHECK_EQ(VX_ERR(encode_send(64, 3, 0)), rejected);
  VX_CHECK_EQ(VX_ERR(encode_send(1, 8, 0)), rejected);
  VX_CHECK_EQ(VX_ERR(encode_send(1, 3, 0x40000)), rejected);
}

VX_CHECK_DEFINE(scalar_instruction_encoders_preserve_operands_and_reject_overflow) {
  VX_CHECK_EQ(VX_OK(encode_setzi_m(15, 0xFFFFF)), 0x19FFFFFFu);
  VX_CHECK_EQ(VX_ERR(encode_setzi_m(16, 0)), ExchangeError::schedule("setzi operand"));
  VX_CHECK_EQ(VX_ERR(encode_setzi_m(0, 0x100000)), ExchangeError::schedule("setzi operand"));

  VX_CHECK_EQ(VX_OK(encode_put_special_m(166, 8)), 0x438080A6u);
  VX_CHECK_EQ(VX_ERR(encode_put_special_m(0, 16)), ExchangeError::schedule("put source register"));
  VX_CHECK_EQ(put_special_from_m8(0xA7), VX_OK(encode_put_special_m(0xA7, 8)));
  VX_CHECK_EQ(put_special_from_m8(0xA7), 0x438080A7u);

  VX_CHECK_EQ(VX_OK(encode_br_m(10)), 0x43A00000u);
  VX_CHECK_EQ(VX_ERR(encode_br_m(16)), ExchangeError::schedule("branch register"));

  VX_CHECK_EQ(VX_OK(encode_call_m_immediate(10, 0x4C100)), 0x18A13040u);
  for (const auto& [reg, target] :
       {std::pair<std::uint8_t, std::uint32_t>{16, 0}, {0, 2}, {0, 0x200000}})
    VX_CHECK_EQ(VX_ERR(encode_call_m_immediate(reg, target)),
                ExchangeError::schedule("call operand"));

  VX_CHECK_EQ(VX_OK(encode_ld32_m_immediate(8, 11, 15, 1)), 0x01B8F001u);
  VX_CHECK_EQ(VX_ERR(encode_ld32_m_immediate(8, 11, 15, 0x1000)),
              ExchangeError::schedule("ld32 operand"));
  VX_CHECK_EQ(VX_OK(encode_st32_m_immediate(2, 11, 15, 0)), 0x4FB2F000u);
  VX_CHECK_EQ(VX_ERR(encode_st32_m_immediate(2, 16, 15, 0)),
              ExchangeError::schedule("st32 operand"));

  VX_CHECK_EQ(VX_OK(encode_add_m_immediate(11, 11, -32)), 0x22BBFFE0u);
  VX_CHECK_EQ(VX_ERR(encode_add_m_immediate(0, 0, 32768)),
              ExchangeError::schedule("add immediate operand"));
  VX_CHECK_EQ(VX_ERR(encode_add_m_immediate(16, 0, 40000)),
              ExchangeError::schedule("add immediate operand"));
  VX_CHECK_EQ(VX_ERR(encode_add_m_immediate(16, 0, 0)),
              ExchangeError::schedule("add register operand"));

  VX_CHECK_EQ(VX_OK(encode_and_m_immediate(0, 8, 1)), 0x42800001u);
  VX_CHECK_EQ(VX_ERR(encode_and_m_immediate(0, 8, 0x1000)), ExchangeError::schedule("and operand"));
  VX_CHECK_EQ(VX_OK(encode_shl_m_immediate(10, 7, 2)), 0x427AA002u);
  VX_CHECK_EQ(VX_ERR(encode_shl_m_immediate(0, 0, 0x1000)),
              ExchangeError::schedule("shift-left operand"));
  VX_CHECK_EQ(VX_OK(encode_brz_m_immediate(0, 0x4C100)), 0x13013040u);
  VX_CHECK_EQ(VX_ERR(encode_brz_m_immediate(0, 0x4C102)), ExchangeError::schedule("brz operand"));
}

}  // namespace vessik_exchange::tests
