#include "vessik_exchange/topology.hpp"

#include <cstdlib>
#include <ostream>
#include <sstream>

namespace vessik_exchange {

std::uint16_t arvel_logical_to_physical(std::uint16_t logical) {
  const unsigned pair = logical / 2u;
  const unsigned lane = logical % 2u;
  const unsigned block = pair / 23u;
  unsigned row = pair % 23u;
  // Odd blocks run the rows in the opposite direction.
  if (block % 2u == 1u) row = 22u - row;
  const unsigned column = (block / 2u) * 4u + block % 2u;
  return static_cast<std::uint16_t>(row * 64u + column + 2u * lane);
}

Topology Topology::arvel() {
  std::vector<std::uint16_t> table(1472);
  for (std::size_t i = 0; i < table.size(); ++i)
    table[i] = arvel_logical_to_physical(static_cast<std::uint16_t>(i));
  return Topology(std::move(table));
}

Result<std::uint16_t> Topology::physical(std::uint16_t logical) const {
  if (logical >= logical_to_physical_.size()) return fail(ExchangeError::tile(logical));
  return logical_to_physical_[logical];
}

Result<std::uint16_t> Topology::paired_logical(std::uint16_t logical) const {
  const auto own = physical(logical);
  if (!own) return fail(own.error());
  const std::uint16_t wanted = *own ^ 2u;
  for (std::size_t i = 0; i < logical_to_physical_.size(); ++i)
    if (logical_to_physical_[i] == wanted) return static_cast<std::uint16_t>(i);
  return fail(ExchangeError::tile(logical));
}

namespace {
constexpr std::int32_t raw(std::uint32_t t) {
  return static_cast<std::int32_t>((t >> 2) & 15u);
}
constexpr std::int32_t low(std::uint32_t t) {
  return static_cast<std::int32_t>((t >> 2) & 7u);
}
constexpr std::int32_t row_of(std::uint32_t t) {
  return static_cast<std::int32_t>((t >> 6) & 31u);
}
constexpr std::int32_t column_of(std::int32_t r) {
  return r > 7 ? r ^ 15 : r;
}
constexpr std::int32_t edge_of(std::int32_t r) {
  return r > 7 ? (r * 4) ^ 60 : r * 4;
}
}  // namespace

std::int32_t route_displacement(std::uint32_t source, std::uint32_t destination) {
  const std::int32_t source_raw = raw(source);
  const std::int32_t destination_raw = raw(destination);
  const std::int32_t source_mux =
      column_of(source_raw) + ((source_raw >> 3) ^ static_cast<std::int32_t>(source & 1u));
  const std::int32_t base = (column_of(destination_raw) - source_mux) * 6;
  const auto destination_lane = static_cast<std::int32_t>(destination & 3u);
  const std::int32_t destination_half = destination_raw >> 3;
  if (destination_lane >= 2)
    return base + (destination_half == static_cast<std::int32_t>(destination & 1u) ? 2 : 4);
  return base + (destination_half == destination_lane ? 1 : 5);
}

std::uint32_t direction(std::uint32_t source, std::uint32_t destination) {
  return route_displacement(source, destination) >= 1 ? 1u : 2u;
}

std::int32_t time_to_mux(std::uint32_t source, std::uint32_t destination) {
  const std::int32_t source_raw = raw(source);
  const std::int32_t destination_raw = raw(destination);
  const std::int32_t source_low = low(source);
  const std::int32_t displacement = route_displacement(source, destination);
  const auto local = static_cast<std::int32_t>(((source >> 2) & 8u) | ((source >> 3) & 3u));
  const std::int32_t crossing = local - destination_raw + ((source_low >> 1) ^ 3);
  const bool same_region = ((source >> 5) & 1u) == ((destination >> 5) & 1u);
  const std::int32_t turn = same_region ? source_low + 1 : 16 - source_low;
  const std::int32_t group_delta = (row_of(source) - row_of(destination)) * 2;
  return crossing + edge_of(source_raw) + turn - edge_of(destination_raw) + group_delta +
         std::abs(displacement) - 34;
}

std::int32_t paired_time_to_mux(std::uint32_t source, std::uint32_t destination) {
  return std::max(time_to_mux(source, destination), time_to_mux(source, destination ^ 2u));
}

std::ostream& operator<<(std::ostream& out, const Topology& topology) {
  return out << "Topology { tile_count: " << topology.tile_count() << " }";
}

std::string to_string(const Topology& topology) {
  std::ostringstream out;
  out << topology;
  return out.str();
}

}  // namespace vessik_exchange
