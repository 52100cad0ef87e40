#include "scripted_layer.h"

#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace scripted {
namespace {

Scenario current;
int logDescriptor = -1;
thread_local int lastError = 0;
const ws2::addrinfo* handedOut = nullptr;

void log(const std::string& line)
{
    const std::string text = line + "\n";
    if (::write(logDescriptor, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        std::abort();
    }
}

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...)
{
    char text[512];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(text, sizeof(text), pattern, args);
    va_end(args);
    return text;
}

// Takes the call's next scripted reply, or nothing when the script has none left.
std::optional<Reply> next(Call call)
{
    std::deque<Reply>& queue = current.replies[call];
    if (queue.empty()) {
        return std::nullopt;
    }
    Reply reply = queue.front();
    queue.pop_front();
    if (reply.error) {
        lastError = *reply.error;
    }
    return reply;
}

std::string describeSet(const ws2::fd_set* set)
{
    if (set == nullptr) {
        return "-";
    }
    std::string text = "{";
    for (ws2::u_int i = 0; i < set->fd_count; ++i) {
        text += (i == 0 ? "" : ",") + std::to_string(set->fd_array[i]);
    }
    return text + "}";
}

// Two entries, so that a test sees which one is used.
ws2::addrinfo* makeList()
{
    auto* list = new ws2::addrinfo[2]{};
    auto* addresses = new ws2::sockaddr[2]{};
    for (int i = 0; i < 2; ++i) {
        // 192.0.2.x port 80, in the IPv4 address layout.
        addresses[i].sa_family = ws2::kAfInet;
        const unsigned char bytes[6] = {0, 80, 192, 0, 2, static_cast<unsigned char>(i + 1)};
        std::memcpy(addresses[i].sa_data, bytes, sizeof(bytes));
        list[i].ai_family = ws2::kAfInet;
        list[i].ai_socktype = ws2::kSockStream;
        list[i].ai_protocol = ws2::kIpprotoTcp;
        list[i].ai_addrlen = sizeof(ws2::sockaddr);
        list[i].ai_addr = &addresses[i];
    }
    list[0].ai_next = &list[1];
    return list;
}

}  // namespace

void play(const Scenario& scenario, int descriptor)
{
    current = scenario;
    logDescriptor = descriptor;
}

}  // namespace scripted

namespace ws2 {

using scripted::Call;
using scripted::format;
using scripted::log;
using scripted::next;

int WSAStartup(WORD versionRequested, WSADATA* data)
{
    log(format("WSAStartup(0x%04x)", versionRequested));
    std::memset(data, 0, sizeof(*data));
    const auto reply = next(Call::Startup);
    return reply ? reply->result : 0;
}

int WSAGetLastError()
{
    log("WSAGetLastError()");
    return scripted::lastError;
}

void WSASetLastError(int code) { scripted::lastError = code; }

SOCKET socket(int af, int type, int protocol)
{
    log(format("socket(%d, %d, %d)", af, type, protocol));
    const auto reply = next(Call::Socket);
    return reply ? static_cast<SOCKET>(reply->result) : scripted::kSocketHandle;
}

int ioctlsocket(SOCKET s, long cmd, u_long* argp)
{
    log(format("ioctlsocket(%ju, 0x%lx, %u)", static_cast<uintmax_t>(s), static_cast<unsigned long>(cmd) & 0xFFFFFFFFUL,
               *argp));
    const auto reply = next(Call::Ioctl);
    return reply ? reply->result : 0;
}

int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen)
{
    int value = 0;
    std::memcpy(&value, optval, sizeof(value));
    log(format("setsockopt(%ju, 0x%x, 0x%x, %d, %d)", static_cast<uintmax_t>(s), static_cast<unsigned>(level),
               static_cast<unsigned>(optname), value, optlen));
    const auto reply = next(Call::SetSockOpt);
    return reply ? reply->result : 0;
}

int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result)
{
    const bool restZero = hints->ai_addrlen == 0 && hints->ai_canonname == nullptr && hints->ai_addr == nullptr &&
                          hints->ai_next == nullptr;
    log(format("getaddrinfo(\"%s\", \"%s\", flags=%d family=%d socktype=%d protocol=%d rest=%s)", node, service,
               hints->ai_flags, hints->ai_family, hints->ai_socktype, hints->ai_protocol, restZero ? "zero" : "set"));
    const auto reply = next(Call::GetAddrInfo);
    if (reply && reply->result != 0) {
        return reply->result;
    }
    *result = scripted::makeList();
    scripted::handedOut = *result;
    return 0;
}

void freeaddrinfo(addrinfo* list)
{
    log(list == scripted::handedOut ? "freeaddrinfo(the list)" : "freeaddrinfo(another pointer)");
    delete[] list->ai_addr;
    delete[] list;
}

int connect(SOCKET s, const sockaddr* name, int namelen)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(name->sa_data);
    log(format("connect(%ju, %u.%u.%u.%u:%u, %d)", static_cast<uintmax_t>(s), bytes[2], bytes[3], bytes[4], bytes[5],
               bytes[0] << 8 | bytes[1], namelen));
    const auto reply = next(Call::Connect);
    if (reply) {
        return reply->result;
    }
    scripted::lastError = WSAEWOULDBLOCK;
    return kSocketError;
}

int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, const timeval* timeout)
{
    const std::string limit =
        timeout == nullptr ? "none" : format("%ld.%06ld", static_cast<long>(timeout->tv_sec), static_cast<long>(timeout->tv_usec));
    log(format("select(%d, read=%s, write=%s, except=%s, timeout=%s)", nfds, scripted::describeSet(readfds).c_str(),
               scripted::describeSet(writefds).c_str(), scripted::describeSet(exceptfds).c_str(), limit.c_str()));
    const auto reply = next(Call::Select);
    if (!reply) {
        return 1;
    }
    if (reply->leaves) {
        fd_set* const set = readfds != nullptr ? readfds : writefds;
        fdZero(set);
        for (SOCKET s : *reply->leaves) {
            fdSet(s, set);
        }
    }
    return reply->result;
}

int send(SOCKET s, const char* buf, int len, int flags)
{
    std::string bytes;
    for (int i = 0; i < len; ++i) {
        bytes += format(i == 0 ? "%02x" : " %02x", static_cast<unsigned char>(buf[i]));
    }
    log(format("send(%ju, %s, %d, %d)", static_cast<uintmax_t>(s), bytes.c_str(), len, flags));
    const auto reply = next(Call::Send);
    return reply ? reply->result : len;
}

int recv(SOCKET s, char* buf, int len, int flags)
{
    bool clear = true;
    for (int i = 0; i < len; ++i) {
        clear = clear && buf[i] == 0;
    }
    log(format("recv(%ju, %d, %d, %s)", static_cast<uintmax_t>(s), len, flags, clear ? "clear" : "dirty"));
    const auto reply = next(Call::Recv);
    if (!reply) {
        log("script exhausted");
        std::_Exit(scripted::kScriptExhausted);
    }
    // Scribble over the whole buffer, so that a buffer left uncleared shows.
    std::memset(buf, 0xA5, static_cast<size_t>(len));
    if (reply->result > 0) {
        const std::string data = reply->data.empty() ? std::string(static_cast<size_t>(reply->result), 'x') : reply->data;
        std::memcpy(buf, data.data(), std::min(data.size(), static_cast<size_t>(len)));
    }
    return reply->result;
}

}  // namespace ws2
