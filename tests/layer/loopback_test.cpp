// The socket layer against real TCP connections on 127.0.0.1.
#include <ws2/api.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

namespace {

int hostSocket()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        ADD_FAILURE() << "socket: " << std::strerror(errno);
    }
    return fd;
}

::sockaddr_in loopback(in_port_t port)
{
    ::sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A listening peer made with the host's own calls.
class Listener {
public:
    Listener() : fd_(hostSocket())
    {
        ::sockaddr_in address = loopback(0);
        socklen_t length = sizeof(address);
        if (::bind(fd_, reinterpret_cast<::sockaddr*>(&address), sizeof(address)) != 0 || ::listen(fd_, 8) != 0 ||
            ::getsockname(fd_, reinterpret_cast<::sockaddr*>(&address), &length) != 0) {
            ADD_FAILURE() << "listener: " << std::strerror(errno);
        }
        port_ = ntohs(address.sin_port);
    }
    ~Listener() { ::close(fd_); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    in_port_t port() const { return port_; }
    int accept() const { return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC); }

private:
    int fd_;
    in_port_t port_ = 0;
};

// A port with no listener: bound once to learn a free number, then released.
in_port_t closedPort()
{
    const Listener probe;
    return probe.port();
}

void resetConnection(int fd)
{
    const ::linger abort{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
    ::close(fd);
}

class Loopback : public testing::Test {
protected:
    void SetUp() override
    {
        ws2::WSADATA data{};
        ASSERT_EQ(ws2::WSAStartup(ws2::makeWord(2, 2), &data), 0);
        ws2::WSASetLastError(0);
    }

    void TearDown() override
    {
        for (ws2::SOCKET s : opened_) {
            ::close(static_cast<int>(s));
        }
    }

    ws2::SOCKET nonBlockingSocket()
    {
        const ws2::SOCKET s = ws2::socket(ws2::kAfInet, ws2::kSockStream, ws2::kIpprotoTcp);
        EXPECT_NE(s, ws2::kInvalidSocket);
        opened_.push_back(s);
        ws2::u_long nonBlocking = 1;
        EXPECT_EQ(ws2::ioctlsocket(s, ws2::kFionbio, &nonBlocking), ws2::kNoError);
        return s;
    }

    static int connectTo(ws2::SOCKET s, in_port_t port)
    {
        const ::sockaddr_in address = loopback(port);
        ws2::sockaddr name{};
        std::memcpy(&name, &address, sizeof(name));
        return ws2::connect(s, &name, sizeof(name));
    }

    // A connection made through the layer, and the peer's end of it.
    ws2::SOCKET connected(const Listener& listener, int& peer)
    {
        const ws2::SOCKET s = nonBlockingSocket();
        connectTo(s, listener.port());
        peer = listener.accept();
        EXPECT_GE(peer, 0);
        waitFor(s, Direction::Write);
        return s;
    }

    enum class Direction { Read, Write };

    static int waitFor(ws2::SOCKET s, Direction direction, const timeval* limit = nullptr)
    {
        ws2::fd_set set{};
        ws2::fdSet(s, &set);
        return direction == Direction::Read ? ws2::select(1, &set, nullptr, nullptr, limit)
                                            : ws2::select(1, nullptr, &set, nullptr, limit);
    }

private:
    std::vector<ws2::SOCKET> opened_;
};

TEST_F(Loopback, StartupGivesVersionTwoTwoAndRefusesOlder)
{
    ws2::WSADATA data{};
    ASSERT_EQ(ws2::WSAStartup(ws2::makeWord(2, 2), &data), 0);
    EXPECT_EQ(data.wVersion, 0x0202);
    EXPECT_EQ(data.wHighVersion, 0x0202);
    EXPECT_EQ(ws2::WSAStartup(ws2::makeWord(1, 1), &data), ws2::WSAVERNOTSUPPORTED);
}

TEST_F(Loopback, ConnectUnderWayWouldBlockThenTheSocketIsWritable)
{
    const Listener listener;
    const ws2::SOCKET s = nonBlockingSocket();
    EXPECT_EQ(connectTo(s, listener.port()), ws2::kSocketError);
    EXPECT_EQ(ws2::WSAGetLastError(), ws2::WSAEWOULDBLOCK);
    EXPECT_EQ(waitFor(s, Direction::Write), 1);
}

TEST_F(Loopback, OptionsReachTheHostSocket)
{
    const ws2::SOCKET s = nonBlockingSocket();
    const int on = 1;
    const char* value = reinterpret_cast<const char*>(&on);
    ASSERT_EQ(ws2::setsockopt(s, ws2::kSolSocket, ws2::kSoOobinline, value, sizeof(on)), 0);
    ASSERT_EQ(ws2::setsockopt(s, ws2::kIpprotoTcp, ws2::kTcpNodelay, value, sizeof(on)), 0);

    const int fd = static_cast<int>(s);
    int oobInline = 0;
    int noDelay = 0;
    socklen_t length = sizeof(int);
    ASSERT_EQ(::getsockopt(fd, SOL_SOCKET, SO_OOBINLINE, &oobInline, &length), 0);
    ASSERT_EQ(::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, &length), 0);
    EXPECT_EQ(oobInline, 1);
    EXPECT_EQ(noDelay, 1);
    EXPECT_NE(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
}

TEST_F(Loopback, UrgentDataArrivesInlineWithTheOptionSet)
{
    const Listener listener;
    int peer = -1;
    const ws2::SOCKET s = connected(listener, peer);
    const int on = 1;
    ASSERT_EQ(ws2::setsockopt(s, ws2::kSolSocket, ws2::kSoOobinline, reinterpret_cast<const char*>(&on), sizeof(on)), 0);
    ASSERT_EQ(::send(peer, "ab", 2, 0), 2);
    ASSERT_EQ(::send(peer, "c", 1, MSG_OOB), 1);
    ::close(peer);

    std::string received;
    char buf[16];
    for (int got = 1; got > 0;) {
        ASSERT_EQ(waitFor(s, Direction::Read), 1);
        got = ws2::recv(s, buf, sizeof(buf), 0);
        ASSERT_GE(got, 0) << ws2::WSAGetLastError();
        received.append(buf, static_cast<std::size_t>(got));
    }
    EXPECT_EQ(received, "abc");
}

TEST_F(Loopback, SelectCoversAHighHandleWhateverTheFirstArgument)
{
    const Listener listener;
    int peer = -1;
    const ws2::SOCKET s = connected(listener, peer);
    // Above the host's own select limit of 1024 descriptors.
    ::rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    const int high = 1500;
    if (limit.rlim_max <= static_cast<rlim_t>(high)) {
        GTEST_SKIP() << "descriptor limit " << limit.rlim_max << " is below " << high;
    }
    limit.rlim_cur = limit.rlim_max;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    ASSERT_EQ(::dup3(static_cast<int>(s), high, O_CLOEXEC), high);
    ASSERT_EQ(::send(peer, "x", 1, 0), 1);

    ws2::fd_set set{};
    ws2::fdSet(high, &set);
    EXPECT_EQ(ws2::select(1, &set, nullptr, nullptr, nullptr), 1);
    ASSERT_EQ(set.fd_count, 1U);
    EXPECT_EQ(set.fd_array[0], static_cast<ws2::SOCKET>(high));
    ::close(high);
    ::close(peer);
}

TEST_F(Loopback, SelectLeavesTheReadySubsetAndCountsAcrossSets)
{
    const Listener listener;
    int quietPeer = -1;
    int talkingPeer = -1;
    const ws2::SOCKET quiet = connected(listener, quietPeer);
    const ws2::SOCKET talking = connected(listener, talkingPeer);
    ASSERT_EQ(::send(talkingPeer, "x", 1, 0), 1);
    ASSERT_EQ(waitFor(talking, Direction::Read), 1);

    ws2::fd_set readable{};
    ws2::fdSet(quiet, &readable);
    ws2::fdSet(talking, &readable);
    ws2::fd_set writable{};
    ws2::fdSet(quiet, &writable);
    ws2::fdSet(talking, &writable);
    EXPECT_EQ(ws2::select(1, &readable, &writable, nullptr, nullptr), 3);
    ASSERT_EQ(readable.fd_count, 1U);
    EXPECT_EQ(readable.fd_array[0], talking);
    EXPECT_EQ(writable.fd_count, 2U);
    ::close(quietPeer);
    ::close(talkingPeer);
}

TEST_F(Loopback, SelectTimesOutWithZeroAndAnEmptySet)
{
    const Listener listener;
    int peer = -1;
    const ws2::SOCKET s = connected(listener, peer);
    ws2::fd_set set{};
    ws2::fdSet(s, &set);
    const timeval limit{0, 20000};
    EXPECT_EQ(ws2::select(1, &set, nullptr, nullptr, &limit), 0);
    EXPECT_EQ(set.fd_count, 0U);
    // An empty wait is an argument error, not a sleep.
    EXPECT_EQ(ws2::select(1, &set, nullptr, nullptr, &limit), ws2::kSocketError);
    EXPECT_EQ(ws2::WSAGetLastError(), ws2::WSAEINVAL);
    ::close(peer);
}

// Signals keep arriving for far longer than the time-out: a wait that restarted with its
// whole time-out each time would not end before they stop.
TEST_F(Loopback, SelectRestartsAfterSignalsWithTheTimeLeft)
{
    const Listener listener;
    int peer = -1;
    const ws2::SOCKET s = connected(listener, peer);
    struct sigaction interrupt {};
    interrupt.sa_handler = [](int) {};
    ASSERT_EQ(::sigaction(SIGUSR1, &interrupt, nullptr), 0);  // no SA_RESTART: the wait sees EINTR

    std::atomic<bool> waiting{true};
    const pthread_t waiter = ::pthread_self();
    std::thread signaller([&] {
        const auto stop = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (waiting && std::chrono::steady_clock::now() < stop) {
            ::pthread_kill(waiter, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    const auto start = std::chrono::steady_clock::now();
    const timeval limit{0, 200000};
    const int ready = waitFor(s, Direction::Read, &limit);
    const auto waited = std::chrono::steady_clock::now() - start;
    waiting = false;
    signaller.join();
    ::signal(SIGUSR1, SIG_DFL);

    EXPECT_EQ(ready, 0) << ws2::WSAGetLastError();
    EXPECT_LT(waited, std::chrono::milliseconds(2500));
    ::close(peer);
}

TEST_F(Loopback, RefusedConnectIsWritableAndTheSendReportsTheRefusal)
{
    const ws2::SOCKET s = nonBlockingSocket();
    connectTo(s, closedPort());
    EXPECT_EQ(waitFor(s, Direction::Write), 1);
    EXPECT_EQ(ws2::send(s, "GET /\n", 7, 0), ws2::kSocketError);
    EXPECT_EQ(ws2::WSAGetLastError(), ws2::WSAECONNREFUSED);
}

TEST_F(Loopback, SendToAResetPeerFailsWithoutSigpipe)
{
    std::signal(SIGPIPE, SIG_DFL);  // a SIGPIPE would end this test process
    const Listener listener;
    int peer = -1;
    const ws2::SOCKET s = connected(listener, peer);
    resetConnection(peer);
    ASSERT_EQ(waitFor(s, Direction::Read), 1);
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(ws2::send(s, "GET /\n", 7, 0), ws2::kSocketError);
        EXPECT_EQ(ws2::WSAGetLastError(), ws2::WSAECONNRESET);
    }
}

TEST_F(Loopback, PeekLeavesTheDataAndAnOrderlyCloseReadsZero)
{
    const Listener listener;
    int peer = -1;
    const ws2::SOCKET s = connected(listener, peer);
    ASSERT_EQ(::send(peer, "abc", 3, 0), 3);
    ::close(peer);
    ASSERT_EQ(waitFor(s, Direction::Read), 1);

    char buf[100] = {};
    EXPECT_EQ(ws2::recv(s, buf, sizeof(buf), ws2::kMsgPeek), 3);
    EXPECT_EQ(ws2::recv(s, buf, sizeof(buf), ws2::kMsgPeek), 3);
    EXPECT_EQ(ws2::recv(s, buf, sizeof(buf), 0), 3);
    EXPECT_EQ(std::string(buf, 3), "abc");
    EXPECT_EQ(waitFor(s, Direction::Read), 1);
    EXPECT_EQ(ws2::recv(s, buf, sizeof(buf), ws2::kMsgPeek), 0);
    EXPECT_EQ(ws2::recv(s, buf, sizeof(buf), 0), 0);
}

TEST_F(Loopback, ResetIsReadableAndReadsAsConnectionReset)
{
    const Listener listener;
    int peer = -1;
    const ws2::SOCKET s = connected(listener, peer);
    resetConnection(peer);
    ASSERT_EQ(waitFor(s, Direction::Read), 1);
    char buf[100];
    EXPECT_EQ(ws2::recv(s, buf, sizeof(buf), 0), ws2::kSocketError);
    EXPECT_EQ(ws2::WSAGetLastError(), ws2::WSAECONNRESET);
}

TEST_F(Loopback, LastErrorIsPerThreadAndLeftAloneBySuccess)
{
    const Listener listener;
    int peer = -1;
    const ws2::SOCKET s = connected(listener, peer);
    char buf[100];
    EXPECT_EQ(ws2::recv(s, buf, sizeof(buf), 0), ws2::kSocketError);
    EXPECT_EQ(ws2::WSAGetLastError(), ws2::WSAEWOULDBLOCK);

    ASSERT_EQ(::send(peer, "x", 1, 0), 1);
    ASSERT_EQ(waitFor(s, Direction::Read), 1);
    EXPECT_EQ(ws2::recv(s, buf, sizeof(buf), 0), 1);
    EXPECT_EQ(ws2::WSAGetLastError(), ws2::WSAEWOULDBLOCK);

    int seenElsewhere = -1;
    std::thread other([&] {
        seenElsewhere = ws2::WSAGetLastError();
        ws2::WSASetLastError(ws2::WSAECONNRESET);
    });
    other.join();
    EXPECT_EQ(seenElsewhere, 0);
    EXPECT_EQ(ws2::WSAGetLastError(), ws2::WSAEWOULDBLOCK);
    ::close(peer);
}

struct RefusedCall {
    const char* name;
    std::function<int()> call;  // returns the call's result, SOCKET_ERROR expected
    int code;
};

class Refusal : public testing::TestWithParam<RefusedCall> {};

void PrintTo(const RefusedCall& refused, std::ostream* os) { *os << refused.name; }

TEST_P(Refusal, ReportsThePlatformCode)
{
    ws2::WSASetLastError(0);
    EXPECT_EQ(GetParam().call(), ws2::kSocketError);
    EXPECT_EQ(ws2::WSAGetLastError(), GetParam().code);
}

ws2::SOCKET freshSocket() { return ws2::socket(ws2::kAfInet, ws2::kSockStream, ws2::kIpprotoTcp); }

const int kOne = 1;
const char* const kOneBytes = reinterpret_cast<const char*>(&kOne);

INSTANTIATE_TEST_SUITE_P(
    EachCall, Refusal,
    testing::Values(
        RefusedCall{"unknownOption",
                    [] { return ws2::setsockopt(freshSocket(), ws2::kSolSocket, 0x0008, kOneBytes, 4); }, ws2::WSAENOPROTOOPT},
        RefusedCall{"hostLevelValuesAreNotThePlatforms",
                    [] { return ws2::setsockopt(freshSocket(), SOL_SOCKET, SO_OOBINLINE, kOneBytes, 4); },
                    ws2::WSAENOPROTOOPT},
        RefusedCall{"shortOptionValue",
                    [] { return ws2::setsockopt(freshSocket(), ws2::kIpprotoTcp, ws2::kTcpNodelay, kOneBytes, 2); },
                    ws2::WSAEFAULT},
        RefusedCall{"unknownIoctl",
                    [] {
                        ws2::u_long value = 1;
                        return ws2::ioctlsocket(freshSocket(), 0x4004667F, &value);
                    },
                    ws2::WSAEINVAL},
        RefusedCall{"closedHandle", [] { char b[1]; return ws2::recv(1000000, b, 1, 0); }, ws2::WSAENOTSOCK},
        RefusedCall{"invalidSocket", [] { return ws2::send(ws2::kInvalidSocket, "x", 1, 0); }, ws2::WSAENOTSOCK},
        RefusedCall{"notConnected", [] { char b[1]; return ws2::recv(freshSocket(), b, 1, 0); }, ws2::WSAENOTCONN},
        RefusedCall{"otherFamily",
                    [] { return ws2::socket(23, ws2::kSockStream, 0) == ws2::kInvalidSocket ? ws2::kSocketError : 0; },
                    ws2::WSAEAFNOSUPPORT}),
    [](const testing::TestParamInfo<RefusedCall>& info) { return std::string(info.param.name); });

class Resolver : public testing::Test {
protected:
    ws2::addrinfo hints{};
    ws2::addrinfo* list = nullptr;
    void SetUp() override
    {
        hints.ai_family = ws2::kAfInet;
        hints.ai_socktype = ws2::kSockStream;
        hints.ai_protocol = ws2::kIpprotoTcp;
    }
    void TearDown() override { ws2::freeaddrinfo(list); }
};

TEST_F(Resolver, GivesTheAddressInThePlatformsLayout)
{
    ASSERT_EQ(ws2::getaddrinfo("127.0.0.1", "80", &hints, &list), 0);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->ai_family, ws2::kAfInet);
    EXPECT_EQ(list->ai_socktype, ws2::kSockStream);
    EXPECT_EQ(list->ai_addrlen, 16U);
    EXPECT_EQ(list->ai_canonname, nullptr);
    ASSERT_NE(list->ai_addr, nullptr);
    EXPECT_EQ(list->ai_addr->sa_family, ws2::kAfInet);
    const unsigned char expected[6] = {0, 80, 127, 0, 0, 1};  // port, then address, in network order
    EXPECT_EQ(std::memcmp(list->ai_addr->sa_data, expected, sizeof(expected)), 0);
}

TEST_F(Resolver, UnknownHostIsHostNotFound)
{
    // A numeric-only lookup answers without asking any name server.
    hints.ai_flags = ws2::kAiNumerichost;
    EXPECT_EQ(ws2::getaddrinfo("no-such-host", "80", &hints, &list), ws2::WSAHOST_NOT_FOUND);
    EXPECT_EQ(ws2::WSAGetLastError(), ws2::WSAHOST_NOT_FOUND);
    EXPECT_EQ(list, nullptr);
}

TEST_F(Resolver, RefusesWhatItCannotGive)
{
    hints.ai_family = 23;
    EXPECT_EQ(ws2::getaddrinfo("127.0.0.1", "80", &hints, &list), ws2::WSAEAFNOSUPPORT);
    hints.ai_family = ws2::kAfInet;
    hints.ai_flags = 0x0400;
    EXPECT_EQ(ws2::getaddrinfo("127.0.0.1", "80", &hints, &list), ws2::WSAEINVAL);
    EXPECT_EQ(list, nullptr);
}

}  // namespace
