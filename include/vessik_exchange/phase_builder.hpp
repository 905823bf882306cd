// Phase program builder: places transfers across all tiles of one exchange phase at their
// earliest feasible offsets, proves each placement encodes, and yields validated programs.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "vessik_exchange/error.hpp"
#include "vessik_exchange/plans.hpp"
#include "vessik_exchange/row_timing.hpp"
#include "vessik_exchange/tile_schedule.hpp"

namespace vessik_exchange {

/// The last validated placement, kept so that committing it costs no second encoding.
struct StagedTransfer {
  std::uint16_t source = 0;
  std::vector<std::uint16_t> receivers;
  MulticastPlan plan;
  std::uint32_t offset = 0;
  std::uint32_t words = 0;
  /// Updated schedules of every tile the transfer changes, source first, with their encodings.
  std::vector<std::pair<std::uint16_t, TileProgramSchedule>> updates;

  /// True when this trial is exactly the given transfer at the given offset.
  [[nodiscard]] bool matches(std::uint16_t source, std::span<const std::uint16_t> receivers,
                             const MulticastPlan& plan, std::uint32_t offset,
                             std::uint32_t words) const;
};

/// Where a placed transfer runs.
struct PhaseTransferTiming {
  std::uint32_t payload_start = 0;
  std::uint32_t payload_end = 0;
  std::uint32_t sender_horizon = 0;
  std::vector<ScheduledPayloadTiming> receivers;
  std::uint32_t horizon = 0;

  bool operator==(const PhaseTransferTiming&) const = default;
};

/// The programs of a finished phase.
struct PhasePrograms {
  /// One entry per tile; absent for a tile with nothing to do.
  std::vector<std::optional<std::vector<std::uint32_t>>> programs;
  std::vector<std::uint32_t> tile_event_cycles;
  std::uint32_t event_cycles = 0;

  bool operator==(const PhasePrograms&) const = default;
};

/// Builds one exchange phase for a set of tiles. Copies share the validation budget.
class PhaseProgramBuilder {
 public:
  /// A builder of `tile_count` empty tile schedules, no trial and no budget.
  explicit PhaseProgramBuilder(std::uint16_t tile_count);
  /// Same as the constructor.
  [[nodiscard]] static PhaseProgramBuilder create(std::uint16_t tile_count) {
    return PhaseProgramBuilder(tile_count);
  }
  /// This builder with a new budget of `entries` work units shared by all its copies.
  [[nodiscard]] PhaseProgramBuilder with_validation_budget(std::uint64_t entries) &&;

  /// Number of tiles.
  [[nodiscard]] std::size_t tile_count() const { return tile_states_.size(); }
  /// The schedule of `tile`, or `Tile(tile)`.
  [[nodiscard]] Result<std::reference_wrapper<const TileProgramSchedule>> tile_schedule(
      std::uint16_t tile) const;
  /// Event horizon of `tile`, or `Tile(tile)`.
  [[nodiscard]] Result<std::uint32_t> tile_event_cycles(std::uint16_t tile) const;
  /// Work units left in the shared budget, absent when unlimited.
  [[nodiscard]] std::optional<std::uint64_t> remaining_validation_budget() const;
  /// The staged trial, if any.
  [[nodiscard]] const std::optional<StagedTransfer>& staged() const { return staged_; }

  /// Earliest offset at or after `requested` that every involved tile accepts, validated by
  /// encoding; the validated placement is staged.
  [[nodiscard]] Result<std::uint32_t> earliest_transfer_offset(
      std::uint16_t source, std::span<const std::uint16_t> reserved_tiles,
      std::span<const std::uint16_t> receivers, const PreparedTransfer& plan, std::uint32_t words,
      std::uint32_t requested);
  /// The same search without validation; nothing is staged.
  [[nodiscard]] Result<std::uint32_t> earliest_transfer_offset_deferred(
      std::uint16_t source, std::span<const std::uint16_t> reserved_tiles,
      std::span<const std::uint16_t> receivers, const PreparedTransfer& plan, std::uint32_t words,
      std::uint32_t requested);
  /// Places the transfer at `schedule_offset`, committing a matching staged trial as it is.
  [[nodiscard]] Result<PhaseTransferTiming> append_transfer_at(
      std::uint16_t source, std::span<const std::uint16_t> reserved_tiles,
      std::span<const std::uint16_t> receivers, const PreparedTransfer& plan,
      std::uint32_t schedule_offset, std::uint32_t words);
  /// Timing of the transfer at `schedule_offset` against the current tiles; changes nothing.
  [[nodiscard]] Result<PhaseTransferTiming> transfer_timing_at(
      std::uint16_t source, std::span<const std::uint16_t> receivers, const PreparedTransfer& plan,
      std::uint32_t schedule_offset, std::uint32_t words) const;
  /// Encodes and validates every tile with work and returns the phase's programs.
  [[nodiscard]] Result<PhasePrograms> finish() const;
  /// Schedules a write of register `reg` into the tile's outgoing exchange base.
  [[nodiscard]] Result<void> switch_outgoing_base(std::uint16_t tile, std::uint8_t reg);

 private:
  using Updates = std::vector<std::pair<std::uint16_t, TileProgramSchedule>>;

  [[nodiscard]] Result<std::uint32_t> earliest_transfer_offset_impl(
      std::uint16_t source, std::span<const std::uint16_t> reserved_tiles,
      std::span<const std::uint16_t> receivers, const PreparedTransfer& plan, std::uint32_t words,
      std::uint32_t requested, bool validate_encoding);
  [[nodiscard]] Result<void> transfer_is_encodable_at(std::uint16_t source,
                                                      std::span<const std::uint16_t> receivers,
                                                      const PreparedTransfer& plan,
                                                      std::uint32_t schedule_offset,
                                                      std::uint32_t words);
  [[nodiscard]] Result<Updates> prepare_transfer_at(std::uint16_t source,
                                                    std::span<const std::uint16_t> receivers,
                                                    const PreparedTransfer& plan,
                                                    std::uint32_t offset, std::uint32_t words,
                                                    bool validate) const;
  [[nodiscard]] Result<void> charge_budget(std::uint16_t source,
                                           std::span<const std::uint16_t> receivers);
  [[nodiscard]] Result<const TileProgramSchedule*> lookup(std::uint16_t tile) const;

  std::vector<TileProgramSchedule> tile_states_;
  std::shared_ptr<std::atomic<std::uint64_t>> validation_budget_;
  std::optional<StagedTransfer> staged_;
};

/// Debug rendering: tile count, remaining budget and the staged trial.
[[nodiscard]] std::string to_string(const PhaseProgramBuilder& builder);
/// Writes the debug rendering.
std::ostream& operator<<(std::ostream& out, const PhaseProgramBuilder& builder);
/// Debug rendering: `PhasePrograms { programs: [...], tile_event_cycles: [...], event_cycles: n }`.
[[nodiscard]] std::string to_string(const PhasePrograms& programs);
/// Debug rendering with every field.
[[nodiscard]] std::string to_string(const PhaseTransferTiming& timing);
/// Debug rendering with every field.
[[nodiscard]] std::string to_string(const StagedTransfer& staged);
/// Writes the debug rendering.
std::ostream& operator<<(std::ostream& out, const PhasePrograms& programs);
/// Writes the debug rendering.
std::ostream& operator<<(std::ostream& out, const PhaseTransferTiming& timing);
/// Writes the debug rendering.
std::ostream& operator<<(std::ostream& out, const StagedTransfer& staged);

}  // namespace vessik_exchange
