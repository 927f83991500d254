// velka-bench-server: a small static HTTP/1.1 server for the benchmarks. It serves a folder on
// 127.0.0.1 with sendfile(2), one thread per connection, so that the server costs next to
// nothing and a download comparison measures the clients. Every response closes its connection
// (the launcher opens a fresh one per transfer anyway).
//
//   velka-bench-server ROOT [PORT]     prints the port it listens on, then serves until killed
//
// GET and HEAD only; the path is percent-decoded, the query dropped, and any path with a ".."
// component or that is not a regular file answers 404. Linux only.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace velka {
namespace {

std::string g_root;

bool SendAll(int socket, const std::string& text) {
    size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = ::send(socket, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The file path for a request target; empty when it is not acceptable.
std::string LocalPath(const std::string& target) {
    std::string path;
    for (size_t i = 0; i < target.size() && target[i] != '?' && target[i] != '#'; ++i) {
        if (target[i] == '%' && i + 2 < target.size() && HexValue(target[i + 1]) >= 0 &&
            HexValue(target[i + 2]) >= 0) {
            path += static_cast<char>(HexValue(target[i + 1]) * 16 + HexValue(target[i + 2]));
            i += 2;
        } else {
            path += target[i];
        }
    }
    if (path.empty() || path[0] != '/' || path.find('\0') != std::string::npos) return "";
    for (size_t at = 0; at != std::string::npos;) {
        const size_t next = path.find('/', at + 1);
        if (path.compare(at + 1, next == std::string::npos ? std::string::npos : next - at - 1,
                         "..") == 0) {
            return "";
        }
        at = next;
    }
    return g_root + path;
}

void Serve(int socket) {
    std::string request;
    char piece[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
        const ssize_t n = ::recv(socket, piece, sizeof(piece), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ::close(socket);
            return;
        }
        request.append(piece, static_cast<size_t>(n));
    }
    const size_t methodEnd = request.find(' ');
    const size_t targetEnd = request.find(' ', methodEnd + 1);
    const std::string method = request.substr(0, methodEnd);
    const std::string target = methodEnd == std::string::npos || targetEnd == std::string::npos
                                   ? std::string()
                                   : request.substr(methodEnd + 1, targetEnd - methodEnd - 1);
    const std::string path = LocalPath(target);
    int fd = -1;
    struct stat info {};
    if (!path.empty()) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0 && (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
        ::close(fd);
        fd = -1;
    }
    if ((method != "GET" && method != "HEAD") || fd < 0) {
        SendAll(socket, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    } else {
        const std::string head =
            "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
            "Content-Length: " +
            std::to_string(info.st_size) + "\r\nConnection: close\r\n\r\n";
        if (SendAll(socket, head) && method == "GET") {
            off_t offset = 0;
            while (offset < info.st_size) {
                const ssize_t n =
                    ::sendfile(socket, fd, &offset, static_cast<size_t>(info.st_size - offset));
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
            }
        }
    }
    if (fd >= 0) ::close(fd);
    ::shutdown(socket, SHUT_WR);
    ::close(socket);
}

int Main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s ROOT [PORT]\n", argv[0]);
        return 2;
    }
    g_root = argv[1];
    while (g_root.size() > 1 && g_root.back() == '/') g_root.pop_back();
    const int port = argc > 2 ? std::atoi(argv[2]) : 0;
    ::signal(SIGPIPE, SIG_IGN);

    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(listener, 128) != 0) {
        std::perror("bind/listen");
        return 1;
    }
    socklen_t length = sizeof(address);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    std::printf("%d\n", ntohs(address.sin_port));
    std::fflush(stdout);

    for (;;) {
        const int socket = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (socket < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            std::perror("accept");
            return 1;
        }
        std::thread(Serve, socket).detach();
    }
}

}  // namespace
}  // namespace velka

int main(int argc, char** argv) {
    return velka::Main(argc, argv);
}
