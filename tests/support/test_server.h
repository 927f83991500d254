// An HTTP/1.1 server for tests on 127.0.0.1 (an ephemeral port), one request per connection: the
// handler of the request's path, else a file of the served folder, else 404; requests recorded.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace velka::testing_support {

struct RecordedRequest {
    std::string method;
    std::string target;  // as sent, e.g. "/a%20b.txt?x=1"
    std::string path;    // e.g. "/a b.txt"
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;  // read by Content-Length; "Expect: 100-continue" is answered

    // The value of the first header of that name (case-insensitive); "" when absent.
    std::string Header(const std::string& name) const;
};

struct Reply {
    int status = 200;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;  // server adds Content-Length
    int64_t silenceMs = 0;          // pause after the headers, before the body
    int64_t bytesPerSecond = 0;     // body rate; 0 sends at once
    int64_t sendBytes = -1;         // body bytes sent (-1 all); Content-Length announces all
    bool sendContentLength = true;  // without it the body ends where the connection closes
    bool dropConnection = false;    // close without writing anything

    static Reply Ok(std::string body) { return {200, std::move(body), {}}; }
    static Reply WithStatus(int status, std::string body) { return {status, std::move(body), {}}; }
    static Reply Redirect(const std::string& location, int status = 302, std::string body = "") {
        return {status, std::move(body), {{"Location", location}}};
    }
    static Reply Drop() { return {200, "", {}, 0, 0, -1, true, true}; }
};

// Called on the connection's own thread; handlers of one server may run concurrently.
using Handler = std::function<Reply(const RecordedRequest&)>;

class TestServer {
  public:
    TestServer();  // calls EnsureCurlGlobalInit; fails the current test when it cannot listen
    ~TestServer() { Stop(); }

    int Port() const { return port_; }
    std::string BaseUrl() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }
    std::string Url(const std::string& p) const { return BaseUrl() + p.substr(p[0] == '/'); }

    void ServeFolder(const std::wstring& root);  // for paths without a handler
    void SetHandler(const std::string& path, Handler handler);
    void SetReply(const std::string& path, Reply r) {
        SetHandler(path, [r](auto&) { return r; });
    }
    void SetFile(const std::string& path, std::string body) { SetReply(path, Reply::Ok(body)); }

    // Every request so far, in order of arrival (a dropped connection's request too).
    std::vector<RecordedRequest> Requests() const;
    size_t CountRequests(const std::string& path) const;

    void Stop();  // stops accepting, wakes waiting replies, closes connections, joins threads

  private:
    void Serve(uintptr_t connection);
    bool SleepMs(int64_t ms);  // false when the server stopped meanwhile

    int port_ = 0;
    uintptr_t listener_;  // a socket, as the connections
    std::thread acceptThread_;
    mutable std::mutex mutex_;
    std::condition_variable stopped_;
    bool stopping_ = false;
    std::set<uintptr_t> connections_;
    std::vector<std::thread> connectionThreads_;
    std::map<std::string, Handler> handlers_;  // "" for the served folder
    std::vector<RecordedRequest> requests_;
};

// A port on 127.0.0.1 that nobody listened on a moment ago: connections to it are refused.
int UnusedLocalPort();

// curl_global_init once per process, after emptying the proxy environment variables.
void EnsureCurlGlobalInit();

}  // namespace velka::testing_support
