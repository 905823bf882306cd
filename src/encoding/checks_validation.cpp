// Checks of encoded tile programs against their schedules.
#include <array>
#include <cstdint>
#include <vector>

#include "harness/harness.hpp"
#include "vessik_exchange/diagnostics.hpp"
#include "vessik_exchange/tile_schedule.hpp"

namespace vessik_exchange::encoding::tests {

using diagnostic::IncomingControl;
using diagnostic::IncomingControlStream;
using diagnostic::PlanOperation;

VX_CHECK_DEFINE(receive_control_at_send_start_is_issued_before_the_payload) {
  // A 28-word send whose payload starts on the very cycle the mux teardown is due.
  const std::array senders{ScheduledSenderRow{
      {0x41800003u, 0x40a0001cu, 0x7b6b8003u, 0x43a00000u, 0, 0, 0, 0, 0}, 5354, 5382}};
  const std::array events{ReceiveEvent{5354, 0x6406c640u, ReceiveEventKind::OrdinaryNeutral}};
  const auto schedule = TileProgramSchedule::from_parts(senders, events, 5382);
  VX_CHECK(schedule.receive_control_at_send_start(5354));

  // The control cannot ride on the send (its first word is the plain initial SEND), so an XPIC
  // delay ending on the payload start carries it.
  const auto words = VX_OK(schedule.finish());
  VX_CHECK_EQ(words,
              (std::vector<std::uint32_t>{0x40a004e9u, 0x67ffc640u, 0x7b6b8003u, 0x43a00000u}));

  const auto listing = VX_OK(diagnostic::validate_tile_program(0, schedule, words));
  VX_CHECK_EQ(listing.event_cycles, 5382u);
  VX_CHECK_EQ(listing.instructions.size(), 4u);
  const auto& control = listing.instructions[1];
  const PlanOperation teardown = IncomingControl{IncomingControlStream::Xpic, 1600};
  VX_CHECK_EQ(control.operation, teardown);
  VX_CHECK_EQ(control.end_cycle, 5354u);
  const auto& send = listing.instructions[2];
  VX_CHECK(send.operation.is<PlanOperation::Send>());
  VX_CHECK_EQ(send.start_cycle, 5354u);
  VX_CHECK_EQ(send.end_cycle, 5382u);
}

}  // namespace vessik_exchange::encoding::tests
