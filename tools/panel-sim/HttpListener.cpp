// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/panel-sim/HttpListener.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/json.hpp>

namespace corvane::panelsim {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

std::optional<std::string> SimRequest::query(const std::string& name) const {
    auto q = target.find('?');
    if (q == std::string::npos) return std::nullopt;
    std::string_view rest = std::string_view(target).substr(q + 1);
    while (!rest.empty()) {
        auto amp = rest.find('&');
        std::string_view pair = rest.substr(0, amp);
        auto eq = pair.find('=');
        if (pair.substr(0, eq) == name) return std::string(eq == std::string_view::npos ? "" : pair.substr(eq + 1));
        if (amp == std::string_view::npos) break;
        rest.remove_prefix(amp + 1);
    }
    return std::nullopt;
}

SimResponse SimResponse::refusal(int status, const std::string& code, const std::string& message) {
    boost::json::object body{{"error", code}, {"message", message}};
    return json(status, boost::json::serialize(body));
}

struct HttpListener::Impl : std::enable_shared_from_this<Impl> {
    asio::io_context& context;
    tcp::acceptor acceptor;
    std::shared_ptr<asio::ssl::context> tls;
    Handler handler;
    bool stopped = false;
    std::size_t sessions = 0;
    static constexpr std::size_t maxSessions = 512;

    Impl(asio::io_context& c, std::shared_ptr<asio::ssl::context> t, Handler h)
        : context(c), acceptor(c), tls(std::move(t)), handler(std::move(h)) {}

    template <class Stream>
    Async<void> serve(Stream& stream, std::string peer) {
        beast::flat_buffer buffer;
        for (;;) {
            http::request_parser<http::string_body> parser;
            parser.header_limit(64 * 1024);
            parser.body_limit(16 * 1024 * 1024);
            beast::get_lowest_layer(stream).expires_after(60s);
            auto [ec, n] = co_await http::async_read(stream, buffer, parser, asio::as_tuple(asio::use_awaitable));
            (void)n;
            if (ec) {
                if (ec == http::error::body_limit || ec == http::error::header_limit) {
                    http::response<http::string_body> res(http::status::payload_too_large, 11);
                    res.set(http::field::content_type, "application/json");
                    res.body() = R"({"error":"too_large","message":"The request is too large."})";
                    res.keep_alive(false);
                    res.prepare_payload();
                    co_await http::async_write(stream, res, asio::as_tuple(asio::use_awaitable));
                }
                co_return;
            }
            auto req = parser.release();
            SimRequest request{
                .method = std::string(req.method_string()),
                .target = std::string(req.target()),
                .authorization = std::string(req[http::field::authorization]),
                .body = std::move(req.body()),
                .peerAddress = peer,
            };
            beast::get_lowest_layer(stream).expires_never();
            SimResponse reply;
            try {
                reply = co_await handler(std::move(request));
            } catch (const std::exception& e) {
                reply = SimResponse::refusal(500, "internal", e.what());
            }
            http::response<http::string_body> res(static_cast<http::status>(reply.status), req.version());
            if (!reply.contentType.empty() && reply.status != 204) res.set(http::field::content_type, reply.contentType);
            res.set(http::field::server, "corvane-panel-sim");
            res.body() = std::move(reply.body);
            res.keep_alive(req.keep_alive());
            res.prepare_payload();
            if (req.method() == http::verb::head) res.body().clear();
            beast::get_lowest_layer(stream).expires_after(60s);
            auto [wec, wn] = co_await http::async_write(stream, res, asio::as_tuple(asio::use_awaitable));
            (void)wn;
            if (wec || !res.keep_alive()) co_return;
        }
    }

    // `self` keeps the listener's state (the TLS context above all) alive while the session lasts.
    static Async<void> session(std::shared_ptr<Impl> self, tcp::socket socket) {
        // One peer cannot make the listener hold any number of connections.
        if (self->sessions >= maxSessions) co_return;
        ++self->sessions;
        struct Count {
            Impl& impl;
            ~Count() { --impl.sessions; }
        } count{*self};
        std::string peer;
        boost::system::error_code ignored;
        auto remote = socket.remote_endpoint(ignored);
        if (!ignored) peer = remote.address().to_string();
        beast::tcp_stream plain(std::move(socket));
        if (!self->tls) {
            co_await self->serve(plain, peer);
            plain.socket().shutdown(tcp::socket::shutdown_send, ignored);
            co_return;
        }
        beast::ssl_stream<beast::tcp_stream> stream(std::move(plain), *self->tls);
        beast::get_lowest_layer(stream).expires_after(15s);
        auto [ec] = co_await stream.async_handshake(asio::ssl::stream_base::server, asio::as_tuple(asio::use_awaitable));
        if (ec) co_return;
        co_await self->serve(stream, peer);
        beast::get_lowest_layer(stream).expires_after(2s);
        co_await stream.async_shutdown(asio::as_tuple(asio::use_awaitable));
    }

    Async<void> acceptLoop() {
        auto self = shared_from_this();
        while (!stopped) {
            auto [ec, socket] = co_await acceptor.async_accept(asio::as_tuple(asio::use_awaitable));
            if (ec) {
                if (stopped || ec == asio::error::operation_aborted) co_return;
                // Out of descriptors, say: wait a little instead of spinning.
                asio::steady_timer pause(context, 100ms);
                co_await pause.async_wait(asio::as_tuple(asio::use_awaitable));
                continue;
            }
            asio::co_spawn(context, session(self, std::move(socket)), asio::detached);
        }
    }
};

HttpListener::HttpListener(asio::io_context& context, const std::string& address, std::uint16_t port,
                           std::shared_ptr<asio::ssl::context> tls, Handler handler)
    : impl_(std::make_shared<Impl>(context, std::move(tls), std::move(handler))) {
    try {
        tcp::endpoint endpoint(asio::ip::make_address(address), port);
        impl_->acceptor.open(endpoint.protocol());
        impl_->acceptor.set_option(tcp::acceptor::reuse_address(true));
        impl_->acceptor.bind(endpoint);
        impl_->acceptor.listen();
    } catch (const boost::system::system_error& e) {
        throw std::runtime_error("cannot listen on " + address + ":" + std::to_string(port) + ": " + e.code().message());
    }
}

HttpListener::~HttpListener() { stop(); }

std::uint16_t HttpListener::port() const { return impl_->acceptor.local_endpoint().port(); }

void HttpListener::start() { asio::co_spawn(impl_->context, impl_->acceptLoop(), asio::detached); }

void HttpListener::stop() {
    impl_->stopped = true;
    boost::system::error_code ignored;
    impl_->acceptor.close(ignored);
}

}  // namespace corvane::panelsim
