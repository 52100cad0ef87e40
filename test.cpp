// Connection-close probe: connects to a web server over a non-blocking socket that
// takes out-of-band data inline and sends without delay, then drains the reply in
// cycles of wait, peek and read. Once a wait and a peek have succeeded, the read must
// succeed too, and the server's orderly close must show as a read of 0 bytes (GOOD),
// not as an error (BAD).

// The checks below must hold in every build, Release included.
#undef NDEBUG

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cassert>
#include <cstdio>
#include <cstring>

// A server that neither sends nor closes ends the probe here, without a verdict.
const int readWaitSeconds = 30;

int main()
{
    u_long nonblock = 1;
    int optVal = 1;
    char send_data[] = "GET /\n";
    fd_set myset;
    FD_ZERO(&myset);
    addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    char buf[100];
    memset(buf, 0, sizeof(buf));
    timeval readWait;
    readWait.tv_sec = readWaitSeconds;
    readWait.tv_usec = 0;

    WSADATA wsaData;
    assert(WSAStartup(MAKEWORD(2, 2), &wsaData) == 0);

    SOCKET sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    assert(sock != INVALID_SOCKET);
    FD_SET(sock, &myset);

    assert(ioctlsocket(sock, FIONBIO, &nonblock) == NO_ERROR);
    assert(setsockopt(sock, SOL_SOCKET, SO_OOBINLINE, (char*)&optVal, sizeof(optVal)) == 0);
    assert(setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, (char*)&optVal, sizeof(optVal)) == 0);

    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* addr = NULL;
    assert(getaddrinfo("example.com", "80", &hints, &addr) == 0);

    // The write wait tells when the connection is made; this result is kept, not examined.
    // NOLINTNEXTLINE(clang-analyzer-deadcode.DeadStores)
    int ret = connect(sock, addr->ai_addr, (int)addr->ai_addrlen);
    freeaddrinfo(addr);

    assert(select(1, NULL, &myset, NULL, 0) == 1);
    assert(send(sock, send_data, sizeof(send_data), 0) != SOCKET_ERROR);

    while (select(1, &myset, NULL, NULL, &readWait) != SOCKET_ERROR) {
        memset(buf, 0, sizeof(buf));
        ret = recv(sock, buf, sizeof(buf), MSG_PEEK);
        if (ret == SOCKET_ERROR) {
            break;
        }
        printf("peeked %i bytes, err %i\n", ret, WSAGetLastError());

        ret = recv(sock, buf, sizeof(buf), 0);
        printf("read %i bytes, err %i\n", ret, WSAGetLastError());
        if (ret == 0) {
            printf("detected connection close, GOOD\n");
            return 0;
        }
        if (ret == SOCKET_ERROR) {
            printf("ret didn't match?!, BAD\n");
            return 1;
        }
    }
    return 0;
}
