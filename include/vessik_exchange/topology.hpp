// Tile topology (logical to physical tile map) and route timing between physical tiles.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>
#include <vector>

#include "vessik_exchange/error.hpp"

namespace vessik_exchange {

struct Plan;
struct MulticastPlan;

/// The `arvel` map of logical tile `logical` (0 to 1471) to its physical tile.
[[nodiscard]] std::uint16_t arvel_logical_to_physical(std::uint16_t logical);

/// Map from logical to physical tile numbers; plan builders hang off it.
class Topology {
 public:
  /// The 1472-tile `arvel` topology.
  [[nodiscard]] static Topology arvel();

  /// Number of logical tiles.
  [[nodiscard]] std::size_t tile_count() const { return logical_to_physical_.size(); }
  /// Physical tile of `logical`, or `Tile(logical)`.
  [[nodiscard]] Result<std::uint16_t> physical(std::uint16_t logical) const;
  /// Logical tile whose physical number is this tile's with bit 1 flipped, or `Tile(logical)`.
  [[nodiscard]] Result<std::uint16_t> paired_logical(std::uint16_t logical) const;

  /// Plan of `count` words from one tile to another; the receiver row is patchable.
  [[nodiscard]] Result<Plan> point_to_point(std::uint16_t sender_logical,
                                            std::uint16_t receiver_logical,
                                            std::uint32_t count) const;
  /// Plan of `count` words from one tile to several, delayed by `schedule_offset` cycles.
  [[nodiscard]] Result<MulticastPlan> multicast(std::uint16_t sender_logical,
                                                std::span<const std::uint16_t> receiver_logical,
                                                std::uint32_t count,
                                                std::uint32_t schedule_offset) const;
  /// Plan of `count` 64-bit items from one tile to complete tile pairs.
  [[nodiscard]] Result<MulticastPlan> paired_multicast(std::uint16_t sender_logical,
                                                       std::span<const std::uint16_t> receivers,
                                                       std::uint32_t count) const;
  /// Receiver row of one tile of a pair in a paired 64-bit multicast.
  [[nodiscard]] Result<std::array<std::uint32_t, 9>> paired_receiver_row(
      std::uint16_t sender_logical, std::uint16_t receiver_logical, std::uint32_t count,
      std::int32_t minimum_double_mux) const;
  /// True when `receiver_logical` is the tile of its pair that the sender reaches first.
  [[nodiscard]] Result<bool> paired_receiver_is_early(std::uint16_t receiver_logical,
                                                      std::uint16_t sender_logical) const;

  bool operator==(const Topology&) const = default;

 private:
  explicit Topology(std::vector<std::uint16_t> table) : logical_to_physical_(std::move(table)) {}
  std::vector<std::uint16_t> logical_to_physical_;
};

/// Signed route displacement from `source` to `destination` (physical tiles); never 0.
[[nodiscard]] std::int32_t route_displacement(std::uint32_t source, std::uint32_t destination);
/// Send direction mask towards a single receiver: 1 for a positive displacement, else 2.
[[nodiscard]] std::uint32_t direction(std::uint32_t source, std::uint32_t destination);
/// Cycles from the sender's first payload cycle to the receiver's mux selection.
[[nodiscard]] std::int32_t time_to_mux(std::uint32_t source, std::uint32_t destination);
/// The later time to mux of the two tiles of the destination's pair.
[[nodiscard]] std::int32_t paired_time_to_mux(std::uint32_t source, std::uint32_t destination);

/// Debug rendering: `Topology { tile_count: 1472 }`.
[[nodiscard]] std::string to_string(const Topology& topology);
/// Writes the debug rendering.
std::ostream& operator<<(std::ostream& out, const Topology& topology);

}  // namespace vessik_exchange
