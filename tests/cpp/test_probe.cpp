#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include "KivraHardwareAPI/KinematicModel.h"
#include "KivraHardwareAPI/Probe.h"
#include "PtyPeer.h"

using namespace Kivra::HardwareAPI;
using Devices::KinematicModel;
using Discovery::ProbeKind;

namespace {

std::vector<uint8_t> arm_reply(uint8_t model, std::size_t payload = 21) {
    std::vector<uint8_t> reply{11, 0x01, 0x02, model, 3, 7};
    for (uint8_t i = 0; reply.size() < payload + 1; ++i) reply.push_back(i);
    reply.resize(payload + 1);
    return reply;
}

struct ProbeCase {
    const char* name;
    std::vector<uint8_t> reply;  // empty: the device stays silent
    ProbeKind kind;
    OutcomeKind outcome;
    uint8_t code;
};

struct Probing : testing::TestWithParam<ProbeCase> {};

}  // namespace

TEST_P(Probing, TellsWhatAnsweredTheWakeup) {
    const ProbeCase& c = GetParam();
    PtyPeer peer;
    peer.send({218, 1, 2, 3});  // stale input: no answer to this wakeup
    if (!c.reply.empty()) peer.send_on_request(c.reply);
    KinematicModel::instance().head_gear_ratio_coeff = 2.0f;
    const Discovery::ProbeResult result = Discovery::probe_port(peer.path().c_str(), 0.3);
    EXPECT_EQ(result.kind, c.kind);
    EXPECT_EQ(result.outcome.kind, c.outcome);
    EXPECT_EQ(result.code, c.code);
    EXPECT_EQ(peer.drain(), std::vector<uint8_t>{10});
    EXPECT_FLOAT_EQ(KinematicModel::instance().head_gear_ratio_coeff, 2.0f) << "the shared model is untouched";
    KinematicModel::instance().head_gear_ratio_coeff = 1.0f;
    EXPECT_EQ(result.has_arm_info, c.code == 11 && c.outcome == OutcomeKind::done);
    EXPECT_EQ(result.arm.device_id, result.has_arm_info ? 0x0201 : 0);
    EXPECT_EQ(result.has_handle_info, c.code == 208 && c.outcome == OutcomeKind::done);
    EXPECT_EQ(result.handle.device_id, result.has_handle_info ? 0x1234 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, Probing,
    testing::Values(ProbeCase{"arm", arm_reply(4), ProbeKind::arm, OutcomeKind::done, 11},
                    ProbeCase{"other_model", arm_reply(5), ProbeKind::unknown, OutcomeKind::done, 11},
                    ProbeCase{"arm_cut_short", arm_reply(4, 10), ProbeKind::unknown, OutcomeKind::short_payload, 11},
                    ProbeCase{"handle_info", {208, 0x34, 0x12, 9, 2, 1, 5}, ProbeKind::handle, OutcomeKind::done, 208},
                    ProbeCase{"handle_info_cut_short", {208, 0x34}, ProbeKind::handle, OutcomeKind::short_payload, 208},
                    ProbeCase{"handle_status", {218, 0, 0}, ProbeKind::handle, OutcomeKind::done, 218},
                    ProbeCase{"handle_error", {223, 1, 0, 4}, ProbeKind::unknown, OutcomeKind::wrong_code, 223},
                    ProbeCase{"silent", {}, ProbeKind::none, OutcomeKind::timed_out, 0}),
    [](const testing::TestParamInfo<ProbeCase>& info) { return std::string(info.param.name); });

TEST(Probe, PortHeldExclusivelyIsNotTalkedTo) {
    PtyPeer peer;
    IO::SerialStream holder(peer.path().c_str(), false);
    ASSERT_TRUE(holder.open_port(true).ok());
    const Discovery::ProbeResult result = Discovery::probe_port(peer.path().c_str(), 0.3);
    EXPECT_EQ(result.kind, ProbeKind::none);
    EXPECT_EQ(result.outcome.kind, OutcomeKind::not_open);
    EXPECT_EQ(result.outcome.detail, EBUSY);
    EXPECT_TRUE(peer.drain().empty());
}
