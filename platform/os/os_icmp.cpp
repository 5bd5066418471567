// ICMP echo (ping) over an ICMP datagram socket where the system permits one, else a raw socket.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "os_internal.h"

namespace kora::os {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kEchoReply = 0;
constexpr uint8_t kEchoRequest = 8;
constexpr size_t kIcmpHeaderSize = 8;

class IcmpObject final : public HandleObject {
  public:
    IcmpObject(int fd, bool raw, uint16_t identifier) : fd(fd), raw(raw), identifier(identifier) {}
    ~IcmpObject() override { ::close(fd); }
    IcmpObject(const IcmpObject&) = delete;
    IcmpObject& operator=(const IcmpObject&) = delete;

    const int fd;
    const bool raw; // raw sockets see IP headers and every ICMP message of the host
    // Echo identifier of this handle; a datagram socket's is chosen by the kernel instead.
    const uint16_t identifier;
    std::mutex sendMutex; // one echo at a time per handle, so replies cannot be mixed up
    uint16_t sequence = 0;
};

std::atomic<uint16_t> g_nextIdentifier{static_cast<uint16_t>(::getpid())};

uint16_t Checksum(const uint8_t* data, size_t size) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < size; i += 2) {
        sum += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
    }
    if (size % 2 != 0) {
        sum += static_cast<uint32_t>(data[size - 1] << 8);
    }
    while (sum >> 16 != 0) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<uint16_t>(~sum);
}

uint16_t Read16(const uint8_t* at) {
    return static_cast<uint16_t>(at[0] << 8 | at[1]);
}

void Write16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value);
}

// Stores a status-only reply where the buffer has room for one.
void StoreStatus(LPVOID replyBuffer, DWORD replySize, IPAddr destination, ULONG status) {
    if (replyBuffer != nullptr && replySize >= sizeof(ICMP_ECHO_REPLY)) {
        ICMP_ECHO_REPLY reply{};
        reply.Address = destination;
        reply.Status = status;
        std::memcpy(replyBuffer, &reply, sizeof reply);
    }
}

} // namespace
} // namespace kora::os

using kora::os::IcmpObject;

extern "C" {

HANDLE IcmpCreateFile(void) {
    bool raw = false;
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0) {
        fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        raw = true;
    }
    if (fd < 0) {
        kora::os::SetLastErrorFromErrno(errno); // EPERM/EACCES: not permitted to this process
        return INVALID_HANDLE_VALUE;
    }
    return kora::os::RegisterHandle(
        std::make_shared<IcmpObject>(fd, raw, kora::os::g_nextIdentifier.fetch_add(1)));
}

BOOL IcmpCloseHandle(HANDLE icmpHandle) {
    if (!kora::os::LookupHandleAs<IcmpObject>(icmpHandle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    kora::os::UnregisterHandle(icmpHandle);
    return TRUE;
}

DWORD IcmpSendEcho(HANDLE icmpHandle, IPAddr destination, LPVOID requestData, WORD requestSize,
                   PIP_OPTION_INFORMATION requestOptions, LPVOID replyBuffer, DWORD replySize,
                   DWORD timeout) {
    using kora::os::Clock;
    std::shared_ptr<IcmpObject> icmp = kora::os::LookupHandleAs<IcmpObject>(icmpHandle);
    if (!icmp) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (requestData == nullptr && requestSize != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (replyBuffer == nullptr ||
        replySize < sizeof(ICMP_ECHO_REPLY) + requestSize + kora::os::kIcmpHeaderSize) {
        kora::os::StoreStatus(replyBuffer, replySize, destination, IP_BUF_TOO_SMALL);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::lock_guard lock(icmp->sendMutex);

    const uint16_t identifier = icmp->identifier;
    const uint16_t sequence = ++icmp->sequence;
    std::vector<uint8_t> packet(kora::os::kIcmpHeaderSize + requestSize, 0);
    packet[0] = kora::os::kEchoRequest;
    kora::os::Write16(&packet[4], identifier);
    kora::os::Write16(&packet[6], sequence);
    if (requestSize != 0) {
        std::memcpy(&packet[kora::os::kIcmpHeaderSize], requestData, requestSize);
    }
    kora::os::Write16(&packet[2], kora::os::Checksum(packet.data(), packet.size()));

    if (requestOptions != nullptr && requestOptions->Ttl != 0) {
        const int ttl = requestOptions->Ttl;
        ::setsockopt(icmp->fd, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl);
    }
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = destination; // both in network byte order
    const Clock::time_point sent = Clock::now();
    if (::sendto(icmp->fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&target),
                 sizeof target) < 0) {
        const int error = errno;
        const ULONG status = error == ENETUNREACH    ? IP_DEST_NET_UNREACHABLE
                             : error == EHOSTUNREACH ? IP_DEST_HOST_UNREACHABLE
                                                     : IP_GENERAL_FAILURE;
        kora::os::StoreStatus(replyBuffer, replySize, destination, status);
        SetLastError(status);
        return 0;
    }

    const Clock::time_point deadline = sent + std::chrono::milliseconds(timeout);
    std::vector<uint8_t> incoming(65536);
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd entry{icmp->fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            break;
        }
        sockaddr_in from{};
        socklen_t fromSize = sizeof from;
        const ssize_t got = ::recvfrom(icmp->fd, incoming.data(), incoming.size(), 0,
                                       reinterpret_cast<sockaddr*>(&from), &fromSize);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            break;
        }
        const uint8_t* message = incoming.data();
        size_t size = static_cast<size_t>(got);
        UCHAR ttl = 0;
        if (icmp->raw) {
            // Raw sockets deliver the IP header first.
            if (size < 20) {
                continue;
            }
            const size_t headerSize = static_cast<size_t>(message[0] & 0x0F) * 4;
            if (headerSize < 20 || size < headerSize) {
                continue;
            }
            ttl = message[8];
            message += headerSize;
            size -= headerSize;
        }
        if (size < kora::os::kIcmpHeaderSize || message[0] != kora::os::kEchoReply ||
            kora::os::Read16(&message[6]) != sequence) {
            continue; // another message: our own request on loopback, another program's reply
        }
        // A datagram socket's identifier is chosen by the kernel; a raw socket's must be ours.
        if (icmp->raw && kora::os::Read16(&message[4]) != identifier) {
            continue;
        }
        const size_t dataSize = size - kora::os::kIcmpHeaderSize;
        const size_t room = replySize - sizeof(ICMP_ECHO_REPLY);
        const size_t copied = dataSize < room ? dataSize : room;
        auto* const reply = static_cast<ICMP_ECHO_REPLY*>(replyBuffer);
        uint8_t* const data = static_cast<uint8_t*>(replyBuffer) + sizeof(ICMP_ECHO_REPLY);
        std::memcpy(data, message + kora::os::kIcmpHeaderSize, copied);
        *reply = ICMP_ECHO_REPLY{};
        reply->Address = from.sin_addr.s_addr;
        reply->Status = IP_SUCCESS;
        reply->RoundTripTime = static_cast<ULONG>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent).count());
        reply->DataSize = static_cast<USHORT>(copied);
        reply->Data = data;
        reply->Options.Ttl = ttl;
        return 1;
    }
    kora::os::StoreStatus(replyBuffer, replySize, destination, IP_REQ_TIMED_OUT);
    SetLastError(IP_REQ_TIMED_OUT);
    return 0;
}

} // extern "C"
