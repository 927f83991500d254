#include "support/test_server.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "platform/fs.h"
#include "platform/text.h"

// The only platform-specific part; a uintptr_t holds a Winsock SOCKET and a POSIX descriptor alike.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
using SockLen = int;
constexpr int kShutBoth = SD_BOTH, kShutSend = SD_SEND, kSendFlags = 0;
static const auto CloseSocket = &closesocket;
static WSADATA network;
[[maybe_unused]] static const int kNetworkStarted = WSAStartup(MAKEWORD(2, 2), &network);
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
using SockLen = socklen_t;
constexpr int kShutBoth = SHUT_RDWR, kShutSend = SHUT_WR;
constexpr int kSendFlags = MSG_NOSIGNAL;  // a client that hung up must not kill the test run
constexpr auto CloseSocket = &close;
#endif

namespace velka::testing_support {
namespace {

constexpr uintptr_t kNoSocket = ~uintptr_t{0};

// Bound to 127.0.0.1 at an ephemeral port and listening; kNoSocket on failure.
uintptr_t OpenListener(int* port) {
    const uintptr_t s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    SockLen length = sizeof(address);
    auto* name = reinterpret_cast<sockaddr*>(&address);
    if (bind(s, name, length) != 0 || listen(s, 64) != 0 || getsockname(s, name, &length) != 0) {
        CloseSocket(s);
        return kNoSocket;
    }
    *port = ntohs(address.sin_port);
    return s;
}

bool SendAll(uintptr_t s, const char* data, size_t size) {
    for (int n = 0; size > 0; data += n, size -= n) {
        if ((n = send(s, data, static_cast<int>(size), kSendFlags)) <= 0) return false;
    }
    return true;
}

}  // namespace

void EnsureCurlGlobalInit() {
    // Never undone (transfers may still run at exit); an empty proxy variable counts as unset.
    [[maybe_unused]] static const CURLcode done = [] {
        for (const char* unset :
             {"http_proxy=", "https_proxy=", "HTTPS_PROXY=", "all_proxy=", "ALL_PROXY="})
            putenv(const_cast<char*>(unset));
        return curl_global_init(CURL_GLOBAL_ALL);
    }();
}

std::string RecordedRequest::Header(const std::string& name) const {
    for (const auto& [key, value] : headers)
        if (curl_strequal(key.c_str(), name.c_str())) return value;
    return "";
}

TestServer::TestServer() : listener_(OpenListener(&port_)) {
    EnsureCurlGlobalInit();
    if (listener_ == kNoSocket) ADD_FAILURE() << "test server: cannot listen on 127.0.0.1";
    // Polls, since closing a socket does not wake a blocked accept everywhere.
    acceptThread_ = std::thread([this] {
        while (listener_ != kNoSocket && SleepMs(0)) {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(listener_, &readable);
            timeval wait{0, 20000};
            if (select(static_cast<int>(listener_) + 1, &readable, nullptr, nullptr, &wait) < 1)
                continue;
            const uintptr_t connection = accept(listener_, nullptr, nullptr);
            std::lock_guard<std::mutex> lock(mutex_);
            if (connection != kNoSocket && stopping_) CloseSocket(connection);
            if (connection == kNoSocket || stopping_) continue;
            connections_.insert(connection);
            connectionThreads_.emplace_back([this, connection] { Serve(connection); });
        }
    });
}

void TestServer::ServeFolder(const std::wstring& root) {
    SetHandler("", [root](const RecordedRequest& request) {
        const std::string& path = request.path;
        std::string bytes;
        const bool found =
            path.size() > 1 && ReadFileBytes(JoinPath(root, ToWide(path.substr(1))), &bytes);
        return found ? Reply::Ok(bytes) : Reply::WithStatus(404, "Not Found");
    });
}

void TestServer::SetHandler(const std::string& path, Handler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    handlers_[path] = std::move(handler);
}

std::vector<RecordedRequest> TestServer::Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

size_t TestServer::CountRequests(const std::string& path) const {
    const std::vector<RecordedRequest> all = Requests();
    return std::count_if(all.begin(), all.end(), [&](auto& r) { return r.path == path; });
}

void TestServer::Stop() {
    std::unique_lock<std::mutex> lock(mutex_);
    stopping_ = true;
    // Wakes connections blocked in recv; each closes its own socket.
    for (uintptr_t connection : connections_) shutdown(connection, kShutBoth);
    lock.unlock();
    stopped_.notify_all();
    if (acceptThread_.joinable()) acceptThread_.join();
    CloseSocket(std::exchange(listener_, kNoSocket));
    for (std::thread& thread : std::exchange(connectionThreads_, {})) thread.join();
}

void TestServer::Serve(uintptr_t connection) {
    std::string in;
    auto receive = [&] {
        char buffer[16384];
        const int n = static_cast<int>(recv(connection, buffer, sizeof(buffer), 0));
        in.append(buffer, static_cast<size_t>(std::max(n, 0)));
        return n > 0;
    };
    size_t end;
    while ((end = in.find("\r\n\r\n")) == std::string::npos && in.size() < 65536 && receive()) {
    }
    if (end != std::string::npos) {
        RecordedRequest request;
        std::istringstream lines(in.substr(0, end));
        std::string line;
        std::getline(lines >> request.method >> request.target, line);
        const std::string path = request.target.substr(0, request.target.find('?'));
        char* decoded = curl_easy_unescape(nullptr, path.c_str(), 0, nullptr);
        request.path = decoded;
        curl_free(decoded);
        while (std::getline(lines, line)) {
            const size_t colon = line.find(':');
            if (colon == std::string::npos) continue;
            const size_t value = std::min(line.find_first_not_of(' ', colon + 1), line.size());
            request.headers.emplace_back(line.substr(0, colon),
                                         line.substr(value, line.find('\r') - value));
        }
        in.erase(0, end + 4);
        const size_t length = std::strtoull(request.Header("Content-Length").c_str(), nullptr, 10);
        if (in.size() < length && curl_strequal(request.Header("Expect").c_str(), "100-continue")) {
            SendAll(connection, "HTTP/1.1 100 Continue\r\n\r\n", 25);
        }
        while (in.size() < length && receive()) {
        }
        request.body = in;
        Handler handler;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(request);
            handler = handlers_.count(request.path) ? handlers_[request.path] : handlers_[""];
        }
        const Reply reply = handler ? handler(request) : Reply::WithStatus(404, "Not Found");
        std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " Status\r\n";
        for (const auto& [name, value] : reply.headers) head += name + ": " + value + "\r\n";
        if (reply.sendContentLength)
            head += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
        head += "Connection: close\r\n\r\n";
        const size_t size = std::min(reply.body.size(), static_cast<size_t>(reply.sendBytes));
        const int64_t rate = reply.bytesPerSecond;
        const size_t piece = static_cast<size_t>(std::max<int64_t>(1, rate > 0 ? rate / 10 : size));
        bool going = !reply.dropConnection && SendAll(connection, head.data(), head.size());
        for (size_t sent = 0; going && (sent == 0 || sent < size); sent += piece) {
            going =
                SleepMs(sent == 0 ? reply.silenceMs : static_cast<int64_t>(piece) * 1000 / rate) &&
                SendAll(connection, reply.body.data() + sent, std::min(piece, size - sent));
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    // Half-close first so the client reads everything sent before it sees the end.
    shutdown(connection, kShutSend);
    CloseSocket(connection);
    connections_.erase(connection);
}

bool TestServer::SleepMs(int64_t ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !stopped_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_; });
}

int UnusedLocalPort() {
    int port = 0;
    CloseSocket(OpenListener(&port));
    return port;
}

}  // namespace velka::testing_support
