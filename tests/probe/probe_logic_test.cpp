// The probe's own logic, run against the scripted socket layer: every check, every end
// of the drain loop, and the exact calls the probe makes.
#include "child_run.h"
#include "scripted_layer.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sstream>
#include <string>
#include <vector>

int probeMain();

namespace {

using scripted::Call;
using scripted::Reply;
using scripted::Scenario;
using testing_support::ChildRun;

struct ProbeRun {
    ChildRun child;
    std::vector<std::string> calls;
};

ProbeRun runProbe(const Scenario& scenario)
{
    ProbeRun run;
    run.child = testing_support::runInChild([&](int logDescriptor) {
        scripted::play(scenario, logDescriptor);
        return probeMain();
    });
    std::istringstream lines(run.child.log);
    for (std::string line; std::getline(lines, line);) {
        run.calls.push_back(line);
    }
    return run;
}

const std::vector<std::string> kSetUpCalls = {
    "WSAStartup(0x0202)",
    "socket(2, 1, 6)",
    "ioctlsocket(5, 0x8004667e, 1)",
    "setsockopt(5, 0xffff, 0x100, 1, 4)",
    "setsockopt(5, 0x6, 0x1, 1, 4)",
    "getaddrinfo(\"example.com\", \"80\", flags=0 family=2 socktype=1 protocol=6 rest=zero)",
    "connect(5, 192.0.2.1:80, 16)",
    "freeaddrinfo(the list)",
    "select(1, read=-, write={5}, except=-, timeout=none)",
    "send(5, 47 45 54 20 2f 0a 00, 7, 0)",
};

const std::string kReadWait = "select(1, read={5}, write=-, except=-, timeout=30.000000)";
const std::string kPeek = "recv(5, 100, 2, clear)";
const std::string kRead = "recv(5, 100, 0, dirty)";
const std::string kLastError = "WSAGetLastError()";

Reply ok(int result) { return Reply{result, std::nullopt, {}, std::nullopt}; }
Reply failed(int code) { return Reply{-1, code, {}, std::nullopt}; }

// The line of test.cpp on which the check with this condition stands.
int lineOfCheck(const std::string& condition)
{
    std::istringstream source(testing_support::readFile(PROBE_SOURCE_PATH));
    int number = 0;
    for (std::string line; std::getline(source, line);) {
        ++number;
        if (line.find("assert(" + condition + ");") != std::string::npos) {
            return number;
        }
    }
    return -1;
}

struct CheckCase {
    const char* name;
    Call call;
    std::deque<Reply> replies;
    const char* condition;
    std::size_t callsMade;  // how many of the set-up calls are made, the failing one last
};

void PrintTo(const CheckCase& check, std::ostream* os) { *os << check.name; }

class FailedCheck : public testing::TestWithParam<CheckCase> {};

TEST_P(FailedCheck, EndsAbnormallyWithTheConditionAndNoLaterCall)
{
    const CheckCase& check = GetParam();
    Scenario scenario;
    scenario.replies[check.call] = check.replies;
    const ProbeRun run = runProbe(scenario);

    ASSERT_TRUE(run.child.signalled) << run.child.err;
    EXPECT_EQ(run.child.signal, SIGABRT);
    EXPECT_EQ(run.child.out, "");
    const int line = lineOfCheck(check.condition);
    ASSERT_GT(line, 0) << "no check reads " << check.condition;
    EXPECT_NE(run.child.err.find("test.cpp:" + std::to_string(line) + ":"), std::string::npos) << run.child.err;
    EXPECT_NE(run.child.err.find(std::string("Assertion `") + check.condition + "' failed."), std::string::npos)
        << run.child.err;
    const std::vector<std::string> expected(kSetUpCalls.begin(), kSetUpCalls.begin() + check.callsMade);
    EXPECT_EQ(run.calls, expected);
}

INSTANTIATE_TEST_SUITE_P(
    EachCheck, FailedCheck,
    testing::Values(
        CheckCase{"startup", Call::Startup, {ok(ws2::WSAVERNOTSUPPORTED)}, "WSAStartup(MAKEWORD(2, 2), &wsaData) == 0", 1},
        CheckCase{"socket", Call::Socket, {ok(-1)}, "sock != INVALID_SOCKET", 2},
        CheckCase{"nonblocking", Call::Ioctl, {failed(ws2::WSAEINVAL)}, "ioctlsocket(sock, FIONBIO, &nonblock) == NO_ERROR", 3},
        CheckCase{"oobinline",
                  Call::SetSockOpt,
                  {failed(ws2::WSAENOPROTOOPT)},
                  "setsockopt(sock, SOL_SOCKET, SO_OOBINLINE, (char*)&optVal, sizeof(optVal)) == 0",
                  4},
        CheckCase{"nodelay",
                  Call::SetSockOpt,
                  {ok(0), failed(ws2::WSAENOPROTOOPT)},
                  "setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, (char*)&optVal, sizeof(optVal)) == 0",
                  5},
        CheckCase{"resolution",
                  Call::GetAddrInfo,
                  {ok(ws2::WSAHOST_NOT_FOUND)},
                  "getaddrinfo(\"example.com\", \"80\", &hints, &addr) == 0",
                  6},
        CheckCase{"writeWaitFails", Call::Select, {failed(ws2::WSAEINVAL)}, "select(1, NULL, &myset, NULL, 0) == 1", 9},
        CheckCase{"writeWaitTimesOut", Call::Select, {ok(0)}, "select(1, NULL, &myset, NULL, 0) == 1", 9},
        CheckCase{"writeWaitReportsTwo", Call::Select, {ok(2)}, "select(1, NULL, &myset, NULL, 0) == 1", 9},
        CheckCase{"send",
                  Call::Send,
                  {failed(ws2::WSAECONNREFUSED)},
                  "send(sock, send_data, sizeof(send_data), 0) != SOCKET_ERROR",
                  10}),
    [](const testing::TestParamInfo<CheckCase>& info) { return std::string(info.param.name); });

struct DrainCase {
    const char* name;
    Scenario scenario;
    std::string out;
    int status;
    std::vector<std::string> callsAfterSetUp;  // empty: not compared
};

void PrintTo(const DrainCase& drain, std::ostream* os) { *os << drain.name; }

class Drain : public testing::TestWithParam<DrainCase> {};

TEST_P(Drain, PrintsAndEndsAsScripted)
{
    const DrainCase& drain = GetParam();
    const ProbeRun run = runProbe(drain.scenario);

    ASSERT_TRUE(run.child.exited) << run.child.err;
    EXPECT_EQ(run.child.status, drain.status);
    EXPECT_EQ(run.child.out, drain.out);
    EXPECT_EQ(run.child.err, "");
    ASSERT_GE(run.calls.size(), kSetUpCalls.size());
    EXPECT_EQ(std::vector<std::string>(run.calls.begin(), run.calls.begin() + static_cast<long>(kSetUpCalls.size())),
              kSetUpCalls);
    if (!drain.callsAfterSetUp.empty()) {
        const std::vector<std::string> after(run.calls.begin() + static_cast<long>(kSetUpCalls.size()), run.calls.end());
        EXPECT_EQ(after, drain.callsAfterSetUp);
    }
}

Scenario receiving(std::deque<Reply> recvs, std::deque<Reply> selects = {})
{
    Scenario scenario;
    scenario.replies[Call::Recv] = std::move(recvs);
    if (!selects.empty()) {
        scenario.replies[Call::Select] = std::move(selects);
    }
    return scenario;
}

Scenario with(Scenario scenario, Call call, std::deque<Reply> replies)
{
    scenario.replies[call] = std::move(replies);
    return scenario;
}

Reply withError(Reply reply, int code)
{
    reply.error = code;
    return reply;
}

Reply leaving(Reply reply, std::vector<ws2::SOCKET> handles)
{
    reply.leaves = std::move(handles);
    return reply;
}

std::string pair(int peeked, int read, int err = ws2::WSAEWOULDBLOCK)
{
    return "peeked " + std::to_string(peeked) + " bytes, err " + std::to_string(err) + "\nread " +
           std::to_string(read) + " bytes, err " + std::to_string(err) + "\n";
}

const std::string kGood = "detected connection close, GOOD\n";
const std::string kBad = "ret didn't match?!, BAD\n";

INSTANTIATE_TEST_SUITE_P(
    EachEnd, Drain,
    testing::Values(
        // The whole conversation, call by call: the default connect already failed with
        // WSAEWOULDBLOCK, and its code stays on every line that follows.
        DrainCase{"fortyBytesThenClose",
                  receiving({ok(40), ok(40), ok(0), ok(0)}),
                  pair(40, 40) + pair(0, 0) + kGood,
                  0,
                  {kReadWait, kPeek, kLastError, kRead, kLastError, kReadWait, kPeek, kLastError, kRead, kLastError}},
        DrainCase{"twoHundredFiftyBytesThenClose",
                  receiving({ok(100), ok(100), ok(100), ok(100), ok(50), ok(50), ok(0), ok(0)}),
                  pair(100, 100) + pair(100, 100) + pair(50, 50) + pair(0, 0) + kGood,
                  0,
                  {kReadWait, kPeek, kLastError, kRead, kLastError, kReadWait, kPeek, kLastError, kRead, kLastError,
                   kReadWait, kPeek, kLastError, kRead, kLastError, kReadWait, kPeek, kLastError, kRead, kLastError}},
        DrainCase{"connectSucceedingLeavesNoCode",
                  with(receiving({ok(40), ok(40), ok(0), ok(0)}), Call::Connect, {withError(ok(0), 0)}),
                  pair(40, 40, 0) + pair(0, 0, 0) + kGood,
                  0,
                  {}},
        DrainCase{"codeAfterSuccessPrintedUnchanged",
                  receiving({withError(ok(7), ws2::WSAECONNRESET), ok(7), ok(0), ok(0)}),
                  pair(7, 7, ws2::WSAECONNRESET) + pair(0, 0, ws2::WSAECONNRESET) + kGood,
                  0,
                  {}},
        DrainCase{"partialSendPasses",
                  with(receiving({ok(0), ok(0)}), Call::Send, {ok(3)}),
                  pair(0, 0) + kGood,
                  0,
                  {}},
        DrainCase{"readZeroAfterPeekedData", receiving({ok(40), ok(0)}), pair(40, 0) + kGood, 0, {}},
        DrainCase{"readFailsAfterPeek",
                  receiving({ok(40), failed(ws2::WSAECONNRESET)}),
                  "peeked 40 bytes, err 10035\nread -1 bytes, err 10054\n" + kBad,
                  1,
                  {kReadWait, kPeek, kLastError, kRead, kLastError}},
        DrainCase{"readCountOtherThanPeekGoesOn",
                  receiving({ok(40), ok(10), ok(30), ok(30), ok(0), ok(0)}),
                  "peeked 40 bytes, err 10035\nread 10 bytes, err 10035\n" + pair(30, 30) + pair(0, 0) + kGood,
                  0,
                  {}},
        DrainCase{"peekFailsSilently",
                  receiving({ok(40), ok(40), failed(ws2::WSAECONNRESET)}),
                  pair(40, 40),
                  0,
                  {kReadWait, kPeek, kLastError, kRead, kLastError, kReadWait, kPeek}},
        DrainCase{"readWaitFailsSilently",
                  receiving({}, {ok(1), failed(ws2::WSAENOTSOCK)}),
                  "",
                  0,
                  {kReadWait}},
        // A wait that times out empties the set and still begins a cycle; the set is
        // handed on as that wait left it, never refilled.
        DrainCase{"waitReturningZeroBeginsACycle",
                  receiving({ok(5), ok(5), failed(ws2::WSAEWOULDBLOCK)}, {ok(1), leaving(ok(0), {})}),
                  pair(5, 5),
                  0,
                  {kReadWait, kPeek, kLastError, kRead, kLastError,
                   "select(1, read={}, write=-, except=-, timeout=30.000000)", kPeek}},
        DrainCase{"readWaitGetsTheSetTheWriteWaitLeft",
                  receiving({ok(0), ok(0)}, {leaving(ok(1), {9})}),
                  pair(0, 0) + kGood,
                  0,
                  {"select(1, read={9}, write=-, except=-, timeout=30.000000)", kPeek, kLastError, kRead, kLastError}}),
    [](const testing::TestParamInfo<DrainCase>& info) { return std::string(info.param.name); });

}  // namespace
