// Translation of the host's failure codes to Windows Sockets codes, and the per-thread
// last-error code that every failing call sets.
#pragma once

namespace ws2::detail {

// The Windows Sockets code for a host errno value.
int fromErrno(int hostErrno);

// The Windows Sockets code for a host getaddrinfo result; EAI_SYSTEM consults hostErrno.
int fromResolverCode(int resolverCode, int hostErrno);

// Records the code as the calling thread's last error and returns it.
int setLastError(int code);

// Records the current errno, translated, as the last error; returns SOCKET_ERROR.
int failFromErrno();

}  // namespace ws2::detail
