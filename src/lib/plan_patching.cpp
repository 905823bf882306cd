// Row-level address patching, address normalisation and time shifting of plan rows.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "vessik_exchange/exchange_words.hpp"
#include "vessik_exchange/plans.hpp"

namespace vessik_exchange {

namespace {

/// Bits 3 to 20: the item address of a SEND or SENDPICP first word.
constexpr std::uint32_t ITEM_ADDRESS_MASK = 0x3FFFFu << 3;
/// Bits 0 to 17: a PIC value.
constexpr std::uint32_t PIC_VALUE_MASK = 0x3FFFFu;
constexpr std::uint32_t MAX_ITEM_ADDRESS = 0x3FFFFu;
/// Bit 27 of a SENDPICP first word: its PIC selector.
constexpr std::uint32_t PAIR_PIC_SELECTOR = 1u << 27;
/// Bit 18 of a PIC delay: its selector.
constexpr std::uint32_t PIC_DELAY_SELECTOR = 1u << 18;

/// Log2 of the item size: 8-byte items when send control bit 2 is set.
constexpr std::uint32_t item_shift(std::uint32_t word) {
  return (word & 4u) != 0 ? 3u : 2u;
}

/// A SENDPICP first word that moves payload from an address.
constexpr bool is_addressed_pair(std::uint32_t word) {
  return is_send_control_pair(word) && (word & 7u) != 0;
}

/// Byte address encoded in a SEND or SENDPICP first word.
constexpr std::uint32_t encoded_byte_address(std::uint32_t word) {
  return ((word & ITEM_ADDRESS_MASK) >> 3) << item_shift(word);
}

/// Index of the first SEND, stepping over the control word of every SENDPICP.
std::optional<std::size_t> first_send(std::span<const std::uint32_t> row) {
  for (std::size_t i = 0; i < row.size(); ++i) {
    if (is_send(row[i])) return i;
    if (is_send_control_pair(row[i])) ++i;
  }
  return std::nullopt;
}

}  // namespace

Result<void> patch_sender_instruction(std::uint32_t& instruction, std::uint32_t byte_address) {
  if (!is_send(instruction) && !is_addressed_pair(instruction))
    return fail(ExchangeError::address(byte_address));
  const std::uint32_t shift = item_shift(instruction);
  const std::uint32_t item_mask = (1u << shift) - 1;
  if ((byte_address & item_mask) != 0 || (byte_address >> shift) > MAX_ITEM_ADDRESS)
    return fail(ExchangeError::address(byte_address));
  instruction = (instruction & ~ITEM_ADDRESS_MASK) | (byte_address >> shift) << 3;
  return {};
}

Result<void> patch_sender_address(PlanRow& row, std::uint32_t byte_address) {
  const auto index = first_send(row);
  if (!index) return fail(ExchangeError::address(byte_address));
  return patch_sender_instruction(row[*index], byte_address);
}

Result<void> patch_receiver_address(PlanRow& row, std::uint32_t byte_address) {
  if ((byte_address & 3u) != 0 || byte_address / 4 > MAX_ITEM_ADDRESS)
    return fail(ExchangeError::address(byte_address));
  const std::uint32_t word_address = byte_address / 4;
  for (std::size_t i = 0; i < row.size(); ++i) {
    const std::uint32_t word = row[i];
    if (is_send_control_pair(word)) {
      // A pair whose PIC selector is 1 carries a format control, not an address.
      if ((word & PAIR_PIC_SELECTOR) == 0) {
        if (i + 1 == row.size()) return fail_schedule("truncated SENDPICP payload");
        row[i + 1] = (row[i + 1] & ~PIC_VALUE_MASK) | word_address;
        return {};
      }
      ++i;
    } else if (is_delay_pic(word) && (word & PIC_DELAY_SELECTOR) == 0) {
      row[i] = (word & ~PIC_VALUE_MASK) | word_address;
      return {};
    }
  }
  return fail(ExchangeError::address(byte_address));
}

Result<std::vector<SenderAddressGroup>> sender_address_instruction_groups(
    std::span<const std::uint32_t> row) {
  std::vector<SenderAddressGroup> groups;
  std::optional<std::uint32_t> source;
  for (std::size_t i = 0; i < row.size(); ++i) {
    const std::uint32_t word = row[i];
    if (is_send(word)) {
      source = encoded_byte_address(word);
      groups.push_back({{i, 0}});
    } else if (is_send_control_pair(word)) {
      if ((word & 7u) != 0) {
        if (!source) return fail_schedule("SENDPICP precedes initial outgoing SEND");
        const std::uint32_t address = encoded_byte_address(word);
        if (address < *source) return fail_schedule("SENDPICP precedes outgoing source");
        if (groups.empty()) return fail_schedule("SENDPICP outgoing group");
        groups.back().emplace_back(i, address - *source);
      }
      ++i;
    }
  }
  return groups;
}

std::vector<std::uint32_t> normalized_exchange_address_words(std::span<const std::uint32_t> row) {
  std::vector<std::uint32_t> words(row.begin(), row.end());
  for (std::size_t i = 0; i < words.size(); ++i) {
    std::uint32_t& word = words[i];
    if (is_send(word)) {
      word &= ~ITEM_ADDRESS_MASK;
    } else if (is_send_control_pair(word)) {
      if ((word & 7u) != 0) word &= ~ITEM_ADDRESS_MASK;
      // The receive address rides in the second word whatever the send control.
      if ((word & PAIR_PIC_SELECTOR) == 0 && i + 1 < words.size()) words[i + 1] &= ~PIC_VALUE_MASK;
      ++i;
    } else if (is_send_control(word) && ((word >> 18) & 3u) == 2) {
      word &= ~PIC_VALUE_MASK;
    } else if (is_delay_pic(word) && (word & PIC_DELAY_SELECTOR) == 0) {
      word &= ~PIC_VALUE_MASK;
    }
  }
  return words;
}

Result<void> offset_plan(PlanRow& row, std::uint32_t cycles) {
  if (cycles == 0) return {};
  if (row[0] != SYNC_ENTRY) return fail_schedule("plan offset entry");
  const auto ret = std::ranges::find(row, RET_WORD);
  if (ret == row.end()) return fail_schedule("plan offset return");
  const auto end = static_cast<std::size_t>(ret - row.begin());
  const std::size_t available = row.size() - (end + 1);
  const std::size_t delay_count =
      cycles / MAX_DELAY_ADVANCE + (cycles % MAX_DELAY_ADVANCE != 0 ? 1u : 0u);
  if (delay_count > available) {
    const std::uint64_t maximum = std::uint64_t{available} * MAX_DELAY_ADVANCE;
    return fail(ExchangeError::plan_offset_range(
        cycles, static_cast<std::uint32_t>(std::min<std::uint64_t>(maximum, UINT32_MAX))));
  }
  // The leading delays go right after SYNC so the whole row starts later.
  std::copy_backward(row.begin() + 1, row.begin() + static_cast<std::ptrdiff_t>(end + 1),
                     row.begin() + static_cast<std::ptrdiff_t>(end + 1 + delay_count));
  std::uint32_t remaining = cycles;
  for (std::size_t i = 1; i <= delay_count; ++i) {
    const std::uint32_t advance = std::min(remaining, MAX_DELAY_ADVANCE);
    row[i] = delay(advance - 1);
    remaining -= advance;
  }
  return {};
}

Result<PlanRow> finalize_point_receiver(const PlanRow& row, std::uint16_t source_physical) {
  const std::uint32_t patch_index = row[0];
  if (patch_index >= 8 || source_physical > 0x1FFF)
    return fail_schedule("point receiver patch index");
  PlanRow result{};
  std::copy(row.begin() + 1, row.end(), result.begin());
  result[patch_index] = (result[patch_index] & ~0x1FFFu) | source_physical;
  return result;
}

}  // namespace vessik_exchange
