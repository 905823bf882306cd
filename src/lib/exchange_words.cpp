#include "vessik_exchange/exchange_words.hpp"

namespace vessik_exchange {

Result<std::uint32_t> encode_send(std::uint32_t count_minus_one, std::uint32_t direction,
                                  std::uint32_t base_word) {
  if (count_minus_one > 63 || direction > 7 || base_word > 0x3FFFFu)
    return fail_schedule("send instruction operand");
  return SEND_OPCODE | count_minus_one << 21 | base_word << 3 | direction;
}

Result<std::uint32_t> resize_send(std::uint32_t instruction, std::uint32_t words) {
  if (!is_send(instruction) || words < 1 || words > 64) return fail_schedule("initial send size");
  return (instruction & ~(0x3Fu << 21)) | (words - 1) << 21;
}

Result<void> set_instruction_advance(std::uint32_t& instruction, std::uint32_t advance) {
  if (advance == 0) return fail_schedule("zero event advance");
  const std::uint32_t field = advance - 1;
  if (is_delay(instruction)) {
    if (field > 0x7FFFFu) return fail_schedule("delay advance overflow");
    instruction = (instruction & ~0x7FFFFu) | field;
    return {};
  }
  if (is_delay_pic(instruction)) {
    if (field > 0x7Fu) return fail_schedule("PIC delay advance overflow");
    instruction = (instruction & ~(0x7Fu << 19)) | field << 19;
    return {};
  }
  if (is_delay_xpic(instruction)) {
    if (field > 0xFFFu) return fail_schedule("XPIC delay advance overflow");
    instruction = (instruction & ~(0xFFFu << 14)) | field << 14;
    return {};
  }
  if (is_send(instruction) || is_send_off(instruction) || is_send_control(instruction))
    return fail_schedule("scheduled offset truncates a send");
  return fail_schedule("first scheduled event is not a delay");
}

}  // namespace vessik_exchange
