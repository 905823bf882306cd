#include "registry.hpp"

#include <array>
#include <optional>
#include <string_view>

// One line per check, sorted by full name: X(module, name) for ordinary checks and
// B(module, name) for the manual CPU benchmarks, which run only when asked for.
// clang-format off
#define VX_CHECK_LIST(X, B) \
  X(chunked::tests, shared_edits_match_vectors_across_chunk_boundaries) \
  X(diagnostic::tests, diagnostic_windows_handle_unbounded_radius_and_unplaced_rows) \
  X(diagnostic::tests, paired_control_decoder_preserves_the_pic_selector) \
  X(diagnostic::tests, sdk_full_duplex_pair_decodes_absolute_send_restart) \
  X(diagnostic::tests, sdk_receiver_row_decodes_two_word_controls_as_single_instructions) \
  B(encoding::tests, benchmark_incremental_encoding) \
  B(encoding::tests, benchmark_receive_validation) \
  X(encoding::tests, mixed_speculative_transfers_match_full_encoding) \
  X(encoding::tests, outgoing_base_uses_control_gaps_and_preserves_incremental_encoding) \
  X(encoding::tests, receive_control_at_send_start_is_issued_before_the_payload) \
  X(encoding::tests, receive_only_rows_reuse_the_prefix_before_a_source_cutover) \
  X(encoding::tests, rejected_receive_preserves_stream_and_encoding) \
  X(encoding::tests, sender_insertion_checks_both_neighbors_without_changing_failed_history) \
  X(encoding::tests, validated_transfer_commits_its_encoded_trial_and_rejects_stale_trials) \
  X(encoding::tests, validation_budget_limits_effort_without_invalidating_the_schedule) \
  X(tests, arvel_mapping_is_a_permutation) \
  X(tests, consecutive_paired_receives_match_the_sdks_continuous_format_stream) \
  X(tests, consecutive_paired_receives_separate_format_teardown_from_next_source) \
  X(tests, encoder_places_receive_then_send_on_one_event_timeline) \
  X(tests, encodes_supervisor_send_fields) \
  X(tests, event_horizon_tracks_transfer_size_and_route) \
  X(tests, finalizes_point_receiver_for_direct_execution) \
  X(tests, groups_multi_packet_host_to_tile_as_one_stream_copy) \
  X(tests, groups_multi_packet_tile_to_host_payloads) \
  X(tests, host_command_read_encoder_preserves_recovered_packet_and_addresses) \
  X(tests, host_mux_uses_the_physical_tile_row_endpoint) \
  X(tests, host_packets_match_recovered_sdk_vectors) \
  X(tests, host_packets_validate_both_size_classes) \
  X(tests, host_to_tile_target_preserves_packet_and_request_addresses) \
  X(tests, host_transfer_planner_covers_unaligned_and_large_ranges) \
  X(tests, host_xreq_combines_target_endpoint_bits) \
  X(tests, multicast_loopback_preserves_both_roles) \
  X(tests, multicast_primitive_encodings) \
  X(tests, normalizes_all_sender_address_fields) \
  X(tests, ordinary_pointer_setup_matches_payload_arrival_at_count_boundaries) \
  X(tests, ordinary_source_setup_does_not_merge_with_a_paired_pointer) \
  X(tests, paired_format_waits_for_the_previous_ordinary_payload_to_drain) \
  X(tests, paired_multicast64_matches_near_reverse_and_far_sdk_rows) \
  X(tests, paired_send_matches_sdk_full_duplex_oracle) \
  X(tests, paired_source_setup_does_not_merge_with_an_ordinary_pointer) \
  X(tests, plan_offsets_extend_beyond_route_timing_fields) \
  X(tests, point_to_point_primitive_encodings) \
  X(tests, randomized_coincident_paired_controls_are_rejected) \
  X(tests, randomized_internal_receives_leave_the_neutral_mux_selected) \
  X(tests, randomized_mixed_role_programs_fuse_receive_controls_into_sends) \
  X(tests, randomized_paired_multicasts_preserve_route_relative_timing) \
  X(tests, randomized_receiver_streams_schedule_source_and_pointer_cutovers) \
  X(tests, randomized_tile_to_host_packets_observe_the_payload_interval) \
  X(tests, restart_relocation_uses_encoded_addresses_for_both_send_widths) \
  X(tests, scalar_instruction_encoders_preserve_operands_and_reject_overflow) \
  X(tests, sender_cursor_matches_exhaustive_offset_search) \
  X(tests, single_receiver_uses_the_directional_route_for_every_payload_instruction) \
  X(tests, target_operations_match_sdk_logical_tile_100_oracle) \
  X(tests, tile_to_host_target_has_no_controller_xreq_or_sync_wrapper) \
  X(tests, tile_to_host_target_preserves_packet_and_payload_addresses) \
  X(tests, validates_limits_and_patches_addresses) \
  /* end of list */
// clang-format on

#define VX_DECLARE(module, name)                                  \
  namespace vessik_exchange::module {                             \
  void name();                                                    \
  extern const ::vessik_exchange::harness::CheckSite name##_site; \
  }
VX_CHECK_LIST(VX_DECLARE, VX_DECLARE)
#undef VX_DECLARE

namespace vessik_exchange {
namespace {

#define VX_ENTRY(module, name)                                                            \
  harness::CheckDescriptor{#module "::" #name, false, std::nullopt, &module::name##_site, \
                           &module::name},
#define VX_BENCH(module, name)                                                                 \
  harness::CheckDescriptor{#module "::" #name, true, std::string_view("manual CPU benchmark"), \
                           &module::name##_site, &module::name},

constexpr std::array kRegistry{VX_CHECK_LIST(VX_ENTRY, VX_BENCH)};

#undef VX_ENTRY
#undef VX_BENCH

}  // namespace

std::span<const harness::CheckDescriptor> check_registry() {
  return kRegistry;
}

}  // namespace vessik_exchange
