// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tools/fleet/Certificates.hpp"

namespace corvane::fleet {

struct RecordedRequest {
    std::string method;
    std::string target;  // path with query
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    std::optional<std::string> header(const std::string& name) const;
};

struct ScriptedReply {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::chrono::milliseconds delay{0};  // wait before answering
    bool hang = false;                   // never answer (until the server stops)
    bool drop = false;                   // close the connection without answering
    // When not empty, the reply is sent chunked: each piece after its delay, and the body is ignored.
    std::vector<std::pair<std::chrono::milliseconds, std::string>> chunks;
    bool endStream = true;  // with chunks: send the final chunk, or keep the stream open

    static ScriptedReply json(int status, std::string body);
};

// A small HTTP or HTTPS server on 127.0.0.1 that answers each request as the
// caller scripts it and records what it received.
class HttpServer {
public:
    using Handler = std::function<ScriptedReply(const RecordedRequest&)>;

    // Plain HTTP.
    HttpServer();
    // HTTPS with the given server certificate.
    explicit HttpServer(const Certificates& certificates);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Replies queued first are used first; without one, the handler answers (default 404).
    void enqueue(ScriptedReply reply);
    void setHandler(Handler handler);

    std::vector<RecordedRequest> requests() const;
    std::size_t requestCount() const;
    std::uint16_t port() const { return port_; }
    // "http(s)://127.0.0.1:PORT" + path
    std::string url(const std::string& path = "/") const;

    void stop();

private:
    struct Impl;
    void start();
    void acceptLoop();
    void serve(int fd);
    ScriptedReply replyFor(const RecordedRequest& request);

    std::unique_ptr<Impl> impl_;
    std::uint16_t port_ = 0;
    bool tls_ = false;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::deque<ScriptedReply> queue_;
    Handler handler_;
    std::vector<RecordedRequest> requests_;
    std::vector<int> openSockets_;
    std::vector<std::thread> threads_;
    std::thread acceptor_;
};

}  // namespace corvane::fleet
