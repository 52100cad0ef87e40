// The Windows Sockets 2 subset this project uses, declared in namespace ws2 with the
// platform's types, layouts and values. Nothing here is renamed or exported globally:
// that is <winsock2.h>'s job, so the implementation and the tests can include this
// header next to the host's own socket headers.
#pragma once

#include <sys/time.h>  // the host's struct timeval serves as select's time-out

#include <cstddef>
#include <cstdint>

namespace ws2 {

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using u_short = std::uint16_t;
using u_int = std::uint32_t;
using u_long = std::uint32_t;  // the platform's long is 32 bits wide
using SOCKET = std::uintptr_t;

constexpr SOCKET kInvalidSocket = ~SOCKET{0};
constexpr int kSocketError = -1;
constexpr int kNoError = 0;
constexpr u_int kFdSetSize = 64;

constexpr int kAfUnspec = 0;
constexpr int kAfInet = 2;
constexpr int kSockStream = 1;
constexpr int kIpprotoTcp = 6;
// The command's bit pattern is 0x8004667E; as the platform's 32-bit long it is negative.
constexpr long kFionbio = static_cast<std::int32_t>(0x8004667EU);
constexpr int kSolSocket = 0xFFFF;
constexpr int kSoOobinline = 0x0100;
constexpr int kTcpNodelay = 1;
constexpr int kMsgOob = 1;
constexpr int kMsgPeek = 2;
constexpr int kAiPassive = 1;
constexpr int kAiCanonname = 2;
constexpr int kAiNumerichost = 4;

// Error codes that the calls below report.
enum ErrorCode : int {
    WSA_NOT_ENOUGH_MEMORY = 8,
    WSAEINTR = 10004,
    WSAEACCES = 10013,
    WSAEFAULT = 10014,
    WSAEINVAL = 10022,
    WSAEMFILE = 10024,
    WSAEWOULDBLOCK = 10035,
    WSAEINPROGRESS = 10036,
    WSAEALREADY = 10037,
    WSAENOTSOCK = 10038,
    WSAEDESTADDRREQ = 10039,
    WSAEMSGSIZE = 10040,
    WSAEPROTOTYPE = 10041,
    WSAENOPROTOOPT = 10042,
    WSAEPROTONOSUPPORT = 10043,
    WSAESOCKTNOSUPPORT = 10044,
    WSAEOPNOTSUPP = 10045,
    WSAEPFNOSUPPORT = 10046,
    WSAEAFNOSUPPORT = 10047,
    WSAEADDRINUSE = 10048,
    WSAEADDRNOTAVAIL = 10049,
    WSAENETDOWN = 10050,
    WSAENETUNREACH = 10051,
    WSAENETRESET = 10052,
    WSAECONNABORTED = 10053,
    WSAECONNRESET = 10054,
    WSAENOBUFS = 10055,
    WSAEISCONN = 10056,
    WSAENOTCONN = 10057,
    WSAESHUTDOWN = 10058,
    WSAETIMEDOUT = 10060,
    WSAECONNREFUSED = 10061,
    WSAENAMETOOLONG = 10063,
    WSAEHOSTDOWN = 10064,
    WSAEHOSTUNREACH = 10065,
    WSAVERNOTSUPPORTED = 10092,
    WSASYSCALLFAILURE = 10107,
    WSATYPE_NOT_FOUND = 10109,
    WSAHOST_NOT_FOUND = 11001,
    WSATRY_AGAIN = 11002,
    WSANO_RECOVERY = 11003,
    WSANO_DATA = 11004,
};

constexpr std::size_t kDescriptionLength = 256;
constexpr std::size_t kSystemStatusLength = 128;

// Field order of the 64-bit platform.
struct WSADATA {
    WORD wVersion;
    WORD wHighVersion;
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
    char szDescription[kDescriptionLength + 1];
    char szSystemStatus[kSystemStatusLength + 1];
};

struct sockaddr {
    u_short sa_family;
    char sa_data[14];
};

struct addrinfo {
    int ai_flags;
    int ai_family;
    int ai_socktype;
    int ai_protocol;
    std::size_t ai_addrlen;
    char* ai_canonname;
    sockaddr* ai_addr;
    addrinfo* ai_next;
};

struct fd_set {
    u_int fd_count;
    SOCKET fd_array[kFdSetSize];
};

constexpr WORD makeWord(BYTE low, BYTE high) { return static_cast<WORD>(low | (high << 8)); }

inline void fdZero(fd_set* set) { set->fd_count = 0; }

// Adds the handle unless it is already there or the set is full, as the platform does.
inline void fdSet(SOCKET s, fd_set* set)
{
    for (u_int i = 0; i < set->fd_count; ++i) {
        if (set->fd_array[i] == s) {
            return;
        }
    }
    if (set->fd_count < kFdSetSize) {
        set->fd_array[set->fd_count++] = s;
    }
}

int WSAStartup(WORD versionRequested, WSADATA* data);
int WSAGetLastError();
void WSASetLastError(int code);

SOCKET socket(int af, int type, int protocol);
int ioctlsocket(SOCKET s, long cmd, u_long* argp);
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
int connect(SOCKET s, const sockaddr* name, int namelen);
int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, const timeval* timeout);
int send(SOCKET s, const char* buf, int len, int flags);
int recv(SOCKET s, char* buf, int len, int flags);

int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result);
void freeaddrinfo(addrinfo* list);

}  // namespace ws2
