#include <gtest/gtest.h>

#include <locale.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <regex>
#include <thread>

#include "KivraHardwareAPI/SerialStream.h"
#include "KivraHardwareAPI/serialib.h"
#include "PtyPeer.h"
#include "TestSupport.h"

using Kivra::HardwareAPI::IO::error_text;
using Kivra::HardwareAPI::IO::SerialStream;

namespace {

// Exposes the protected stream-buffer operations for direct tests.
class OpenBuffer : public serialib {
public:
    using serialib::overflow;
    using serialib::pbackfail;
    using serialib::showmanyc;
    using serialib::uflow;
    using serialib::underflow;
    using serialib::xsgetn;
    using serialib::xsputn;
};

const std::regex WRITE_FAILURE_LINE(
    R"(\[err\] Library/src/SerialStream\.cpp:\d+> unable to write '(\d+)' bytes to stream: \[(\d+)\] (.*)\n)");

}  // namespace

TEST(Serialib, OpenConfiguresRawNonBlockingPort) {
    PtyPeer peer;
    serialib port;
    ASSERT_EQ(port.open_device(peer.path().c_str()), 1);
    ASSERT_GE(port.descriptor(), 0);
    EXPECT_NE(fcntl(port.descriptor(), F_GETFL) & O_NONBLOCK, 0);
    termios settings{};
    ASSERT_EQ(tcgetattr(port.descriptor(), &settings), 0);
    EXPECT_EQ(cfgetispeed(&settings), B115200);
    EXPECT_EQ(cfgetospeed(&settings), B115200);
    EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(settings.c_oflag & OPOST, 0u);
    EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(settings.c_cc[VMIN], 0);
    EXPECT_EQ(settings.c_cc[VTIME], 0);
}

TEST(Serialib, OpenOfMissingPathFailsAndStaysClosed) {
    serialib port;
    EXPECT_EQ(port.open_device("/nonexistent/ttyACM99"), -2);
    EXPECT_EQ(port.descriptor(), -1);
    EXPECT_EQ(port.bytes_available(), 0);
}

TEST(Serialib, HeldBackByteComesFirst) {
    PtyPeer peer;
    OpenBuffer port;
    ASSERT_EQ(port.open_device(peer.path().c_str()), 1);
    char out[8] = {};

    EXPECT_EQ(port.pbackfail('A'), 'A');
    EXPECT_EQ(port.pbackfail('B'), std::char_traits<char>::eof()) << "only one byte can be held back";
    EXPECT_EQ(port.xsgetn(out, 1), 1);
    EXPECT_EQ(out[0], 'A');

    EXPECT_EQ(port.pbackfail('Z'), 'Z');
    peer.send({'1', '2', '3', '4'});
    EXPECT_EQ(port.xsgetn(out, 5), 5);
    EXPECT_EQ(std::string(out, 5), "Z1234");
}

TEST(Serialib, LargeReadsAndWritesAreWhole) {
    PtyPeer peer;
    OpenBuffer port;
    ASSERT_EQ(port.open_device(peer.path().c_str()), 1);
    std::vector<uint8_t> bytes(300);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
    peer.send(bytes);
    std::vector<char> in(300);
    EXPECT_EQ(port.xsgetn(in.data(), 300), 300);
    EXPECT_EQ(std::memcmp(in.data(), bytes.data(), 300), 0);

    EXPECT_EQ(port.xsputn(reinterpret_cast<const char*>(bytes.data()), 300), 300);
    EXPECT_EQ(peer.receive(300), bytes);
}

TEST(Serialib, UnderflowPeeksAndUflowConsumes) {
    PtyPeer peer;
    OpenBuffer port;
    ASSERT_EQ(port.open_device(peer.path().c_str()), 1);
    peer.send({0xC8, 0x07});
    EXPECT_EQ(port.underflow(), 0xC8) << "bytes are never sign-extended";
    EXPECT_EQ(port.uflow(), 0xC8);
    EXPECT_EQ(port.uflow(), 0x07);
}

TEST(Serialib, ShowmanycHoldsTheWaitingByte) {
    PtyPeer peer;
    OpenBuffer port;
    ASSERT_EQ(port.open_device(peer.path().c_str()), 1);
    auto start = Clock::now();
    EXPECT_EQ(port.showmanyc(), 0);
    EXPECT_GE(since(start), 0.9);

    peer.send({0x42});
    EXPECT_EQ(port.showmanyc(), 1);
    EXPECT_EQ(port.bytes_available(), 0) << "the byte is already held by the buffer";
    EXPECT_EQ(port.uflow(), 0x42);
}

TEST(Serialib, TimedReadReturnsPartialCountAfterOneSecond) {
    PtyPeer peer;
    serialib port;
    ASSERT_EQ(port.open_device(peer.path().c_str()), 1);
    peer.send({1, 2, 3});
    uint8_t in[10] = {};
    auto start = Clock::now();
    EXPECT_EQ(port.timed_read(in, 10), 3);
    const double elapsed = since(start);
    EXPECT_GE(elapsed, 0.95);
    EXPECT_LT(elapsed, 1.0 + bound(0.5));
    EXPECT_EQ(in[2], 3);
}

TEST(Serialib, ClosedBufferAnswersAtOnceEvenWithHeldBackByte) {
    PtyPeer peer;
    OpenBuffer port;
    ASSERT_EQ(port.open_device(peer.path().c_str()), 1);
    port.close_device();
    port.close_device();
    EXPECT_EQ(port.descriptor(), -1);
    EXPECT_EQ(port.pbackfail('x'), 'x') << "holding back does not look at the descriptor";
    char out[4];
    auto start = Clock::now();
    EXPECT_EQ(port.underflow(), std::char_traits<char>::eof());
    EXPECT_EQ(port.uflow(), std::char_traits<char>::eof());
    EXPECT_EQ(port.xsgetn(out, 4), 0);
    EXPECT_EQ(port.showmanyc(), 0);
    EXPECT_EQ(port.xsputn("abc", 3), 0);
    EXPECT_EQ(port.overflow('a'), std::char_traits<char>::eof());
    EXPECT_LT(since(start), bound(0.1));
    EXPECT_TRUE(peer.drain().empty());
}

TEST(ErrorText, EnglishWithoutTouchingTheLocale) {
    const std::string before = setlocale(LC_ALL, nullptr);
    EXPECT_EQ(error_text(ENOENT), L"No such file or directory");
    EXPECT_EQ(error_text(EIO), L"Input/output error");
    EXPECT_EQ(error_text(0), L"Success");
    EXPECT_EQ(error_text(99999), L"Unknown error 99999");
    EXPECT_EQ(std::string(setlocale(LC_ALL, nullptr)), before);
}

TEST(SerialStream, AvailableCountsWithoutConsuming) {
    PtyPeer peer;
    SerialStream stream(peer.path().c_str());
    EXPECT_TRUE(stream.good());
    peer.send({1, 2, 3, 4, 5});
    EXPECT_EQ(stream.available(), 5);
    EXPECT_EQ(stream.available(), 5);
}

TEST(SerialStream, WriteBytesIsOneWholeWrite) {
    PtyPeer peer;
    SerialStream stream(peer.path().c_str());
    const uint8_t message[] = {42, 0, 0, 0xC0, 0x3F};
    testing::internal::CaptureStderr();
    stream.write_bytes(message, sizeof(message));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(peer.receive(5), std::vector<uint8_t>(message, message + 5));
    EXPECT_TRUE(stream.good());
}

TEST(SerialStream, MissingPortLogsEveryWriteAndStaysBad) {
    errno = 0;
    SerialStream stream("/nonexistent/ttyUSB7");
    EXPECT_EQ(stream.available(), 0);
    const uint8_t byte = 10;
    for (int attempt = 0; attempt < 2; ++attempt) {
        testing::internal::CaptureStderr();
        stream.write_bytes(&byte, 1);
        const std::string log = testing::internal::GetCapturedStderr();
        std::smatch match;
        ASSERT_TRUE(std::regex_match(log, match, WRITE_FAILURE_LINE)) << log;
        EXPECT_EQ(match[1], "1");
        EXPECT_TRUE(stream.bad());
    }
}

TEST(SerialStream, WriteAfterShortReadIsSilentAndSendsNothing) {
    PtyPeer peer;
    SerialStream stream(peer.path().c_str());
    peer.send({7});
    char in[2];
    stream.read(in, 2);
    EXPECT_TRUE(stream.eof());
    EXPECT_EQ(stream.gcount(), 1);
    const uint8_t byte = 10;
    testing::internal::CaptureStderr();
    stream.write_bytes(&byte, 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(peer.drain().empty());
}

TEST(SerialStream, CloseTwiceThenDestroy) {
    PtyPeer peer;
    auto stream = std::make_unique<SerialStream>(peer.path().c_str());
    const int fd = stream->descriptor();
    ASSERT_GE(fd, 0);
    stream->close();
    EXPECT_EQ(stream->descriptor(), -1);
    stream->close();
    EXPECT_EQ(stream->available(), 0);
    // A descriptor opened now may reuse the number; destruction must not close it.
    const int reused = ::open("/dev/null", O_RDONLY);
    stream.reset();
    EXPECT_NE(fcntl(reused, F_GETFD), -1);
    ::close(reused);
}

TEST(SerialStream, UnopenedStreamIsBadUntilOpened) {
    PtyPeer peer;
    SerialStream stream(peer.path().c_str(), false);
    EXPECT_TRUE(stream.bad());
    EXPECT_EQ(stream.open(), 1);
    EXPECT_TRUE(stream.good());
    SerialStream null_path(nullptr, false);
    EXPECT_EQ(null_path.open(), -2);
}
