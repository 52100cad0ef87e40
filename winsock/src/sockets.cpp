// The socket calls, each a thin translation to one POSIX call: arguments in, the
// platform's result and last-error code out.
#include "errors.h"

#include <ws2/api.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace ws2 {
namespace {

using detail::failFromErrno;
using detail::setLastError;

static_assert(sizeof(u_long) == 4);
static_assert(kMsgOob == MSG_OOB && kMsgPeek == MSG_PEEK, "flags pass through unchanged");
static_assert(kAfInet == AF_INET && kSockStream == SOCK_STREAM && kIpprotoTcp == IPPROTO_TCP);
static_assert(sizeof(sockaddr) == sizeof(::sockaddr_in), "IPv4 addresses share one layout");

constexpr WORD kVersion = makeWord(2, 2);

struct SocketOption {
    int level;
    int name;
    int hostLevel;
    int hostName;
};

constexpr SocketOption kSocketOptions[] = {
    {kSolSocket, kSoOobinline, SOL_SOCKET, SO_OOBINLINE},
    {kIpprotoTcp, kTcpNodelay, IPPROTO_TCP, TCP_NODELAY},
};

int fail(int code)
{
    setLastError(code);
    return kSocketError;
}

// Handles are the host's descriptors; anything wider than one is no socket.
bool toDescriptor(SOCKET s, int& fd)
{
    if (s > static_cast<SOCKET>(INT_MAX)) {
        setLastError(WSAENOTSOCK);
        return false;
    }
    fd = static_cast<int>(s);
    return true;
}

// Host poll events that make a handle ready for each of select's three sets. A closed or
// reset connection is readable; a failed connection attempt is writable, so that a wait
// for the connection ends and the next call reports the error.
constexpr short kPollFor[3] = {POLLIN, POLLOUT, POLLPRI};
constexpr short kReadyOn[3] = {POLLIN | POLLHUP | POLLERR, POLLOUT | POLLHUP | POLLERR, POLLPRI | POLLERR};

// The platform's time-out as the kernel's; false for a negative one.
bool toTimespec(const timeval& timeout, timespec& left)
{
    if (timeout.tv_sec < 0 || timeout.tv_usec < 0) {
        return false;
    }
    if (timeout.tv_usec < 1000000) {
        left = timespec{timeout.tv_sec, timeout.tv_usec * 1000};
    } else {
        left = timespec{timeout.tv_sec + timeout.tv_usec / 1000000, (timeout.tv_usec % 1000000) * 1000};
    }
    return true;
}

// The kernel's ppoll writes the time not yet waited back into `left`, which is what a
// restart after a signal must wait for; the C library's wrapper would discard it.
long pollOnce(pollfd* polled, nfds_t count, timespec* left)
{
    return ::syscall(SYS_ppoll, polled, count, left, nullptr, 0);
}

__attribute__((noinline, cold)) long pollAfterSignal(pollfd* polled, nfds_t count, timespec* left)
{
    long ready = -1;
    while (ready < 0 && errno == EINTR) {
        ready = pollOnce(polled, count, left);
    }
    return ready;
}

long pollRestarting(pollfd* polled, nfds_t count, timespec* left)
{
    const long ready = pollOnce(polled, count, left);
    return ready >= 0 ? ready : pollAfterSignal(polled, count, left);
}

// The handles a set holds, however large a count it claims.
u_int handlesIn(const fd_set& set) { return set.fd_count < kFdSetSize ? set.fd_count : kFdSetSize; }

// Any mix of sets and handles. Kept out of line, so that its large frame stays off the
// short way that select takes for one handle.
__attribute__((noinline)) int selectMany(fd_set* const (&sets)[3], const timeval* timeout)
{
    pollfd polled[3 * kFdSetSize];
    unsigned char slotOf[3][kFdSetSize];
    nfds_t polledCount = 0;

    for (int kind = 0; kind < 3; ++kind) {
        fd_set* const set = sets[kind];
        if (set == nullptr) {
            continue;
        }
        const u_int count = handlesIn(*set);
        for (u_int i = 0; i < count; ++i) {
            int fd = 0;
            if (!toDescriptor(set->fd_array[i], fd)) {
                return kSocketError;
            }
            nfds_t slot = 0;
            while (slot < polledCount && polled[slot].fd != fd) {
                ++slot;
            }
            if (slot == polledCount) {
                polled[polledCount++] = pollfd{fd, 0, 0};
            }
            polled[slot].events = static_cast<short>(polled[slot].events | kPollFor[kind]);
            slotOf[kind][i] = static_cast<unsigned char>(slot);
        }
    }
    if (polledCount == 0) {
        return fail(WSAEINVAL);
    }
    timespec left{};
    if (timeout != nullptr && !toTimespec(*timeout, left)) {
        return fail(WSAEINVAL);
    }
    if (pollRestarting(polled, polledCount, timeout != nullptr ? &left : nullptr) < 0) {
        return failFromErrno();
    }
    for (nfds_t slot = 0; slot < polledCount; ++slot) {
        if ((polled[slot].revents & POLLNVAL) != 0) {
            return fail(WSAENOTSOCK);
        }
    }

    int total = 0;
    for (int kind = 0; kind < 3; ++kind) {
        fd_set* const set = sets[kind];
        if (set == nullptr) {
            continue;
        }
        const u_int count = handlesIn(*set);
        u_int kept = 0;
        for (u_int i = 0; i < count; ++i) {
            if ((polled[slotOf[kind][i]].revents & kReadyOn[kind]) != 0) {
                set->fd_array[kept++] = set->fd_array[i];
            }
        }
        set->fd_count = kept;
        total += static_cast<int>(kept);
    }
    return total;
}

}  // namespace

int WSAStartup(WORD versionRequested, WSADATA* data)
{
    const int major = versionRequested & 0xFF;
    const int minor = versionRequested >> 8;
    if (major < 2 || (major == 2 && minor < 2)) {
        return setLastError(WSAVERNOTSUPPORTED);
    }
    if (data == nullptr) {
        return setLastError(WSAEFAULT);
    }
    std::memset(data, 0, sizeof(*data));
    data->wVersion = kVersion;
    data->wHighVersion = kVersion;
    std::strncpy(data->szDescription, "Windows Sockets 2.2 over POSIX sockets", kDescriptionLength);
    std::strncpy(data->szSystemStatus, "Running", kSystemStatusLength);
    return 0;
}

SOCKET socket(int af, int type, int protocol)
{
    if (af != kAfInet) {
        setLastError(WSAEAFNOSUPPORT);
        return kInvalidSocket;
    }
    if (type != SOCK_STREAM && type != SOCK_DGRAM) {
        setLastError(WSAESOCKTNOSUPPORT);
        return kInvalidSocket;
    }
    // The platform's handles are not inherited by child processes unless asked for.
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        failFromErrno();
        return kInvalidSocket;
    }
    return static_cast<SOCKET>(fd);
}

int ioctlsocket(SOCKET s, long cmd, u_long* argp)
{
    int fd = 0;
    if (!toDescriptor(s, fd)) {
        return kSocketError;
    }
    if (cmd != kFionbio) {
        return fail(WSAEINVAL);
    }
    if (argp == nullptr) {
        return fail(WSAEFAULT);
    }
    int nonBlocking = *argp != 0 ? 1 : 0;
    if (::ioctl(fd, FIONBIO, &nonBlocking) != 0) {
        return failFromErrno();
    }
    return kNoError;
}

int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen)
{
    int fd = 0;
    if (!toDescriptor(s, fd)) {
        return kSocketError;
    }
    const SocketOption* option = nullptr;
    for (const SocketOption& known : kSocketOptions) {
        if (known.level == level && known.name == optname) {
            option = &known;
        }
    }
    if (option == nullptr) {
        return fail(WSAENOPROTOOPT);
    }
    int value = 0;
    if (optval == nullptr || optlen < static_cast<int>(sizeof(value))) {
        return fail(WSAEFAULT);
    }
    std::memcpy(&value, optval, sizeof(value));
    if (::setsockopt(fd, option->hostLevel, option->hostName, &value, sizeof(value)) != 0) {
        return failFromErrno();
    }
    return 0;
}

int connect(SOCKET s, const sockaddr* name, int namelen)
{
    int fd = 0;
    if (!toDescriptor(s, fd)) {
        return kSocketError;
    }
    ::sockaddr_in address{};
    if (name == nullptr || namelen < static_cast<int>(sizeof(address))) {
        return fail(WSAEFAULT);
    }
    if (name->sa_family != kAfInet) {
        return fail(WSAEAFNOSUPPORT);
    }
    std::memcpy(&address, name, sizeof(address));
    if (::connect(fd, reinterpret_cast<const ::sockaddr*>(&address), sizeof(address)) != 0) {
        return failFromErrno();
    }
    return 0;
}

int select(int /*nfds: the platform ignores it*/, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
           const timeval* timeout)
{
    // The common wait, the probe's among them, takes a short way: one handle in one set.
    fd_set* single = nullptr;
    int kind = 0;
    if (exceptfds == nullptr) {
        if (writefds == nullptr && readfds != nullptr && readfds->fd_count == 1) {
            single = readfds;
        } else if (readfds == nullptr && writefds != nullptr && writefds->fd_count == 1) {
            single = writefds;
            kind = 1;
        }
    }
    if (single == nullptr) {
        fd_set* const sets[3] = {readfds, writefds, exceptfds};
        return selectMany(sets, timeout);
    }

    int fd = 0;
    if (!toDescriptor(single->fd_array[0], fd)) {
        return kSocketError;
    }
    timespec left;
    if (timeout != nullptr && !toTimespec(*timeout, left)) {
        return fail(WSAEINVAL);
    }
    pollfd polled{fd, kPollFor[kind], 0};
    if (pollRestarting(&polled, 1, timeout != nullptr ? &left : nullptr) < 0) {
        return failFromErrno();
    }
    if ((polled.revents & POLLNVAL) != 0) {
        return fail(WSAENOTSOCK);
    }
    single->fd_count = (polled.revents & kReadyOn[kind]) != 0 ? 1 : 0;
    return static_cast<int>(single->fd_count);
}

int send(SOCKET s, const char* buf, int len, int flags)
{
    int fd = 0;
    if (!toDescriptor(s, fd)) {
        return kSocketError;
    }
    if ((flags & ~kMsgOob) != 0) {
        return fail(WSAEOPNOTSUPP);
    }
    if (len < 0) {
        return fail(WSAEFAULT);
    }
    // A peer that has gone away is an error code, never a SIGPIPE.
    const ssize_t sent = ::send(fd, buf, static_cast<std::size_t>(len), flags | MSG_NOSIGNAL);
    return sent >= 0 ? static_cast<int>(sent) : failFromErrno();
}

int recv(SOCKET s, char* buf, int len, int flags)
{
    int fd = 0;
    if (!toDescriptor(s, fd)) {
        return kSocketError;
    }
    if ((flags & ~(kMsgOob | kMsgPeek)) != 0) {
        return fail(WSAEOPNOTSUPP);
    }
    if (len < 0) {
        return fail(WSAEFAULT);
    }
    // A blocking call cut short by a signal is WSAEINTR, as on the platform; a
    // non-blocking one never waits, so never is.
    const ssize_t received = ::recv(fd, buf, static_cast<std::size_t>(len), flags);
    return received >= 0 ? static_cast<int>(received) : failFromErrno();
}

}  // namespace ws2
