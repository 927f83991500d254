#include "support/test_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>

#include "platform/fs.h"
#include "platform/text.h"
#include "support/curl_env.h"

// The only platform-specific part: the few socket calls the server makes.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
namespace {
using NativeSocket = SOCKET;
using SockLen = int;
constexpr int kShutdownBoth = SD_BOTH;
constexpr int kShutdownSend = SD_SEND;
constexpr int kSendFlags = 0;
void CloseNative(NativeSocket s) {
    closesocket(s);
}
struct NetworkUse {
    NetworkUse() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~NetworkUse() { WSACleanup(); }
};
}  // namespace
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
namespace {
using NativeSocket = int;
using SockLen = socklen_t;
constexpr int kShutdownBoth = SHUT_RDWR;
constexpr int kShutdownSend = SHUT_WR;
constexpr int kSendFlags = MSG_NOSIGNAL;  // a client that hung up must not kill the test run
void CloseNative(NativeSocket s) {
    close(s);
}
struct NetworkUse {};
}  // namespace
#endif

namespace velka {
namespace testing_support {

namespace {

using Socket = uintptr_t;
const Socket kNoSocket = static_cast<Socket>(-1);

NativeSocket Native(Socket s) {
    return static_cast<NativeSocket>(s);
}

void CloseSocket(Socket s) {
    CloseNative(Native(s));
}

// Bound to 127.0.0.1 at an ephemeral port and listening; kNoSocket on failure.
Socket OpenListener(int* port) {
    static NetworkUse network;
    (void)network;
    NativeSocket s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (static_cast<Socket>(s) == kNoSocket) return kNoSocket;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    SockLen length = sizeof(address);
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(s, 64) != 0 || getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        CloseNative(s);
        return kNoSocket;
    }
    *port = ntohs(address.sin_port);
    return static_cast<Socket>(s);
}

// True when `s` has a connection to accept within `timeoutMs`.
bool WaitReadable(Socket s, int timeoutMs) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(Native(s), &readable);
    timeval timeout{};
    timeout.tv_sec = timeoutMs / 1000;
    timeout.tv_usec = (timeoutMs % 1000) * 1000;
    return select(static_cast<int>(Native(s) + 1), &readable, nullptr, nullptr, &timeout) > 0;
}

int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string PercentDecode(const std::string& text) {
    std::string decoded;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() &&
            std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            decoded += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            decoded += text[i];
        }
    }
    return decoded;
}

const char* ReasonPhrase(int status) {
    switch (status) {
        case 100:
            return "Continue";
        case 200:
            return "OK";
        case 204:
            return "No Content";
        case 226:
            return "IM Used";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 303:
            return "See Other";
        case 307:
            return "Temporary Redirect";
        case 308:
            return "Permanent Redirect";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 500:
            return "Internal Server Error";
        case 503:
            return "Service Unavailable";
        default:
            return "Status";
    }
}

// Parses the request line and headers of `head` (which ends before the blank line).
bool ParseHead(const std::string& head, RecordedRequest* request) {
    size_t lineEnd = head.find("\r\n");
    const std::string requestLine = head.substr(0, lineEnd);
    const size_t firstBlank = requestLine.find(' ');
    const size_t secondBlank = requestLine.find(' ', firstBlank + 1);
    if (firstBlank == std::string::npos || secondBlank == std::string::npos) return false;
    request->method = requestLine.substr(0, firstBlank);
    request->target = requestLine.substr(firstBlank + 1, secondBlank - firstBlank - 1);
    request->path = PercentDecode(request->target.substr(0, request->target.find('?')));
    while (lineEnd != std::string::npos) {
        const size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        const std::string line =
            head.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
        const size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        const size_t valueStart = line.find_first_not_of(' ', colon + 1);
        request->headers.emplace_back(line.substr(0, colon), valueStart == std::string::npos
                                                                 ? std::string()
                                                                 : line.substr(valueStart));
    }
    return true;
}

}  // namespace

std::string RecordedRequest::Header(const std::string& name) const {
    const std::string wanted = Lower(name);
    for (const auto& header : headers) {
        if (Lower(header.first) == wanted) return header.second;
    }
    return std::string();
}

TestServer::TestServer() {
    EnsureCurlGlobalInit();
    listener_ = OpenListener(&port_);
    if (listener_ == kNoSocket) {
        ADD_FAILURE() << "test server: cannot listen on 127.0.0.1";
        return;
    }
    acceptThread_ = std::thread([this] { AcceptLoop(); });
}

TestServer::~TestServer() {
    Stop();
}

std::string TestServer::BaseUrl() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/";
}

std::string TestServer::Url(const std::string& path) const {
    return BaseUrl() + (path.rfind('/', 0) == 0 ? path.substr(1) : path);
}

void TestServer::ServeFolder(const std::wstring& root) {
    std::lock_guard<std::mutex> lock(mutex_);
    root_ = root;
}

void TestServer::SetHandler(const std::string& path, Handler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    handlers_[path] = std::move(handler);
}

void TestServer::SetReply(const std::string& path, Reply reply) {
    SetHandler(path, [reply](const RecordedRequest&) { return reply; });
}

std::vector<RecordedRequest> TestServer::Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

size_t TestServer::CountRequests(const std::string& path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<size_t>(
        std::count_if(requests_.begin(), requests_.end(),
                      [&](const RecordedRequest& request) { return request.path == path; }));
}

void TestServer::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
        // Wakes connections blocked in recv; each closes its own socket.
        for (Socket connection : connections_) shutdown(Native(connection), kShutdownBoth);
    }
    stopped_.notify_all();
    if (acceptThread_.joinable()) acceptThread_.join();
    if (listener_ != kNoSocket) CloseSocket(listener_);
    listener_ = kNoSocket;
    // No thread is added once the accept loop has ended.
    for (std::thread& thread : connectionThreads_) thread.join();
    connectionThreads_.clear();
}

void TestServer::AcceptLoop() {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) return;
        }
        // Polling keeps the stop simple: closing a socket does not wake accept everywhere.
        if (!WaitReadable(listener_, 20)) continue;
        const NativeSocket accepted = accept(Native(listener_), nullptr, nullptr);
        const Socket connection = static_cast<Socket>(accepted);
        if (connection == kNoSocket) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) {
            CloseSocket(connection);
            return;
        }
        connections_.insert(connection);
        connectionThreads_.emplace_back([this, connection] { Serve(connection); });
    }
}

void TestServer::Serve(Socket connection) {
    std::string received;
    char buffer[16384];
    size_t headEnd = std::string::npos;
    while ((headEnd = received.find("\r\n\r\n")) == std::string::npos && received.size() < 65536) {
        const auto n = recv(Native(connection), buffer, static_cast<int>(sizeof(buffer)), 0);
        if (n <= 0) break;
        received.append(buffer, static_cast<size_t>(n));
    }

    RecordedRequest request;
    if (headEnd != std::string::npos && ParseHead(received.substr(0, headEnd), &request)) {
        request.body = received.substr(headEnd + 4);
        const std::string length = request.Header("Content-Length");
        const size_t bodyLength = static_cast<size_t>(std::strtoull(length.c_str(), nullptr, 10));
        if (Lower(request.Header("Expect")) == "100-continue" && request.body.size() < bodyLength) {
            const std::string proceed = "HTTP/1.1 100 Continue\r\n\r\n";
            SendAll(connection, proceed.data(), proceed.size());
        }
        while (request.body.size() < bodyLength) {
            const auto n = recv(Native(connection), buffer, static_cast<int>(sizeof(buffer)), 0);
            if (n <= 0) break;
            request.body.append(buffer, static_cast<size_t>(n));
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(request);
        }
        const Reply reply = Choose(request);
        if (!reply.dropConnection) SendReply(connection, request, reply);
    }

    std::lock_guard<std::mutex> lock(mutex_);
    // Half-close first so the client reads everything sent before it sees the end.
    shutdown(Native(connection), kShutdownSend);
    CloseSocket(connection);
    connections_.erase(connection);
}

Reply TestServer::Choose(const RecordedRequest& request) {
    Handler handler;
    std::wstring root;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = handlers_.find(request.path);
        if (found != handlers_.end()) handler = found->second;
        root = root_;
    }
    if (handler) return handler(request);
    const bool escapes = request.path.find("..") != std::string::npos;
    std::string contents;
    if (!root.empty() && !escapes && request.path.size() > 1 &&
        ReadFileBytes(JoinPath(root, ToWide(request.path.substr(1))), &contents)) {
        return Reply::Ok(std::move(contents));
    }
    return Reply::WithStatus(404, "Not Found");
}

bool TestServer::SendAll(Socket connection, const char* data, size_t size) {
    while (size > 0) {
        const auto n = send(Native(connection), data, static_cast<int>(size), kSendFlags);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void TestServer::SendReply(Socket connection, const RecordedRequest& request, const Reply& reply) {
    std::string head =
        "HTTP/1.1 " + std::to_string(reply.status) + " " + ReasonPhrase(reply.status) + "\r\n";
    for (const auto& header : reply.headers) head += header.first + ": " + header.second + "\r\n";
    if (reply.sendContentLength) {
        head += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
    }
    head += "Connection: close\r\n\r\n";
    if (!SendAll(connection, head.data(), head.size())) return;
    if (request.method == "HEAD") return;

    const int64_t start = SteadyMs();
    if (reply.silenceMs > 0 && !SleepUntil(start + reply.silenceMs)) return;

    size_t toSend = reply.body.size();
    if (reply.sendBytes >= 0) toSend = std::min(toSend, static_cast<size_t>(reply.sendBytes));
    if (reply.bytesPerSecond <= 0) {
        SendAll(connection, reply.body.data(), toSend);
        return;
    }
    // Byte n leaves no earlier than n / rate seconds after the body began, in pieces of a tenth
    // of a second's worth.
    const int64_t bodyStart = SteadyMs();
    const size_t piece = static_cast<size_t>(std::max<int64_t>(1, reply.bytesPerSecond / 10));
    size_t sent = 0;
    while (sent < toSend) {
        const size_t n = std::min(piece, toSend - sent);
        if (!SendAll(connection, reply.body.data() + sent, n)) return;
        sent += n;
        if (sent < toSend &&
            !SleepUntil(bodyStart + static_cast<int64_t>(sent) * 1000 / reply.bytesPerSecond)) {
            return;
        }
    }
}

bool TestServer::SleepUntil(int64_t deadlineMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    const int64_t wait = deadlineMs - SteadyMs();
    if (wait > 0) {
        stopped_.wait_for(lock, std::chrono::milliseconds(wait), [this] { return stopping_; });
    }
    return !stopping_;
}

int UnusedLocalPort() {
    int port = 0;
    const Socket s = OpenListener(&port);
    if (s != kNoSocket) CloseSocket(s);
    return port;
}

}  // namespace testing_support
}  // namespace velka
