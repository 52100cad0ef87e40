// Windows Sockets 2 for programs written against the platform's <winsock2.h>, on a
// POSIX host. The declarations live in namespace ws2 (<ws2/api.h>); this header brings
// them to the global names such programs use.
//
// Several of those names (socket, select, fd_set, FD_SET, u_long, ...) are also the C
// library's, with other types and values. They are redirected by macros. The host headers
// that declare them are included first, so their include guards are already set when the
// macros take effect: a standard header included later, in any order, sees no clash, and
// the C library's own functions stay untouched for the rest of the process.
#pragma once

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>

#include <ws2/api.h>

using ws2::BYTE;
using ws2::SOCKET;
using ws2::WORD;
using ws2::WSADATA;
using ws2::WSAGetLastError;
using ws2::WSASetLastError;
using ws2::WSAStartup;
using ws2::ioctlsocket;

#define u_short ws2::u_short
#define u_int ws2::u_int
#define u_long ws2::u_long
#define sockaddr ws2::sockaddr
#define fd_set ws2::fd_set

#define socket ws2::socket
#define setsockopt ws2::setsockopt
#define connect ws2::connect
#define select ws2::select
#define send ws2::send
#define recv ws2::recv

#undef FD_SETSIZE
#undef FD_ZERO
#undef FD_SET
#undef FD_CLR
#undef FD_ISSET
#define FD_SETSIZE (ws2::kFdSetSize)
#define FD_ZERO(set) ws2::fdZero(set)
#define FD_SET(s, set) ws2::fdSet((s), (set))

#define MAKEWORD(low, high) ws2::makeWord((low), (high))

#undef AF_UNSPEC
#undef AF_INET
#undef SOCK_STREAM
#undef IPPROTO_TCP
#undef FIONBIO
#undef SOL_SOCKET
#undef SO_OOBINLINE
#undef TCP_NODELAY
#undef MSG_OOB
#undef MSG_PEEK
#define INVALID_SOCKET (ws2::kInvalidSocket)
#define SOCKET_ERROR (ws2::kSocketError)
#define NO_ERROR (ws2::kNoError)
#define AF_UNSPEC (ws2::kAfUnspec)
#define AF_INET (ws2::kAfInet)
#define SOCK_STREAM (ws2::kSockStream)
#define IPPROTO_TCP (ws2::kIpprotoTcp)
#define FIONBIO (ws2::kFionbio)
#define SOL_SOCKET (ws2::kSolSocket)
#define SO_OOBINLINE (ws2::kSoOobinline)
#define TCP_NODELAY (ws2::kTcpNodelay)
#define MSG_OOB (ws2::kMsgOob)
#define MSG_PEEK (ws2::kMsgPeek)
