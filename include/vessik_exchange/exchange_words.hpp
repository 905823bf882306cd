// Exchange instruction words: delays, delays carrying incoming controls, sends, sends carrying
// controls, base writes, SYNC and RET, with the advance (cycles to the next issue) of each.
#pragma once

#include <cstdint>
#include <optional>

#include "vessik_exchange/error.hpp"

namespace vessik_exchange {

inline constexpr std::uint32_t OPCODE_MASK = 0xFC000000u;
inline constexpr std::uint32_t LONG_OPCODE_MASK = 0xF8000000u;
inline constexpr std::uint32_t SEND_OPCODE = 0x78000000u;
inline constexpr std::uint32_t DELAY_XPIC_OPCODE = 0x64000000u;
inline constexpr std::uint32_t DELAY_PIC_OPCODE = 0x60000000u;
/// The neutral incoming-mux value that selects no sender.
inline constexpr std::uint32_t TILE_MUX_EXCHANGE = 0x640u;
/// Entry word of every plan row (SYNC 3).
inline constexpr std::uint32_t SYNC_ENTRY = 0x41800003u;
/// Return word ending every plan row and program.
inline constexpr std::uint32_t RET_WORD = 0x43A00000u;
/// Largest advance of one plain DELAY word.
inline constexpr std::uint32_t MAX_DELAY_ADVANCE = 0x80000u;

/// Checked SEND of `count_minus_one + 1` words ("send instruction operand").
[[nodiscard]] Result<std::uint32_t> encode_send(std::uint32_t count_minus_one,
                                                std::uint32_t direction, std::uint32_t base_word);
/// Offset SEND continuing the previous send; operands cut to their fields.
[[nodiscard]] constexpr std::uint32_t send_off(std::uint32_t count_minus_one,
                                               std::uint32_t direction, std::uint32_t base_word) {
  return 0x70000000u | (count_minus_one & 0x3Fu) << 21 | ((count_minus_one >> 6) & 0x3Fu) << 14 |
         (base_word & 0x7FFu) << 3 | (direction & 7u);
}
/// Plain DELAY whose field is `cycles` (advance `cycles + 1`), cut to 19 bits.
[[nodiscard]] constexpr std::uint32_t encode_exchange_delay(std::uint32_t cycles) {
  return 0x40A00000u | (cycles & 0x7FFFFu);
}
/// Alias of `encode_exchange_delay`.
[[nodiscard]] constexpr std::uint32_t delay(std::uint32_t cycles) {
  return encode_exchange_delay(cycles);
}
/// PIC delay: advance field `a`, selector `b`, PIC value `c`, each cut to its field.
[[nodiscard]] constexpr std::uint32_t encode_exchange_delay_pic(std::uint32_t a, std::uint32_t b,
                                                                std::uint32_t c) {
  return 0x60000000u | (a & 0x7Fu) << 19 | (b & 1u) << 18 | (c & 0x3FFFFu);
}
/// Alias of `encode_exchange_delay_pic`.
[[nodiscard]] constexpr std::uint32_t delay_pic(std::uint32_t a, std::uint32_t b, std::uint32_t c) {
  return encode_exchange_delay_pic(a, b, c);
}
/// XPIC delay: advance field `a`, selector `b`, XPIC value `c`, each cut to its field.
[[nodiscard]] constexpr std::uint32_t encode_exchange_delay_xpic(std::uint32_t a, std::uint32_t b,
                                                                 std::uint32_t c) {
  return 0x64000000u | (a & 0xFFFu) << 14 | (b & 1u) << 13 | (c & 0x1FFFu);
}
/// Alias of `encode_exchange_delay_xpic`.
[[nodiscard]] constexpr std::uint32_t delay_xpic(std::uint32_t a, std::uint32_t b,
                                                 std::uint32_t c) {
  return encode_exchange_delay_xpic(a, b, c);
}
/// A SEND word with its count replaced by `words` (1 to 64) ("initial send size").
[[nodiscard]] Result<std::uint32_t> resize_send(std::uint32_t instruction, std::uint32_t words);

/// True for a plain DELAY.
[[nodiscard]] constexpr bool is_delay(std::uint32_t w) {
  return (w & 0xFFF80000u) == 0x40A00000u;
}
/// True for a PIC delay.
[[nodiscard]] constexpr bool is_delay_pic(std::uint32_t w) {
  return (w & OPCODE_MASK) == DELAY_PIC_OPCODE;
}
/// True for an XPIC delay.
[[nodiscard]] constexpr bool is_delay_xpic(std::uint32_t w) {
  return (w & OPCODE_MASK) == DELAY_XPIC_OPCODE;
}
/// True for a SEND with an explicit address.
[[nodiscard]] constexpr bool is_send(std::uint32_t w) {
  return (w & LONG_OPCODE_MASK) == SEND_OPCODE;
}
/// True for SENDPIC, a send carrying one incoming control.
[[nodiscard]] constexpr bool is_send_control(std::uint32_t w) {
  return (w & 0xF8100000u) == 0x70100000u;
}
/// True for the first word of SENDPICP, a send carrying one control on each stream.
[[nodiscard]] constexpr bool is_send_control_pair(std::uint32_t w) {
  return (w & 0xF0000000u) == 0xF0000000u;
}
/// True for an offset SEND.
[[nodiscard]] constexpr bool is_send_off(std::uint32_t w) {
  return (w & 0xF8100000u) == 0x70000000u;
}
/// True for a SEND or an offset SEND (not the control-carrying forms).
[[nodiscard]] constexpr bool is_payload_send(std::uint32_t w) {
  return is_send(w) || is_send_off(w);
}
/// True for a write of the incoming (0xA4) or outgoing (0xA7) exchange base from any register.
[[nodiscard]] constexpr bool is_base_write(std::uint32_t w) {
  return (w & 0xFF0FFFFFu) == 0x430080A4u || (w & 0xFF0FFFFFu) == 0x430080A7u;
}
/// True for an XPIC delay selecting the neutral mux value.
[[nodiscard]] constexpr bool is_neutral_mux_teardown(std::uint32_t w) {
  return is_delay_xpic(w) && (w & 0x1FFFu) == TILE_MUX_EXCHANGE;
}

/// Exchange cycles from the issue of `instruction` to the issue of the next one.
[[nodiscard]] constexpr std::uint32_t instruction_advance(std::uint32_t w) {
  if (is_delay(w)) return (w & 0x7FFFFu) + 1;
  if (is_base_write(w)) return 13;
  if (is_delay_pic(w)) return ((w >> 19) & 0x7Fu) + 1;
  if (is_delay_xpic(w)) return ((w >> 14) & 0xFFFu) + 1;
  if (is_send(w)) return ((w >> 21) & 0x3Fu) + 1;
  if (is_send_control_pair(w)) return ((w >> 21) & 0x3Fu) + 1;
  if (is_send_control(w)) return ((w >> 21) & 0x3Fu) + 1;
  if (is_send_off(w)) return (((w >> 21) & 0x3Fu) | ((w >> 14) & 0x3Fu) << 6) + 1;
  return 0;
}
/// Largest advance a control-carrying delay can hold: 128 (PIC), 4096 (XPIC), else none.
[[nodiscard]] constexpr std::optional<std::uint32_t> maximum_timed_instruction_advance(
    std::uint32_t w) {
  if (is_delay_pic(w)) return 128u;
  if (is_delay_xpic(w)) return 4096u;
  return std::nullopt;
}
/// Rewrites the advance of a delay in place; the word is unchanged on failure.
[[nodiscard]] Result<void> set_instruction_advance(std::uint32_t& instruction,
                                                   std::uint32_t advance);

}  // namespace vessik_exchange
