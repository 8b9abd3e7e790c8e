// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "CorvaneCore/Support/Task.hpp"

namespace boost::asio {
class io_context;
namespace ssl {
class context;
}
}  // namespace boost::asio

namespace corvane::panelsim {

struct SimRequest {
    std::string method;
    std::string target;  // path and query
    std::string authorization;
    std::string body;
    std::string peerAddress;

    std::string path() const { return target.substr(0, target.find('?')); }
    // The value of `name` in the query, undecoded; nothing when absent.
    std::optional<std::string> query(const std::string& name) const;
};

struct SimResponse {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;

    static SimResponse json(int status, std::string body) { return {status, "application/json", std::move(body)}; }
    // The refusal body a panel sends: {"error": code, "message": message}.
    static SimResponse refusal(int status, const std::string& code, const std::string& message);
};

// HTTP/1.1 (or HTTPS with `tls`) on a loopback address, served by coroutines
// on one io_context. Each request goes to the handler; a peer that stays
// silent, sends a head over 64 KiB or a body over 16 MiB is cut off, and
// connections beyond 512 at once are closed unanswered.
class HttpListener {
public:
    using Handler = std::function<Async<SimResponse>(SimRequest)>;

    // Binds at once (port 0: any free port); throws when the address is taken.
    HttpListener(boost::asio::io_context& context, const std::string& address, std::uint16_t port,
                 std::shared_ptr<boost::asio::ssl::context> tls, Handler handler);
    ~HttpListener();
    HttpListener(const HttpListener&) = delete;
    HttpListener& operator=(const HttpListener&) = delete;

    std::uint16_t port() const;
    void start();
    void stop();

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace corvane::panelsim
