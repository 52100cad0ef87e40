// The probe's calls made straight on POSIX, printing the same lines: the yardstick that
// the benchmark holds the probe and its socket layer against.
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kWouldBlock = 10035;
constexpr int kReadWaitMilliseconds = 30000;

void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

}  // namespace

int main()
{
    int lastError = 0;  // the last failed call's code, as the probe prints it
    const int one = 1;
    char buf[100];

    const int sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    require(sock >= 0);
    int nonBlocking = 1;
    require(::ioctl(sock, FIONBIO, &nonBlocking) == 0);
    require(::setsockopt(sock, SOL_SOCKET, SO_OOBINLINE, &one, sizeof(one)) == 0);
    require(::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)) == 0);

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* addr = nullptr;
    require(::getaddrinfo("example.com", "80", &hints, &addr) == 0);
    if (::connect(sock, addr->ai_addr, addr->ai_addrlen) != 0) {
        lastError = errno == EINPROGRESS ? kWouldBlock : errno;
    }
    ::freeaddrinfo(addr);

    pollfd watched{sock, POLLOUT, 0};
    require(::poll(&watched, 1, -1) == 1);
    require(::send(sock, "GET /\n", 7, MSG_NOSIGNAL) >= 0);

    watched.events = POLLIN;
    while (::poll(&watched, 1, kReadWaitMilliseconds) >= 0) {
        std::memset(buf, 0, sizeof(buf));
        int ret = static_cast<int>(::recv(sock, buf, sizeof(buf), MSG_PEEK));
        if (ret < 0) {
            break;
        }
        std::printf("peeked %i bytes, err %i\n", ret, lastError);
        ret = static_cast<int>(::recv(sock, buf, sizeof(buf), 0));
        if (ret < 0) {
            lastError = errno;
        }
        std::printf("read %i bytes, err %i\n", ret, lastError);
        if (ret == 0) {
            std::printf("detected connection close, GOOD\n");
            return 0;
        }
        if (ret < 0) {
            std::printf("ret didn't match?!, BAD\n");
            return 1;
        }
    }
    return 0;
}
