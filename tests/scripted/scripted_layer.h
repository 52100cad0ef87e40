// A scripted stand-in for the socket layer: each call takes its result, its last-error
// code and its data from a scenario, and is logged as one line with its arguments, so a
// test can replay any sequence of platform behaviour against the probe and see exactly
// which calls the probe made.
#pragma once

#include <ws2/api.h>

#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace scripted {

enum class Call { Startup, Socket, Ioctl, SetSockOpt, GetAddrInfo, Connect, Select, Send, Recv };

struct Reply {
    int result = 0;
    std::optional<int> error;  // becomes the last-error code when the call is made
    std::string data;          // recv: the bytes delivered (default: `result` bytes of 'x')
    std::optional<std::vector<ws2::SOCKET>> leaves;  // select: the set it leaves (default: as given)
};

// Calls with no reply left take a default: every set-up call succeeds (connect with
// SOCKET_ERROR and WSAEWOULDBLOCK, as a non-blocking connect does), select reports one
// socket ready. A recv with no reply left ends the process with kScriptExhausted.
struct Scenario {
    std::map<Call, std::deque<Reply>> replies;
};

constexpr ws2::SOCKET kSocketHandle = 5;
constexpr int kScriptExhausted = 99;

// Installs the scenario and the descriptor that receives the call log.
void play(const Scenario& scenario, int logDescriptor);

}  // namespace scripted
