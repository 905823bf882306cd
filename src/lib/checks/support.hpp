// Shared functions of the checks of module `tests`.
#pragma once

#include <array>
#include <cstdint>
#include <utility>

#include "vessik_exchange/host_exchange.hpp"
#include "vessik_exchange/row_timing.hpp"

namespace vessik_exchange::tests {

/// Byte address held by a SEND word with 4-byte items.
[[nodiscard]] constexpr std::uint32_t send_address(std::uint32_t instruction) {
  return ((instruction & 0x1FFFF8u) >> 3) * 4u;
}

/// The two words of a host packet header in packet-memory order.
[[nodiscard]] constexpr std::array<std::uint32_t, 2> host_packet_words(HostPacketHeader header) {
  return {header.word0, header.word1};
}

/// Kind and operand of the control carried by a send-control word.
[[nodiscard]] constexpr std::pair<ReceiveEventKind, std::uint32_t> send_control_signature(
    std::uint32_t instruction) {
  const std::uint32_t selector = (instruction >> 18) & 3u;
  if (selector >= 2) return {ReceiveEventKind::Pointer, instruction & 0x3FFFFu};
  const std::uint32_t operand = instruction & 0x1FFFu;
  return {operand == 1600 ? ReceiveEventKind::OrdinaryNeutral : ReceiveEventKind::OrdinarySource,
          operand};
}

/// Kind and operand of the control carried by a receive-side control word.
[[nodiscard]] constexpr std::pair<ReceiveEventKind, std::uint32_t> receive_control_signature(
    std::uint32_t instruction) {
  if ((instruction & 0xFC000000u) == 0x60000000u)
    return {ReceiveEventKind::Pointer, instruction & 0x3FFFFu};
  const std::uint32_t operand = instruction & 0x1FFFu;
  return {operand == 1600 ? ReceiveEventKind::OrdinaryNeutral : ReceiveEventKind::OrdinarySource,
          operand};
}

}  // namespace vessik_exchange::tests
