// The resolver half of Windows Sockets 2: getaddrinfo and its address list, in the
// platform's layout. See <winsock2.h> for why the names are macros.
#pragma once

#include <winsock2.h>

#define addrinfo ws2::addrinfo
#define getaddrinfo ws2::getaddrinfo
#define freeaddrinfo ws2::freeaddrinfo

#undef AI_PASSIVE
#undef AI_CANONNAME
#undef AI_NUMERICHOST
#define AI_PASSIVE (ws2::kAiPassive)
#define AI_CANONNAME (ws2::kAiCanonname)
#define AI_NUMERICHOST (ws2::kAiNumerichost)
