// A scripted web server for the offline runs: listens on 127.0.0.1:80, takes one
// connection and behaves as the named row of the table below. It records the bytes it
// received, in hex, and ends by itself after a bounded time.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kRequestSize = 7;
constexpr int kQuietMilliseconds = 300;     // how long a finished request must stay finished
constexpr int kLifetimeMilliseconds = 60000;  // no behaviour keeps a connection longer

struct Options {
    std::size_t bytes = 40;
    std::string receivedFile;
};

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "peer: %s: %s\n", what, std::strerror(errno));
    std::exit(2);
}

bool readable(int fd, int milliseconds)
{
    pollfd watched{fd, POLLIN, 0};
    return ::poll(&watched, 1, milliseconds) > 0;
}

// Reads the request, then anything more the client sends before it goes quiet, so that
// a close afterwards leaves nothing unread (which would turn the close into a reset).
std::string readRequest(int fd)
{
    std::string received;
    char chunk[4096];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        const bool complete = received.size() >= kRequestSize;
        if (!readable(fd, complete ? kQuietMilliseconds : 100)) {
            if (complete) {
                break;
            }
            continue;
        }
        const ssize_t got = ::recv(fd, chunk, sizeof(chunk), 0);
        if (got <= 0) {
            break;
        }
        received.append(chunk, static_cast<std::size_t>(got));
    }
    return received;
}

void sendAll(int fd, const std::string& data, int flags = 0)
{
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, flags | MSG_NOSIGNAL);
        if (n < 0) {
            fail("send");
        }
        sent += static_cast<std::size_t>(n);
    }
}

std::string reply(std::size_t size)
{
    std::string text(size, 'x');
    for (std::size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>('a' + i % 26);
    }
    return text;
}

void reset(int fd)
{
    const linger abort{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
    ::close(fd);
}

// Waits for the client to go away, within the lifetime.
void holdUntilClosed(int fd)
{
    char chunk[256];
    while (readable(fd, kLifetimeMilliseconds) && ::recv(fd, chunk, sizeof(chunk), 0) > 0) {
    }
    ::close(fd);
}

void replyAndClose(int fd, const Options& options)
{
    sendAll(fd, reply(options.bytes));
    ::close(fd);
}

void halfClose(int fd, const Options& options)
{
    sendAll(fd, reply(options.bytes));
    ::shutdown(fd, SHUT_WR);
    holdUntilClosed(fd);
}

void resetAfterData(int fd, const Options& options)
{
    sendAll(fd, reply(options.bytes));
    reset(fd);
}

void urgentAmongData(int fd, const Options&)
{
    sendAll(fd, "abc");
    sendAll(fd, "!", MSG_OOB);
    sendAll(fd, "defg");
    ::close(fd);
}

void trickle(int fd, const Options& options)
{
    for (char byte : reply(options.bytes)) {
        sendAll(fd, std::string(1, byte));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::close(fd);
}

void silent(int fd, const Options&) { holdUntilClosed(fd); }

struct Behaviour {
    const char* name;
    const char* summary;
    bool readsRequest;  // false: acts on accept, before the request arrives
    void (*act)(int fd, const Options& options);
};

const Behaviour kBehaviours[] = {
    {"reply", "replies --bytes N bytes (40), then closes", true, replyAndClose},
    {"half-close", "replies N bytes, shuts its sending side and keeps the connection open", true, halfClose},
    {"reset-after-data", "replies N bytes, then resets the connection (SO_LINGER 0)", true, resetAfterData},
    {"reset-on-accept", "resets the connection at once, before the request", false,
     [](int fd, const Options&) { reset(fd); }},
    {"urgent", "sends 3 bytes, 1 urgent (out-of-band) byte and 4 bytes, then closes", true, urgentAmongData},
    {"trickle", "sends N bytes one at a time, 20 ms apart, then closes", true, trickle},
    {"silent", "neither sends nor closes", true, silent},
};

void usage()
{
    std::fprintf(stderr, "usage: peer BEHAVIOUR [--bytes N] [--received FILE] [--ready FILE]\n       peer --list\n");
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--list") == 0) {
        for (const Behaviour& behaviour : kBehaviours) {
            std::printf("%s\t%s\n", behaviour.name, behaviour.summary);
        }
        return 0;
    }
    if (argc < 2) {
        usage();
    }
    const Behaviour* chosen = nullptr;
    for (const Behaviour& behaviour : kBehaviours) {
        if (std::strcmp(argv[1], behaviour.name) == 0) {
            chosen = &behaviour;
        }
    }
    if (chosen == nullptr) {
        usage();
    }
    Options options;
    std::string readyFile;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--bytes") {
            options.bytes = std::strtoull(argv[i + 1], nullptr, 10);
        } else if (flag == "--received") {
            options.receivedFile = argv[i + 1];
        } else if (flag == "--ready") {
            readyFile = argv[i + 1];
        } else {
            usage();
        }
    }

    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(80);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || ::listen(listener, 1) != 0) {
        fail("listen on 127.0.0.1:80");
    }
    if (!readyFile.empty()) {
        std::ofstream(readyFile) << "listening\n";
    }
    if (!readable(listener, kLifetimeMilliseconds)) {
        std::fprintf(stderr, "peer: nobody connected\n");
        return 1;
    }
    const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) {
        fail("accept");
    }
    std::string received;
    if (chosen->readsRequest) {
        received = readRequest(connection);
    }
    if (!options.receivedFile.empty()) {
        std::ofstream file(options.receivedFile);
        for (std::size_t i = 0; i < received.size(); ++i) {
            char hex[4];
            std::snprintf(hex, sizeof(hex), i == 0 ? "%02x" : " %02x", static_cast<unsigned char>(received[i]));
            file << hex;
        }
        file << "\n";
    }
    chosen->act(connection, options);
    return 0;
}
