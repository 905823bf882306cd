#include "vessik_exchange/scalar_words.hpp"

namespace vessik_exchange {
namespace {

constexpr bool fits_register(std::uint8_t r) {
  return r < 16;
}

// Register order in the operand list differs from the field order: the base or source register
// goes to bits 20-23 and the destination (or stored) register to bits 16-19.
constexpr std::uint32_t three_registers(std::uint32_t opcode, std::uint8_t high, std::uint8_t mid,
                                        std::uint8_t low, std::uint32_t immediate) {
  return opcode | std::uint32_t{high} << 20 | std::uint32_t{mid} << 16 | std::uint32_t{low} << 12 |
         immediate;
}

}  // namespace

Result<std::uint32_t> encode_br_m(std::uint8_t reg) {
  if (!fits_register(reg)) return fail_schedule("branch register");
  return br_m(reg);
}

Result<std::uint32_t> encode_call_m_immediate(std::uint8_t return_register,
                                              std::uint32_t target_address) {
  if (!fits_register(return_register) || target_address % 4 != 0 || target_address >= 0x200000u)
    return fail_schedule("call operand");
  return 0x18000000u | std::uint32_t{return_register} << 20 | target_address / 4;
}

Result<std::uint32_t> encode_setzi_m(std::uint8_t reg, std::uint32_t immediate) {
  if (!fits_register(reg) || immediate >= 0x100000u) return fail_schedule("setzi operand");
  return setzi_m(reg, immediate);
}

Result<std::uint32_t> encode_put_special_m(std::uint8_t special, std::uint8_t reg) {
  if (!fits_register(reg)) return fail_schedule("put source register");
  return 0x43008000u | std::uint32_t{reg} << 20 | std::uint32_t{special};
}

Result<std::uint32_t> encode_ld32_m_immediate(std::uint8_t destination, std::uint8_t base,
                                              std::uint8_t delta, std::uint16_t word_offset) {
  if (!fits_register(destination) || !fits_register(base) || !fits_register(delta) ||
      word_offset >= 0x1000u)
    return fail_schedule("ld32 operand");
  return three_registers(0x01000000u, base, destination, delta, word_offset);
}

Result<std::uint32_t> encode_st32_m_immediate(std::uint8_t source, std::uint8_t base,
                                              std::uint8_t delta, std::uint16_t word_offset) {
  if (!fits_register(source) || !fits_register(base) || !fits_register(delta) ||
      word_offset >= 0x1000u)
    return fail_schedule("st32 operand");
  return three_registers(0x4F000000u, base, source, delta, word_offset);
}

Result<std::uint32_t> encode_add_m_immediate(std::uint8_t destination, std::uint8_t source,
                                             std::int32_t immediate) {
  // The immediate is checked first, so it is reported even when a register is also bad.
  if (immediate < -32768 || immediate > 32767) return fail_schedule("add immediate operand");
  if (!fits_register(destination) || !fits_register(source))
    return fail_schedule("add register operand");
  const auto bits = static_cast<std::uint32_t>(immediate) & 0xFFFFu;
  return 0x22000000u | std::uint32_t{source} << 20 | std::uint32_t{destination} << 16 | bits;
}

Result<std::uint32_t> encode_and_m_immediate(std::uint8_t destination, std::uint8_t source,
                                             std::uint16_t immediate) {
  if (!fits_register(destination) || !fits_register(source) || immediate >= 0x1000u)
    return fail_schedule("and operand");
  return three_registers(0x42000000u, source, destination, 0, immediate);
}

Result<std::uint32_t> encode_shl_m_immediate(std::uint8_t destination, std::uint8_t source,
                                             std::uint16_t immediate) {
  if (!fits_register(destination) || !fits_register(source) || immediate >= 0x1000u)
    return fail_schedule("shift-left operand");
  return three_registers(0x42000000u, source, destination, 0xA, immediate);
}

Result<std::uint32_t> encode_brz_m_immediate(std::uint8_t reg, std::uint32_t target_address) {
  if (!fits_register(reg) || target_address % 4 != 0 || target_address >= 0x200000u)
    return fail_schedule("brz operand");
  return 0x13000000u | std::uint32_t{reg} << 20 | target_address / 4;
}

}  // namespace vessik_exchange
