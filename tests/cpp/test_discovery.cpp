#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "KivraHardwareAPI/Discovery.h"
#include "KivraHardwareAPI/KinematicModel.h"
#include "PtyPeer.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using namespace Kivra::HardwareAPI::Discovery;
using Kivra::HardwareAPI::Devices::KinematicModel;

namespace {

std::vector<uint8_t> arm_wakeup_reply(uint8_t model) {
    std::vector<uint8_t> reply{11, 0x01, 0x02, model, 3, 7};
    for (uint8_t i = 0; i < 16; ++i) reply.push_back(i);
    return reply;
}

const std::vector<uint8_t> HANDLE_INFO_REPLY{208, 0x34, 0x12, 9, 2, 1, 5};
const std::vector<uint8_t> HANDLE_STATUS_REPLY = [] {
    std::vector<uint8_t> reply(22, 0);
    reply[0] = 218;
    reply[21] = 2;  // two bytes of user data follow
    reply.push_back(7);
    reply.push_back(8);
    return reply;
}();
const std::vector<uint8_t> HANDLE_ERROR_REPLY{223, 1, 0, 4};

// A folder of links named like ports, each leading to a pseudo-terminal
// whose peer may hold a reply ready for the probe's wakeup.
struct PortFolder : testing::Test {
    fs::path folder;
    std::vector<std::unique_ptr<PtyPeer>> peers;

    void SetUp() override {
        char name[] = "/tmp/kivra-ports-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        folder = name;
    }
    void TearDown() override { fs::remove_all(folder); }

    PtyPeer& add_port(const std::string& link_name, const std::vector<uint8_t>& reply = {}) {
        peers.push_back(std::make_unique<PtyPeer>());
        PtyPeer& peer = *peers.back();
        fs::create_symlink(peer.path(), folder / link_name);
        if (!reply.empty()) peer.send_on_request(reply);
        return peer;
    }
    static std::string canonical(const PtyPeer& peer) { return fs::canonical(peer.path()).string(); }
};

}  // namespace

TEST_F(PortFolder, ListingClassifiesBySubstringInDirectoryOrder) {
    PtyPeer& acm = add_port("ttyACM0");
    PtyPeer& usb = add_port("ttyUSB0");
    PtyPeer& rfcomm = add_port("rfcomm0");
    PtyPeer& middle = add_port("my-ttyACM-port");
    add_port("ttyS0");
    const std::vector<PortEntry> ports = list_serial_ports(folder);
    ASSERT_EQ(ports.size(), 4u);

    std::vector<std::string> listed_order;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name != "ttyS0") listed_order.push_back(fs::canonical(entry.path()).string());
    }
    std::map<std::string, PortKind> kinds;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        EXPECT_EQ(ports[i].path, listed_order[i]) << "directory order is kept";
        kinds[ports[i].path] = ports[i].kind;
    }
    EXPECT_EQ(kinds[canonical(acm)], PortKind::acm);
    EXPECT_EQ(kinds[canonical(usb)], PortKind::usb);
    EXPECT_EQ(kinds[canonical(rfcomm)], PortKind::rfcomm);
    EXPECT_EQ(kinds[canonical(middle)], PortKind::acm);
}

TEST_F(PortFolder, MissingDirectoryGivesNothingAndDanglingLinkThrows) {
    EXPECT_TRUE(list_serial_ports(folder / "absent").empty());
    EXPECT_TRUE(detect_handles(folder / "absent").empty());
    fs::create_symlink(folder / "gone", folder / "ttyACM5");
    EXPECT_THROW(list_serial_ports(folder), fs::filesystem_error);
}

TEST_F(PortFolder, ArmOfModelFourIsFoundUnderItsCanonicalPath) {
    PtyPeer& arm = add_port("ttyACM0", arm_wakeup_reply(4));
    add_port("ttyACM1", arm_wakeup_reply(5));
    EXPECT_EQ(detect_pendra3s(folder), std::vector<std::string>{canonical(arm)});
    EXPECT_EQ(arm.drain(), std::vector<uint8_t>{10});
}

TEST_F(PortFolder, ArmScanProbesUsbCdcPortsOnly) {
    PtyPeer& usb = add_port("ttyUSB0", arm_wakeup_reply(4));
    PtyPeer& rfcomm = add_port("rfcomm0", arm_wakeup_reply(4));
    EXPECT_TRUE(detect_pendra3s(folder).empty());
    EXPECT_TRUE(usb.drain().empty()) << "nothing was sent to a ttyUSB port";
    EXPECT_TRUE(rfcomm.drain().empty());
}

TEST_F(PortFolder, ArmProbeResetsTheSharedModel) {
    KinematicModel& model = KinematicModel::instance();
    model.head_gear_ratio_coeff = 2.0f;
    model.angle_offsets = {0.5f, 0.0f, 0.0f};
    add_port("ttyACM0", arm_wakeup_reply(4));
    detect_pendra3s(folder);
    EXPECT_FLOAT_EQ(model.head_gear_ratio_coeff, 1.0f);
    EXPECT_FLOAT_EQ(model.angle_offsets[0], 0.5f);
    model.angle_offsets = {};
}

TEST_F(PortFolder, HandlesAnsweringInfoOrStatusAreFound) {
    PtyPeer& info = add_port("ttyUSB0", HANDLE_INFO_REPLY);
    PtyPeer& status = add_port("rfcomm0", HANDLE_STATUS_REPLY);
    PtyPeer& error = add_port("ttyUSB1", HANDLE_ERROR_REPLY);
    PtyPeer& arm = add_port("ttyACM0", arm_wakeup_reply(4));
    const std::vector<std::string> found = detect_handles(folder);
    std::set<std::string> found_set(found.begin(), found.end());
    EXPECT_EQ(found_set, (std::set<std::string>{canonical(info), canonical(status)}));
    EXPECT_EQ(info.drain(), std::vector<uint8_t>{10});
    EXPECT_EQ(error.drain(), std::vector<uint8_t>{10});
    EXPECT_EQ(arm.drain(), std::vector<uint8_t>{10}) << "an arm's wakeup reply is no handle";
}

TEST_F(PortFolder, WiredAndWirelessScansKeepToTheirKind) {
    PtyPeer& usb = add_port("ttyUSB3", HANDLE_INFO_REPLY);
    PtyPeer& rfcomm = add_port("rfcomm2", HANDLE_INFO_REPLY);
    EXPECT_EQ(detect_wired_handles(folder), std::vector<std::string>{canonical(usb)});
    EXPECT_TRUE(rfcomm.drain().empty());
    usb.drain();
    usb.send(HANDLE_INFO_REPLY);
    EXPECT_EQ(detect_wireless_handles(folder), std::vector<std::string>{canonical(rfcomm)});
    EXPECT_TRUE(usb.drain().empty());
}

TEST_F(PortFolder, LateHandleIsNotReportedAndTheScanWaitsForIt) {
    PtyPeer& late = add_port("ttyUSB0");
    std::thread device([&late] {
        // Answer within the probe's own time-out but after the scan's limit.
        std::this_thread::sleep_for(std::chrono::milliseconds(5300));
        late.send(HANDLE_INFO_REPLY);
    });
    const auto start = Clock::now();
    EXPECT_TRUE(detect_wired_handles(folder).empty());
    EXPECT_GT(since(start), 5.0) << "the late probe was waited for";
    device.join();
}

TEST(Probes, PortThatCannotBeOpenedIsNoDevice) {
    EXPECT_EQ(probe_pendra3("/nonexistent/ttyACM0"), 0);
    EXPECT_EQ(probe_handle("/nonexistent/ttyUSB0"), 0);
    EXPECT_FALSE(probe_handle_with_timeout("/nonexistent/ttyUSB0"));
}
