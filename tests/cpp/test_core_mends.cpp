// Exchanges that report outcomes, and the faults of the port that must not
// outlast the exchange they happen in.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <regex>

#include "KivraHardwareAPI/Discovery.h"
#include "KivraHardwareAPI/MyHandle.h"
#include "KivraHardwareAPI/Pendra3.h"
#include "PtyPeer.h"
#include "StatusFrames.h"
#include "TestSupport.h"

using namespace Kivra::HardwareAPI;
using namespace Kivra::HardwareAPI::Devices;
using IO::SerialStream;

namespace {

struct Port : testing::Test {
    PtyPeer peer;
    SerialStream stream{peer.path().c_str()};
    Pendra3 arm{&stream};
    MyHandle handle{&stream};
    Vector3 first{}, second{};
    void SetUp() override { arm.timeout = 1.0f; }
    OutcomeKind receive(double timeout) {
        HandleMessage m;
        return handle.receive(m, timeout).kind;
    }
    OutcomeKind read_frame(double timeout) {
        ManiloStatus s;
        return handle.read_status_frame(s, timeout).kind;
    }
};

// One framing fault in an exchange, then an exchange that must get its own reply.
struct Fault {
    const char* name;
    Bytes stale, reply, late;
    OutcomeKind kind;
    int32_t detail;
};
struct ArmFaults : Port, testing::WithParamInterface<std::tuple<Fault, bool>> {};

TEST_P(ArmFaults, NextExchangeGetsItsOwnReply) {
    const auto& [f, outcomes] = GetParam();
    peer.send(f.stale);
    if (!f.reply.empty()) peer.send_on_request(f.reply);
    // A foreign reply ends the wait at once, long before its time-out; the rest end within theirs.
    const bool foreign = f.kind == OutcomeKind::wrong_code;
    const double timeout = foreign ? 2.0 : 0.1;
    testing::internal::CaptureStderr();
    const auto start = Clock::now();
    if (outcomes) {
        const Outcome o = arm.exchange(42, {1, 2, 3}, first, second, timeout);
        EXPECT_EQ(o.kind, f.kind);
        EXPECT_EQ(o.detail, f.detail);
        EXPECT_LT(since(start), bound(foreign ? 1.0 : 0.6));
    } else {
        EXPECT_EQ(arm.end_effector_force({1, 2, 3})[0][0], f.kind == OutcomeKind::done ? 4.0f : 0.0f);
    }
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log.empty(), outcomes || f.kind == OutcomeKind::done) << log;
    peer.send(f.late);
    peer.send_on_request(floats(43, {10, 11, 12, 13, 14, 15}));
    if (outcomes) {
        // The line must first stay quiet as long as the failed exchange's time-out.
        EXPECT_TRUE(arm.exchange(42, {1, 2, 3}, first, second, timeout).ok());
    } else {
        first = arm.end_effector_force({1, 2, 3})[0];
    }
    EXPECT_EQ(first, (Vector3{10, 11, 12}));
    EXPECT_EQ(stream.available(), 0);
}

const Bytes GOOD = floats(43, {4, 5, 6, 7, 8, 9});
INSTANTIATE_TEST_SUITE_P(
    Core, ArmFaults,
    testing::Combine(
        testing::Values(
            Fault{"stray_bytes_before", {43, 1, 2}, GOOD, {}, OutcomeKind::done, 0},
            Fault{"extra_bytes_after", {}, GOOD + Bytes{43, 9}, {}, OutcomeKind::done, 0},
            Fault{"wrong_code", {}, floats(27, {1, 2, 3, 4, 5, 6}), {}, OutcomeKind::wrong_code, 27},
            Fault{"truncated", {}, Bytes(GOOD.begin(), GOOD.begin() + 11), {}, OutcomeKind::short_payload, 10},
            Fault{"late", {}, {}, GOOD, OutcomeKind::timed_out, 0}),
        testing::Bool()),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "_outcome" : "_logged");
    });

// The device goes away while a call waits for it: the call ends at once
// without keeping a processor busy, whichever surface it came through.
struct HangUp {
    const char* name;
    std::function<bool(Port&)> ends_neutral;
};
struct HungUp : Port, testing::WithParamInterface<HangUp> {};

TEST_P(HungUp, EndsTheWaitAtOnce) {
    std::thread device([this] { usleep(100'000), peer.hang_up(); });
    testing::internal::CaptureStderr();
    const auto start = Clock::now();
    const double cpu = cpu_seconds();
    EXPECT_TRUE(GetParam().ends_neutral(*this));
    const double wall = since(start) - 0.1, used = cpu_seconds() - cpu;
    device.join();
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_LT(wall, bound(0.5));  // against time-outs of 1 s and more
    EXPECT_LT(used, 0.1 * (wall + 0.1));
    EXPECT_TRUE(log.empty() || std::regex_match(log, std::regex(R"(\[err\] .*timeout waiting for header code: .*\n)")))
        << log;
}

INSTANTIATE_TEST_SUITE_P(
    Core, HungUp,
    testing::Values(
        HangUp{"exchange",
               [](Port& p) { return p.arm.exchange(42, {}, p.first, p.second, 5).kind == OutcomeKind::hung_up; }},
        HangUp{"receive", [](Port& p) { return p.receive(5) == OutcomeKind::hung_up; }},
        HangUp{"status_frame", [](Port& p) { return p.read_frame(5) == OutcomeKind::hung_up; }},
        HangUp{"end_effector_force", [](Port& p) { return p.arm.end_effector_force({})[0] == Vector3{}; }},
        HangUp{"Receive", [](Port& p) { return p.handle.Receive() == -1; }},
        HangUp{"GetManiloStatus", [](Port& p) { return p.handle.GetManiloStatus().error_flag == MANILO_NO_DATA; }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Port, PreciseTimeOutsLogNothing) {
    testing::internal::CaptureStderr();
    const auto start = Clock::now();
    EXPECT_EQ(arm.exchange(26, {}, first, second, 0.05).kind, OutcomeKind::timed_out);
    EXPECT_EQ(receive(0.05), OutcomeKind::timed_out);
    EXPECT_GE(since(start), 0.1);
    EXPECT_LT(since(start), 0.1 + bound(0.04));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

struct HandleReply {
    const char* name;
    Bytes wire;
    OutcomeKind kind;
    int32_t detail;
    HandleMessage::Kind message;
};
struct HandleReplies : Port, testing::WithParamInterface<HandleReply> {};

TEST_P(HandleReplies, ComeAsOneDecodedMessage) {
    const HandleReply& r = GetParam();
    peer.send(r.wire);
    HandleMessage m;
    const Outcome o = handle.receive(m, 0.1);
    EXPECT_EQ(o.kind, r.kind);
    EXPECT_EQ(o.detail, r.detail);
    EXPECT_EQ(m.kind, r.message);
    EXPECT_EQ(m.info.device_id | m.status.device_id | m.error.device_id,
              r.message == HandleMessage::Kind::none ? 0 : 0x0201);
    EXPECT_EQ(Bytes(m.status.user_data, m.status.user_data + 3),
              (r.message == HandleMessage::Kind::status ? Bytes{7, 8, 0} : Bytes{0, 0, 0}));
    EXPECT_FALSE(handle.found) << "no event operation runs";
    EXPECT_EQ(stream.available(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Core, HandleReplies,
    testing::Values(HandleReply{"info", {208, 1, 2, 3, 4, 5, 6}, OutcomeKind::done, 0, HandleMessage::Kind::info},
                    HandleReply{"status", Bytes{218, 1, 2} + Bytes(18, 0) + Bytes{2, 7, 8}, OutcomeKind::done, 0,
                                HandleMessage::Kind::status},
                    HandleReply{"error", {223, 1, 2, 9}, OutcomeKind::done, 0, HandleMessage::Kind::error},
                    HandleReply{"foreign", {11, 1, 2, 3}, OutcomeKind::wrong_code, 11, HandleMessage::Kind::none},
                    HandleReply{"cut_short", Bytes{218, 1, 2} + Bytes(18, 0) + Bytes{4, 7}, OutcomeKind::short_payload,
                                22, HandleMessage::Kind::none}),
    [](const auto& info) { return std::string(info.param.name); });

// Opening: why it failed comes back as an errno, and nothing that is not a
// terminal is ever written to.
struct OpenCase {
    const char* name;
    std::function<std::string(PtyPeer&, std::unique_ptr<SerialStream>&)> path;
    int err;
};
struct Opening : testing::TestWithParam<OpenCase> {};

TEST_P(Opening, FailsWithTheErrnoOfItsCause) {
    PtyPeer peer;
    std::unique_ptr<SerialStream> holder;
    const std::string path = GetParam().path(peer, holder);
    SerialStream stream(path.c_str(), false);
    EXPECT_EQ(stream.open_port(true).kind, GetParam().err == 0 ? OutcomeKind::done : OutcomeKind::not_open);
    EXPECT_EQ(stream.open_port(true).detail, GetParam().err);
    EXPECT_EQ(stream.last_open_errno(), GetParam().err);
    EXPECT_EQ(fcntl(stream.descriptor(), F_GETFD) == FD_CLOEXEC, GetParam().err == 0);
}

std::string regular_file() { return std::ofstream("/tmp/kivra-not-a-port"), "/tmp/kivra-not-a-port"; }
std::string held(PtyPeer& peer, std::unique_ptr<SerialStream>& holder, bool close) {
    holder = std::make_unique<SerialStream>(peer.path().c_str(), false);
    EXPECT_TRUE(holder->open_port(true).ok() && (close ? (holder->close(), true) : true));
    return peer.path();
}
INSTANTIATE_TEST_SUITE_P(
    Core, Opening,
    testing::Values(OpenCase{"missing", [](auto&, auto&) { return std::string("/nonexistent/ttyACM0"); }, ENOENT},
                    OpenCase{"directory", [](auto&, auto&) { return std::string("/tmp"); }, EISDIR},
                    OpenCase{"regular_file", [](auto&, auto&) { return regular_file(); }, ENOTTY},
                    OpenCase{"held_exclusively", [](auto& p, auto& h) { return held(p, h, false); }, EBUSY},
                    OpenCase{"released_by_close", [](auto& p, auto& h) { return held(p, h, true); }, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(NotATerminal, IsNeitherWrittenToNorWaitedFor) {
    namespace fs = std::filesystem;
    const fs::path folder = fs::temp_directory_path() / "kivra-file-ports";
    fs::remove_all(folder), fs::create_directories(folder), fs::create_symlink(regular_file(), folder / "ttyACM0");
    const auto start = Clock::now();
    testing::internal::CaptureStderr();
    SerialStream stream(regular_file().c_str());
    EXPECT_EQ(Pendra3(&stream).end_effector_force({1, 1, 1})[0], Vector3{});
    EXPECT_TRUE(Discovery::detect_pendra3s(folder).empty());
    testing::internal::GetCapturedStderr();
    EXPECT_LT(since(start), bound(0.5));
    EXPECT_EQ(fs::file_size("/tmp/kivra-not-a-port"), 0u);
}

struct ErrnoCase {
    const char* name;
    std::function<void(PtyPeer&, SerialStream&)> break_port;
    int err;
};
struct FailureLines : testing::TestWithParam<ErrnoCase> {};

TEST_P(FailureLines, ReportTheErrnoOfTheFailedCall) {
    PtyPeer peer;
    errno = 0;
    SerialStream stream(GetParam().err == ENOENT ? "/nonexistent/ttyUSB0" : peer.path().c_str());
    EXPECT_EQ(errno, GetParam().err == ENOENT ? ENOENT : 0) << "the ignored modem-line calls leave errno alone";
    GetParam().break_port(peer, stream);
    errno = ENOTTY;
    const uint8_t byte = 10;
    testing::internal::CaptureStderr();
    stream.write_bytes(&byte, 1);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("'1' bytes to stream: [" + std::to_string(GetParam().err) + "] "), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(Core, FailureLines,
                         testing::Values(ErrnoCase{"missing", [](auto&, auto&) {}, ENOENT},
                                         ErrnoCase{"closed", [](auto&, auto& s) { s.close(); }, EBADF},
                                         ErrnoCase{"hung_up", [](auto& p, auto&) { p.hang_up(); }, EIO}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Port, FullPortIsWaitedForAndItsFailureDoesNotLinger) {
    const int filler = ::open(peer.path().c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY);
    const Bytes junk(4096, 0);
    for (int round = 0; round < 3; ++round, usleep(10'000))
        while (::write(filler, junk.data(), 4096) > 0) continue;
    ::close(filler);
    Outcome o = arm.exchange(42, {1, 2, 3}, first, second, 0.05);
    EXPECT_EQ(o.kind, OutcomeKind::write_failed);
    EXPECT_EQ(o.detail, EAGAIN);
    const Bytes request = floats(42, {1, 2, 3});
    std::thread device([this, &request] {
        usleep(200'000);
        Bytes got;
        for (auto end = Clock::now() + std::chrono::seconds(3); Clock::now() < end;) {
            got = got + peer.receive(1 << 16, 20);
            if (got.size() >= 13 && std::equal(request.begin(), request.end(), got.end() - 13)) break;
        }
        peer.send(GOOD);
    });
    testing::internal::CaptureStderr();
    EXPECT_EQ(arm.end_effector_force({1, 2, 3})[0], (Vector3{4, 5, 6}));
    device.join();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    peer.send_on_request(GOOD);
    EXPECT_EQ(arm.end_effector_force({1, 2, 3})[0], (Vector3{4, 5, 6}));
}

TEST_F(Port, StatusFrameSearchKeepsItsBoundAndDropsOverlongRuns) {
    using namespace status_frames;
    Bytes content{1, 2, 3, 0x21, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 40};
    content.push_back(check_byte_for(content));
    // A run longer than any frame, then a frame: the run is dropped whole.
    peer.send(Bytes{218} + Bytes(80, 0x55) + Bytes{218} + escaped(content));
    EXPECT_EQ(handle.GetManiloStatus().device_id, 9);
    std::atomic<bool> streaming{true};
    std::thread device([&] {
        while (streaming) peer.send(Bytes{218} + Bytes(50, 0x55));
    });
    auto status = std::async(std::launch::async, [this] { return handle.GetManiloStatus(); });
    const bool in_time = status.wait_for(std::chrono::duration<double>(bound(2.2))) == std::future_status::ready;
    streaming = false;
    device.join();
    EXPECT_TRUE(in_time);
    EXPECT_EQ(status.get().error_flag, MANILO_NO_FRAME);
}

// Two threads on one arm never interleave requests and replies.
TEST_F(Port, ExchangesOfTwoThreadsStayApart) {
    peer.answer_each(13, [](Bytes reply) {
        reply[0] = Pendra3::reply_code_of(reply[0]);
        reply.resize(25);
        return reply;
    });
    auto client = [this](uint8_t code) {
        Vector3 a{}, b{};
        for (int i = 0; i < 300; ++i) {
            const Vector3 command{static_cast<float>(i), static_cast<float>(code), 0};
            const Outcome o = arm.exchange(code, command, a, b, 5.0);
            if (!o.ok() || a != command) return "exchange " + std::to_string(i) + ": " + std::to_string(int(o.kind));
        }
        return std::string("all");
    };
    auto other = std::async(std::launch::async, client, uint8_t{26});
    EXPECT_EQ(client(42), "all");
    EXPECT_EQ(other.get(), "all");
}

}  // namespace

// A reply that comes after its exchange gave up is thrown away, and the next
// exchange gets the reply to its own request.
TEST_F(Port, LateReplyIsNeverTakenForTheNext) {
    const Bytes request = floats(42, {0, 0, 0});
    peer.script({{request, floats(43, {1, 1, 1, 1, 1, 1}), std::chrono::milliseconds(80)},  // 30 ms after the time-out
                 {request, floats(43, {2, 2, 2, 2, 2, 2})}});
    const Outcome gave_up = arm.exchange(42, {0, 0, 0}, first, second, 0.05);
    // A thread the machine held back past the reply's arrival takes it as
    // late as it came: its own, so still not the next exchange's.
    const bool held_back = gave_up.ok();
    if (held_back)
        EXPECT_EQ(first, (Vector3{1, 1, 1}));
    else
        EXPECT_EQ(gave_up.kind, OutcomeKind::timed_out);
    EXPECT_TRUE(arm.exchange(42, {0, 0, 0}, first, second, 1.0).ok());
    EXPECT_TRUE(peer.script_played());
    EXPECT_EQ(first, (Vector3{2, 2, 2}));
    EXPECT_EQ(arm.late_replies_discarded.load(), held_back ? 0u : 1u);
    EXPECT_EQ(arm.late_bytes_discarded.load(), held_back ? 0u : 25u);
}

// A readable interrupt descriptor ends the calling thread's wait at once,
// whatever its time-out, and only that thread's.
TEST_F(Port, InterruptDescriptorEndsTheWait) {
    int wake[2];
    ASSERT_EQ(pipe(wake), 0);
    set_thread_interrupt_fd(wake[0]);
    std::thread signaller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(write(wake[1], "x", 1), 1);
    });
    const auto start = Clock::now();
    EXPECT_EQ(arm.exchange(42, {0, 0, 0}, first, second, 30.0).kind, OutcomeKind::interrupted);
    EXPECT_LT(since(start), bound(10.0));
    signaller.join();
    set_thread_interrupt_fd(-1);
    std::thread other([&] { EXPECT_EQ(thread_interrupt_fd(), -1); });
    other.join();
    close(wake[0]);
    close(wake[1]);
}

// The advisory locks bind root as well; the specified module's open takes none.
struct LockCase {
    const char* name;
    PortLock held, wanted;
    int err;
};
struct Locks : testing::TestWithParam<LockCase> {};

TEST_P(Locks, ExcludeWhatTheyShould) {
    PtyPeer peer;
    SerialStream holder(peer.path().c_str(), false), opener(peer.path().c_str(), false);
    ASSERT_TRUE(holder.open_port(GetParam().held).ok());
    const Outcome opened = opener.open_port(GetParam().wanted);
    EXPECT_EQ(opened.detail, GetParam().err);
    EXPECT_EQ(opened.ok(), GetParam().err == 0);
}

INSTANTIATE_TEST_SUITE_P(
    Core, Locks,
    testing::Values(LockCase{"exclusive_refuses_shared", PortLock::exclusive, PortLock::shared, EBUSY},
                    LockCase{"shared_refuses_exclusive", PortLock::shared, PortLock::exclusive, EBUSY},
                    LockCase{"shared_with_shared", PortLock::shared, PortLock::shared, 0},
                    LockCase{"unlocked_beside_shared", PortLock::shared, PortLock::none, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// The same on the logged surface, whose time-out counts whole seconds.
TEST_F(Port, LateReplyIsNeverTakenForTheNextLogged) {
    // The whole-second limit gives up 1 to 2 s after the request: the late
    // reply is timed from the give-up, 100 ms after it, inside the quiet window.
    std::atomic<bool> gave_up{false};
    std::thread device([&] {
        peer.receive(13);
        while (!gave_up) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        peer.send(floats(43, {1, 1, 1, 1, 1, 1}));
        peer.receive(13, 5000);
        peer.send(floats(43, {2, 2, 2, 2, 2, 2}));
    });
    testing::internal::CaptureStderr();
    EXPECT_EQ(arm.end_effector_force({0, 0, 0})[0], (Vector3{0, 0, 0}));
    gave_up = true;
    EXPECT_EQ(arm.end_effector_force({0, 0, 0})[0], (Vector3{2, 2, 2}));
    const std::string log = testing::internal::GetCapturedStderr();
    device.join();
    EXPECT_NE(log.find("timeout waiting for header code"), std::string::npos) << log;
    EXPECT_EQ(arm.late_replies_discarded.load(), 1u);
}
