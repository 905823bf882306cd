// Scalar (non-exchange) instruction words of a tile: set-immediate, special writes, branches,
// loads, stores and simple arithmetic on the sixteen "m" registers.
#pragma once

#include <cstdint>

#include "vessik_exchange/error.hpp"

namespace vessik_exchange {

/// Branch to register: 0x43000000 | register << 20 (register cut to four bits).
[[nodiscard]] constexpr std::uint32_t br_m(std::uint8_t reg) {
  return 0x43000000u | (std::uint32_t{reg} & 0xFu) << 20;
}
/// Set zero-extended immediate, operands cut to their fields (register 4 bits, immediate 20 bits).
[[nodiscard]] constexpr std::uint32_t setzi_m(std::uint8_t reg, std::uint32_t immediate) {
  return 0x19000000u | (std::uint32_t{reg} & 0xFu) << 20 | (immediate & 0xFFFFFu);
}
/// Write register 8 to special register `special`.
[[nodiscard]] constexpr std::uint32_t put_special_from_m8(std::uint8_t special) {
  return 0x43808000u | std::uint32_t{special};
}

/// Checked branch to register ("branch register").
[[nodiscard]] Result<std::uint32_t> encode_br_m(std::uint8_t reg);
/// Checked call to an aligned byte address below 2 MiB ("call operand").
[[nodiscard]] Result<std::uint32_t> encode_call_m_immediate(std::uint8_t return_register,
                                                            std::uint32_t target_address);
/// Checked set-immediate ("setzi operand").
[[nodiscard]] Result<std::uint32_t> encode_setzi_m(std::uint8_t reg, std::uint32_t immediate);
/// Checked write of register `reg` into special register `special` ("put source register").
[[nodiscard]] Result<std::uint32_t> encode_put_special_m(std::uint8_t special, std::uint8_t reg);
/// Checked 32-bit load ("ld32 operand").
[[nodiscard]] Result<std::uint32_t> encode_ld32_m_immediate(std::uint8_t destination,
                                                            std::uint8_t base, std::uint8_t delta,
                                                            std::uint16_t word_offset);
/// Checked 32-bit store ("st32 operand").
[[nodiscard]] Result<std::uint32_t> encode_st32_m_immediate(std::uint8_t source, std::uint8_t base,
                                                            std::uint8_t delta,
                                                            std::uint16_t word_offset);
/// Checked add of a signed 16-bit immediate ("add immediate operand", then "add register operand").
[[nodiscard]] Result<std::uint32_t> encode_add_m_immediate(std::uint8_t destination,
                                                           std::uint8_t source,
                                                           std::int32_t immediate);
/// Checked and with a 12-bit immediate ("and operand").
[[nodiscard]] Result<std::uint32_t> encode_and_m_immediate(std::uint8_t destination,
                                                           std::uint8_t source,
                                                           std::uint16_t immediate);
/// Checked shift left by a 12-bit immediate ("shift-left operand").
[[nodiscard]] Result<std::uint32_t> encode_shl_m_immediate(std::uint8_t destination,
                                                           std::uint8_t source,
                                                           std::uint16_t immediate);
/// Checked branch-if-zero to an aligned byte address below 2 MiB ("brz operand").
[[nodiscard]] Result<std::uint32_t> encode_brz_m_immediate(std::uint8_t reg,
                                                           std::uint32_t target_address);

}  // namespace vessik_exchange
