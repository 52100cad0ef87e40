// The public headers: the platform's sizes and values, whatever host headers come
// before or after them, and the set operations under their global names.
#include <sys/types.h>  // the host's own u_long, fd_set and FD_SET come first here

#include <cstdlib>

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>

static_assert(sizeof(u_long) == 4);
static_assert(sizeof(fd_set) == 8 + 64 * sizeof(SOCKET) && offsetof(fd_set, fd_array) == 8);
static_assert(sizeof(fd_set{}.fd_count) == 4 && FD_SETSIZE == 64);
static_assert(INVALID_SOCKET == ~SOCKET{0} && SOCKET_ERROR == -1 && NO_ERROR == 0);
static_assert(MAKEWORD(2, 2) == 0x0202);
static_assert(AF_INET == 2 && SOCK_STREAM == 1 && IPPROTO_TCP == 6 && TCP_NODELAY == 1);
static_assert(static_cast<std::uint32_t>(FIONBIO) == 0x8004667EU);
static_assert(SOL_SOCKET == 0xFFFF && SO_OOBINLINE == 0x0100 && MSG_PEEK == 2);
static_assert(offsetof(addrinfo, ai_addrlen) == 16 && offsetof(addrinfo, ai_canonname) == 24 &&
              offsetof(addrinfo, ai_addr) == 32 && offsetof(addrinfo, ai_next) == 40);
static_assert(sizeof(sockaddr) == 16);

TEST(FdSet, AddsEachHandleOnceAndNoMoreThanItHolds)
{
    fd_set set;
    FD_ZERO(&set);
    EXPECT_EQ(set.fd_count, 0U);
    FD_SET(7, &set);
    FD_SET(7, &set);
    ASSERT_EQ(set.fd_count, 1U);
    EXPECT_EQ(set.fd_array[0], 7U);

    for (SOCKET s = 100; s < 200; ++s) {
        FD_SET(s, &set);
    }
    ASSERT_EQ(set.fd_count, 64U);
    EXPECT_EQ(set.fd_array[63], 162U);  // 7, then 100..162: the 65th handle, 163, is left out
}
