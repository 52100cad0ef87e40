// getaddrinfo through the host's resolver, its results copied into the platform's
// addrinfo layout. This layer speaks IPv4 only, so only IPv4 entries are asked for.
// Memory comes from the C library: the layer uses nothing of the C++ runtime, so a
// program linked with it need not load that runtime at all.
#include "errors.h"

#include <ws2/api.h>

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace ws2 {
namespace {

using detail::setLastError;

constexpr int kKnownFlags = kAiPassive | kAiCanonname | kAiNumerichost;
static_assert(kAiPassive == AI_PASSIVE && kAiCanonname == AI_CANONNAME && kAiNumerichost == AI_NUMERICHOST);

// One list entry and the address it points to, in one allocation.
struct Entry {
    addrinfo info;
    sockaddr address;
};

Entry* copyEntry(const ::addrinfo& host)
{
    auto* entry = static_cast<Entry*>(std::calloc(1, sizeof(Entry)));
    if (entry == nullptr) {
        return nullptr;
    }
    entry->info.ai_flags = host.ai_flags & kKnownFlags;
    entry->info.ai_family = kAfInet;
    entry->info.ai_socktype = host.ai_socktype;
    entry->info.ai_protocol = host.ai_protocol;
    entry->info.ai_addrlen = sizeof(entry->address);
    entry->info.ai_addr = &entry->address;
    std::memcpy(&entry->address, host.ai_addr, sizeof(entry->address));
    if (host.ai_canonname != nullptr) {
        const std::size_t size = std::strlen(host.ai_canonname) + 1;
        entry->info.ai_canonname = static_cast<char*>(std::malloc(size));
        if (entry->info.ai_canonname == nullptr) {
            std::free(entry);
            return nullptr;
        }
        std::memcpy(entry->info.ai_canonname, host.ai_canonname, size);
    }
    return entry;
}

}  // namespace

int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result)
{
    if (result == nullptr) {
        return setLastError(WSAEINVAL);
    }
    *result = nullptr;
    ::addrinfo hostHints{};
    hostHints.ai_family = AF_INET;
    if (hints != nullptr) {
        if ((hints->ai_flags & ~kKnownFlags) != 0) {
            return setLastError(WSAEINVAL);
        }
        if (hints->ai_family != kAfUnspec && hints->ai_family != kAfInet) {
            return setLastError(WSAEAFNOSUPPORT);
        }
        hostHints.ai_flags = hints->ai_flags;
        hostHints.ai_socktype = hints->ai_socktype;
        hostHints.ai_protocol = hints->ai_protocol;
    }

    ::addrinfo* hostList = nullptr;
    const int resolved = ::getaddrinfo(node, service, &hostHints, &hostList);
    if (resolved != 0) {
        return setLastError(detail::fromResolverCode(resolved, errno));
    }

    addrinfo* first = nullptr;
    addrinfo** tail = &first;
    for (const ::addrinfo* host = hostList; host != nullptr; host = host->ai_next) {
        if (host->ai_family != AF_INET || host->ai_addrlen != sizeof(::sockaddr_in)) {
            continue;
        }
        Entry* entry = copyEntry(*host);
        if (entry == nullptr) {
            ::freeaddrinfo(hostList);
            freeaddrinfo(first);
            return setLastError(WSA_NOT_ENOUGH_MEMORY);
        }
        *tail = &entry->info;
        tail = &entry->info.ai_next;
    }
    ::freeaddrinfo(hostList);
    if (first == nullptr) {
        return setLastError(WSANO_DATA);
    }
    *result = first;
    return 0;
}

void freeaddrinfo(addrinfo* list)
{
    while (list != nullptr) {
        addrinfo* next = list->ai_next;
        std::free(list->ai_canonname);
        // Every entry is the first member of the Entry that getaddrinfo allocated.
        std::free(reinterpret_cast<Entry*>(list));
        list = next;
    }
}

}  // namespace ws2
