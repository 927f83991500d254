// A local HTTP/1.1 server for tests: serves a folder and in-memory files on 127.0.0.1 at an
// ephemeral port, injects faults per path and records every request.
//
// Each connection carries one request and is closed after the reply ("Connection: close"), which
// is all libcurl needs since every transfer uses a fresh handle. Request bodies are read by their
// Content-Length (what libcurl sends for CURLOPT_POSTFIELDS); "Expect: 100-continue" is answered.
//
// Replies are chosen in this order: the handler set for the request's path (percent-decoded,
// query cut off), a file below the served folder, a 404 with the body "Not Found".
//
// The destructor stops the server: it wakes replies that are waiting (silence, throttling),
// closes every connection and joins every thread, so it never hangs on a client.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace velka {
namespace testing_support {

struct RecordedRequest {
    std::string method;
    std::string target;  // as sent, e.g. "/a%20b.txt?x=1"
    std::string path;    // percent-decoded, without the query, e.g. "/a b.txt"
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    // The value of the first header of that name (case-insensitive); "" when absent.
    std::string Header(const std::string& name) const;
};

struct Reply {
    int status = 200;
    std::string body;
    // Added after the status line; Content-Length and Connection are written by the server.
    std::vector<std::pair<std::string, std::string>> headers;
    // Pause after the headers, before the first body byte.
    int64_t silenceMs = 0;
    // Body rate; 0 sends at once. Slow rates send single bytes (1 B/s: one byte a second).
    int64_t bytesPerSecond = 0;
    // Body bytes actually sent; -1 sends all. Content-Length still announces the whole body, so
    // fewer bytes make a body cut short by the closing connection.
    int64_t sendBytes = -1;
    // Without Content-Length the body ends where the connection closes.
    bool sendContentLength = true;
    // Close the connection without writing anything.
    bool dropConnection = false;

    static Reply Ok(std::string body) { return WithStatus(200, std::move(body)); }
    static Reply WithStatus(int status, std::string body) {
        Reply reply;
        reply.status = status;
        reply.body = std::move(body);
        return reply;
    }
    static Reply Redirect(const std::string& location, int status = 302, std::string body = "") {
        Reply reply = WithStatus(status, std::move(body));
        reply.headers.emplace_back("Location", location);
        return reply;
    }
    static Reply Drop() {
        Reply reply;
        reply.dropConnection = true;
        return reply;
    }
};

// Called on the connection's own thread; handlers of one server may run concurrently.
using Handler = std::function<Reply(const RecordedRequest&)>;

class TestServer {
  public:
    // Listens on 127.0.0.1 at a port chosen by the system. Also initialises libcurl globally,
    // since every user of the server is a libcurl client. Fails the current test when the
    // socket cannot be set up.
    TestServer();
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    int Port() const { return port_; }
    // "http://127.0.0.1:PORT/"
    std::string BaseUrl() const;
    // BaseUrl() followed by `path` without its leading "/".
    std::string Url(const std::string& path) const;

    // Serves the files below `root` for paths without a handler.
    void ServeFolder(const std::wstring& root);
    // `path` begins with "/" and is matched against the decoded request path.
    void SetHandler(const std::string& path, Handler handler);
    void SetReply(const std::string& path, Reply reply);
    void SetFile(const std::string& path, std::string body) { SetReply(path, Reply::Ok(body)); }

    // Every request received so far, in order of arrival (a dropped connection's request too).
    std::vector<RecordedRequest> Requests() const;
    size_t CountRequests(const std::string& path) const;

    // Stops accepting, wakes and closes every connection, joins all threads. Idempotent.
    void Stop();

  private:
    using Socket = uintptr_t;

    void AcceptLoop();
    void Serve(Socket connection);
    Reply Choose(const RecordedRequest& request);
    bool SendAll(Socket connection, const char* data, size_t size);
    void SendReply(Socket connection, const RecordedRequest& request, const Reply& reply);
    // Waits until `deadline` on the monotonic clock or until Stop; false when stopped.
    bool SleepUntil(int64_t deadlineMs);

    Socket listener_;
    int port_ = 0;
    std::thread acceptThread_;

    mutable std::mutex mutex_;
    std::condition_variable stopped_;
    bool stopping_ = false;
    std::set<Socket> connections_;
    std::vector<std::thread> connectionThreads_;
    std::map<std::string, Handler> handlers_;
    std::wstring root_;
    std::vector<RecordedRequest> requests_;
};

// A port on 127.0.0.1 that nobody listened on a moment ago: connections to it are refused.
int UnusedLocalPort();

}  // namespace testing_support
}  // namespace velka
