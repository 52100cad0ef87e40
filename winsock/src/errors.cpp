#include "errors.h"

#include <ws2/api.h>

#include <netdb.h>

#include <cerrno>
#include <iterator>
#include <utility>

namespace ws2::detail {
namespace {

thread_local int lastError = 0;

constexpr std::pair<int, int> kErrnoToWsa[] = {
    {EINTR, WSAEINTR},
    {EACCES, WSAEACCES},
    {EPERM, WSAEACCES},
    {EFAULT, WSAEFAULT},
    {EINVAL, WSAEINVAL},
    {EMFILE, WSAEMFILE},
    {ENFILE, WSAEMFILE},
    {EWOULDBLOCK, WSAEWOULDBLOCK},
#if EAGAIN != EWOULDBLOCK
    {EAGAIN, WSAEWOULDBLOCK},
#endif
    // A non-blocking connect under way: the platform says "would block", not "in progress".
    {EINPROGRESS, WSAEWOULDBLOCK},
    {EALREADY, WSAEALREADY},
    {EBADF, WSAENOTSOCK},
    {ENOTSOCK, WSAENOTSOCK},
    {EDESTADDRREQ, WSAEDESTADDRREQ},
    {EMSGSIZE, WSAEMSGSIZE},
    {EPROTOTYPE, WSAEPROTOTYPE},
    {ENOPROTOOPT, WSAENOPROTOOPT},
    {EPROTONOSUPPORT, WSAEPROTONOSUPPORT},
    {ESOCKTNOSUPPORT, WSAESOCKTNOSUPPORT},
    {EOPNOTSUPP, WSAEOPNOTSUPP},
    {EPFNOSUPPORT, WSAEPFNOSUPPORT},
    {EAFNOSUPPORT, WSAEAFNOSUPPORT},
    {EADDRINUSE, WSAEADDRINUSE},
    {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
    {ENETDOWN, WSAENETDOWN},
    {ENETUNREACH, WSAENETUNREACH},
    {ENETRESET, WSAENETRESET},
    {ECONNABORTED, WSAECONNABORTED},
    {ECONNRESET, WSAECONNRESET},
    // This layer has no shutdown call, so a broken pipe is a connection the peer has
    // torn down: the platform keeps reporting that as a reset.
    {EPIPE, WSAECONNRESET},
    {ENOBUFS, WSAENOBUFS},
    {ENOMEM, WSAENOBUFS},
    {EISCONN, WSAEISCONN},
    {ENOTCONN, WSAENOTCONN},
    {ESHUTDOWN, WSAESHUTDOWN},
    {ETIMEDOUT, WSAETIMEDOUT},
    {ECONNREFUSED, WSAECONNREFUSED},
    {ENAMETOOLONG, WSAENAMETOOLONG},
    {EHOSTDOWN, WSAEHOSTDOWN},
    {EHOSTUNREACH, WSAEHOSTUNREACH},
};

constexpr std::pair<int, int> kResolverToWsa[] = {
    {EAI_NONAME, WSAHOST_NOT_FOUND},
    {EAI_AGAIN, WSATRY_AGAIN},
    {EAI_FAIL, WSANO_RECOVERY},
    {EAI_MEMORY, WSA_NOT_ENOUGH_MEMORY},
    {EAI_FAMILY, WSAEAFNOSUPPORT},
    {EAI_SOCKTYPE, WSAESOCKTNOSUPPORT},
    {EAI_SERVICE, WSATYPE_NOT_FOUND},
    {EAI_BADFLAGS, WSAEINVAL},
    {EAI_NODATA, WSANO_DATA},
    {EAI_ADDRFAMILY, WSANO_DATA},
};

int lookUp(const std::pair<int, int>* first, const std::pair<int, int>* last, int key)
{
    for (; first != last; ++first) {
        if (first->first == key) {
            return first->second;
        }
    }
    // A failure the platform has no word for: its code for a system call gone wrong.
    return WSASYSCALLFAILURE;
}

}  // namespace

int fromErrno(int hostErrno)
{
    return lookUp(std::begin(kErrnoToWsa), std::end(kErrnoToWsa), hostErrno);
}

int fromResolverCode(int resolverCode, int hostErrno)
{
    if (resolverCode == EAI_SYSTEM) {
        return fromErrno(hostErrno);
    }
    return lookUp(std::begin(kResolverToWsa), std::end(kResolverToWsa), resolverCode);
}

int setLastError(int code)
{
    lastError = code;
    return code;
}

int failFromErrno()
{
    setLastError(fromErrno(errno));
    return kSocketError;
}

}  // namespace ws2::detail

namespace ws2 {

int WSAGetLastError() { return detail::lastError; }

void WSASetLastError(int code) { detail::lastError = code; }

}  // namespace ws2
