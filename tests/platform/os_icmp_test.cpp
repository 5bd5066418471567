// ICMP echo (IcmpCreateFile, IcmpSendEcho, IcmpCloseHandle) as the network echo of the system
// step uses it.
#include <winapi.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <arpa/inet.h>

namespace {

IPAddr Address(const char* dotted) {
    return ::inet_addr(dotted);
}

// Opens an echo handle or skips the test where the system permits no ICMP socket; a refusal
// must then be a clean one.
class EchoHandle {
  public:
    EchoHandle() : handle_(IcmpCreateFile()) {
        if (handle_ == INVALID_HANDLE_VALUE) {
            error_ = GetLastError();
        }
    }
    ~EchoHandle() {
        if (handle_ != INVALID_HANDLE_VALUE) {
            IcmpCloseHandle(handle_);
        }
    }
    EchoHandle(const EchoHandle&) = delete;
    EchoHandle& operator=(const EchoHandle&) = delete;
    bool ok() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }
    DWORD error() const { return error_; }

  private:
    HANDLE handle_;
    DWORD error_ = 0;
};

#define REQUIRE_ECHO(echo)                                                                         \
    do {                                                                                           \
        if (!(echo).ok()) {                                                                        \
            EXPECT_NE((echo).error(), 0u) << "a refused ICMP socket must say why";                 \
            GTEST_SKIP() << "ICMP sockets are not permitted here (error " << (echo).error()        \
                         << ")";                                                                   \
        }                                                                                          \
    } while (0)

TEST(OsIcmp, LoopbackEchoReturnsTheRequestData) {
    EchoHandle echo;
    REQUIRE_ECHO(echo);
    const std::vector<std::string> payloads = {"abcd", std::string("\0\xFF\x01", 3),
                                               std::string(200, 'x'), ""};
    for (const std::string& payload : payloads) {
        SCOPED_TRACE(payload.size());
        std::vector<unsigned char> reply(512, 0xAA);
        std::string request = payload;
        const DWORD count = IcmpSendEcho(echo.get(), Address("127.0.0.1"), request.data(),
                                         static_cast<WORD>(request.size()), nullptr, reply.data(),
                                         static_cast<DWORD>(reply.size()), 1000);
        ASSERT_EQ(count, 1u) << GetLastError();
        ICMP_ECHO_REPLY header;
        std::memcpy(&header, reply.data(), sizeof header);
        EXPECT_EQ(header.Status, IP_SUCCESS);
        EXPECT_EQ(header.Address, Address("127.0.0.1"));
        ASSERT_EQ(header.DataSize, payload.size());
        ASSERT_NE(header.Data, nullptr);
        EXPECT_EQ(std::string(static_cast<const char*>(header.Data), header.DataSize), payload);
        // The data lie inside the caller's buffer, behind the reply.
        EXPECT_EQ(static_cast<unsigned char*>(header.Data), reply.data() + sizeof(ICMP_ECHO_REPLY));
    }
}

// An echo whose reply does not come in time reports IP_REQ_TIMED_OUT; when that reply arrives
// late, the next echo on the same handle must not take it for its own.
TEST(OsIcmp, LateRepliesTimeOutAndAreNotMistakenForTheNextOne) {
    EchoHandle echo;
    REQUIRE_ECHO(echo);
    std::vector<unsigned char> reply(512);
    char first[] = "first";
    // A time-out of 0 ms ends the wait before any reply can be taken, even on loopback.
    SetLastError(0);
    EXPECT_EQ(IcmpSendEcho(echo.get(), Address("127.0.0.1"), first, 5, nullptr, reply.data(),
                           static_cast<DWORD>(reply.size()), 0),
              0u);
    EXPECT_EQ(GetLastError(), IP_REQ_TIMED_OUT);
    ICMP_ECHO_REPLY header;
    std::memcpy(&header, reply.data(), sizeof header);
    EXPECT_EQ(header.Status, IP_REQ_TIMED_OUT);

    char second[] = "second echo";
    ASSERT_EQ(IcmpSendEcho(echo.get(), Address("127.0.0.1"), second, 11, nullptr, reply.data(),
                           static_cast<DWORD>(reply.size()), 1000),
              1u);
    std::memcpy(&header, reply.data(), sizeof header);
    EXPECT_EQ(header.Status, IP_SUCCESS);
    EXPECT_EQ(std::string(static_cast<const char*>(header.Data), header.DataSize), "second echo");
}

TEST(OsIcmp, BadHandlesAndShortBuffersAreRefused) {
    EchoHandle echo;
    REQUIRE_ECHO(echo);
    char request[] = "abcd";
    struct Case {
        const char* what;
        DWORD replySize;
        DWORD error;
        ULONG status; // stored in the reply when it has room for one
    };
    const Case cases[] = {
        {"room for the reply but not its data", sizeof(ICMP_ECHO_REPLY) + 4,
         ERROR_INSUFFICIENT_BUFFER, IP_BUF_TOO_SMALL},
        {"no room for the reply", 4, ERROR_INSUFFICIENT_BUFFER, 0xA5A5A5A5u},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<unsigned char> reply(512, 0xA5);
        SetLastError(0);
        EXPECT_EQ(IcmpSendEcho(echo.get(), Address("127.0.0.1"), request, 4, nullptr, reply.data(),
                               c.replySize, 1000),
                  0u);
        EXPECT_EQ(GetLastError(), c.error);
        ICMP_ECHO_REPLY header;
        std::memcpy(&header, reply.data(), sizeof header);
        EXPECT_EQ(header.Status, c.status);
    }

    HANDLE closed = IcmpCreateFile();
    ASSERT_NE(closed, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(IcmpCloseHandle(closed));
    for (const HANDLE handle : {closed, static_cast<HANDLE>(nullptr)}) {
        std::vector<unsigned char> reply(512);
        SetLastError(0);
        EXPECT_EQ(IcmpSendEcho(handle, Address("127.0.0.1"), request, 4, nullptr, reply.data(),
                               static_cast<DWORD>(reply.size()), 1000),
                  0u);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        SetLastError(0);
        EXPECT_FALSE(IcmpCloseHandle(handle));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
}

} // namespace
