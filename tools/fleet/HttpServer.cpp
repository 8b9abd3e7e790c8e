// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/fleet/HttpServer.hpp"

#include <algorithm>
#include <strings.h>
#include <sys/socket.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

namespace corvane::fleet {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using tcp = asio::ip::tcp;

std::optional<std::string> RecordedRequest::header(const std::string& name) const {
    for (const auto& [k, v] : headers) {
        if (strcasecmp(k.c_str(), name.c_str()) == 0) return v;
    }
    return std::nullopt;
}

ScriptedReply ScriptedReply::json(int status, std::string body) {
    ScriptedReply r;
    r.status = status;
    r.headers = {{"Content-Type", "application/json"}};
    r.body = std::move(body);
    return r;
}

struct HttpServer::Impl {
    asio::io_context context;
    tcp::acceptor acceptor{context};
    std::optional<asio::ssl::context> ssl;
};

HttpServer::HttpServer() : impl_(std::make_unique<Impl>()) { start(); }

HttpServer::HttpServer(const Certificates& certificates) : impl_(std::make_unique<Impl>()), tls_(true) {
    impl_->ssl.emplace(asio::ssl::context::tls_server);
    impl_->ssl->use_certificate_chain(asio::buffer(certificates.certPem));
    impl_->ssl->use_private_key(asio::buffer(certificates.keyPem), asio::ssl::context::pem);
    start();
}

HttpServer::~HttpServer() { stop(); }

void HttpServer::start() {
    tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), 0);
    impl_->acceptor.open(endpoint.protocol());
    impl_->acceptor.set_option(tcp::acceptor::reuse_address(true));
    impl_->acceptor.bind(endpoint);
    impl_->acceptor.listen();
    port_ = impl_->acceptor.local_endpoint().port();
    handler_ = [](const RecordedRequest&) { return ScriptedReply::json(404, R"({"error":"not_found"})"); };
    acceptor_ = std::thread([this] { acceptLoop(); });
}

void HttpServer::stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
        for (int fd : openSockets_) ::shutdown(fd, SHUT_RDWR);
    }
    wake_.notify_all();
    ::shutdown(impl_->acceptor.native_handle(), SHUT_RDWR);
    if (acceptor_.joinable()) acceptor_.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        threads.swap(threads_);
    }
    for (auto& t : threads) t.join();
    boost::system::error_code ignored;
    impl_->acceptor.close(ignored);
}

void HttpServer::enqueue(ScriptedReply reply) {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(reply));
}

void HttpServer::setHandler(Handler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

std::vector<RecordedRequest> HttpServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t HttpServer::requestCount() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
}

std::string HttpServer::url(const std::string& path) const {
    return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path;
}

void HttpServer::acceptLoop() {
    for (;;) {
        boost::system::error_code ec;
        tcp::socket socket(impl_->context);
        impl_->acceptor.accept(socket, ec);
        std::lock_guard lock(mutex_);
        if (ec || stopping_) return;
        int fd = socket.release();
        openSockets_.push_back(fd);
        threads_.emplace_back([this, fd] { serve(fd); });
    }
}

ScriptedReply HttpServer::replyFor(const RecordedRequest& request) {
    std::unique_lock lock(mutex_);
    requests_.push_back(request);
    if (!queue_.empty()) {
        ScriptedReply r = std::move(queue_.front());
        queue_.pop_front();
        return r;
    }
    Handler h = handler_;
    lock.unlock();
    return h(request);
}

namespace {

template <class Stream>
void answer(Stream& stream, const ScriptedReply& reply, bool keepAlive, const std::function<bool(std::chrono::milliseconds)>& pause) {
    if (reply.chunks.empty()) {
        http::response<http::string_body> res(static_cast<http::status>(reply.status), 11);
        for (const auto& [k, v] : reply.headers) res.set(k, v);
        res.body() = reply.body;
        res.keep_alive(keepAlive);
        res.prepare_payload();
        http::write(stream, res);
        return;
    }
    std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " OK\r\nTransfer-Encoding: chunked\r\n";
    for (const auto& [k, v] : reply.headers) head += k + ": " + v + "\r\n";
    head += "\r\n";
    asio::write(stream, asio::buffer(head));
    for (const auto& [delay, data] : reply.chunks) {
        if (!pause(delay)) return;
        char size[32];
        int n = snprintf(size, sizeof size, "%zx\r\n", data.size());
        std::string frame(size, static_cast<std::size_t>(n));
        frame += data + "\r\n";
        asio::write(stream, asio::buffer(frame));
    }
    if (reply.endStream) {
        asio::write(stream, asio::buffer(std::string("0\r\n\r\n")));
    } else {
        pause(std::chrono::hours(1));
    }
}

}  // namespace

void HttpServer::serve(int fd) {
    asio::io_context io;
    tcp::socket socket(io, tcp::v4(), fd);
    // Waits for `d`, or until the server stops; false when stopping.
    auto pause = [this](std::chrono::milliseconds d) {
        std::unique_lock lock(mutex_);
        wake_.wait_for(lock, d, [this] { return stopping_; });
        return !stopping_;
    };
    auto session = [&](auto& stream) {
        boost::beast::flat_buffer buffer;
        for (;;) {
            http::request<http::string_body> req;
            boost::system::error_code ec;
            http::read(stream, buffer, req, ec);
            if (ec) return;
            RecordedRequest recorded;
            recorded.method = std::string(req.method_string());
            recorded.target = std::string(req.target());
            for (const auto& f : req) recorded.headers.emplace_back(std::string(f.name_string()), std::string(f.value()));
            recorded.body = req.body();
            ScriptedReply reply = replyFor(recorded);
            if (reply.hang) {
                pause(std::chrono::hours(1));
                return;
            }
            if (reply.delay.count() > 0 && !pause(reply.delay)) return;
            if (reply.drop) return;
            try {
                answer(stream, reply, req.keep_alive(), pause);
            } catch (const boost::system::system_error&) {
                return;
            }
            if (!req.keep_alive()) return;
        }
    };
    try {
        if (tls_) {
            asio::ssl::stream<tcp::socket&> stream(socket, *impl_->ssl);
            boost::system::error_code ec;
            stream.handshake(asio::ssl::stream_base::server, ec);
            if (!ec) session(stream);
        } else {
            session(socket);
        }
    } catch (const std::exception&) {
    }
    std::lock_guard lock(mutex_);
    openSockets_.erase(std::remove(openSockets_.begin(), openSockets_.end(), fd), openSockets_.end());
}

}  // namespace corvane::fleet
