// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/panel-sim/AdminSocket.hpp"

#include <stdexcept>

#include <sys/stat.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/json.hpp>

namespace corvane::panelsim {

namespace asio = boost::asio;
using local = asio::local::stream_protocol;

namespace {

constexpr std::size_t maxCommandBytes = 1024 * 1024;

}  // namespace

struct AdminSocket::Impl : std::enable_shared_from_this<Impl> {
    asio::io_context& context;
    std::filesystem::path path;
    Handler handler;
    local::acceptor acceptor;
    bool stopped = false;

    Impl(asio::io_context& c, std::filesystem::path p, Handler h)
        : context(c), path(std::move(p)), handler(std::move(h)), acceptor(c) {}

    static Async<void> serve(std::shared_ptr<Impl> self, local::socket socket) {
        asio::streambuf buffer(maxCommandBytes);
        auto [ec, n] = co_await asio::async_read_until(socket, buffer, '\n', asio::as_tuple(asio::use_awaitable));
        if (ec) co_return;
        std::string line(asio::buffers_begin(buffer.data()), asio::buffers_begin(buffer.data()) + n);
        AdminReply reply;
        try {
            std::vector<std::string> words;
            const boost::json::value request = boost::json::parse(line);
            for (const auto& w : request.as_array()) words.emplace_back(w.as_string());
            reply = self->handler(words);
        } catch (const std::exception& e) {
            reply = {false, std::string("bad admin request: ") + e.what()};
        }
        std::string answer = boost::json::serialize(boost::json::object{{"ok", reply.ok}, {"text", reply.text}}) + "\n";
        co_await asio::async_write(socket, asio::buffer(answer), asio::as_tuple(asio::use_awaitable));
    }

    Async<void> acceptLoop() {
        auto self = shared_from_this();
        while (!stopped) {
            auto [ec, socket] = co_await acceptor.async_accept(asio::as_tuple(asio::use_awaitable));
            if (ec) co_return;
            asio::co_spawn(context, serve(self, std::move(socket)), asio::detached);
        }
    }
};

AdminSocket::AdminSocket(asio::io_context& context, std::filesystem::path path, Handler handler)
    : impl_(std::make_shared<Impl>(context, std::move(path), std::move(handler))) {
    const std::string name = impl_->path.string();
    if (std::filesystem::exists(impl_->path)) {
        local::socket probe(context);
        boost::system::error_code ec;
        probe.connect(local::endpoint(name), ec);
        if (!ec) throw std::runtime_error("another corvane-panel-sim already serves " + name);
        std::filesystem::remove(impl_->path);
    }
    // Made owner-only from the start: the umask applies while the socket is bound.
    mode_t old = ::umask(0077);
    boost::system::error_code ec;
    impl_->acceptor.open(local());
    impl_->acceptor.bind(local::endpoint(name), ec);
    ::umask(old);
    if (ec) throw std::runtime_error("cannot listen on " + name + ": " + ec.message());
    impl_->acceptor.listen();
}

AdminSocket::~AdminSocket() { stop(); }

void AdminSocket::start() { asio::co_spawn(impl_->context, impl_->acceptLoop(), asio::detached); }

void AdminSocket::stop() {
    if (impl_->stopped) return;
    impl_->stopped = true;
    boost::system::error_code ignored;
    impl_->acceptor.close(ignored);
    std::filesystem::remove(impl_->path, ignored);
}

std::string sendAdminCommand(const std::filesystem::path& path, const std::vector<std::string>& words) {
    asio::io_context context;
    local::socket socket(context);
    boost::system::error_code ec;
    socket.connect(local::endpoint(path.string()), ec);
    if (ec) throw std::runtime_error("no corvane-panel-sim answers on " + path.string() + ": " + ec.message());
    boost::json::array request;
    for (const auto& w : words) request.emplace_back(w);
    asio::write(socket, asio::buffer(boost::json::serialize(request) + "\n"));
    asio::streambuf buffer(maxCommandBytes);
    asio::read_until(socket, buffer, '\n', ec);
    std::string line(asio::buffers_begin(buffer.data()), asio::buffers_end(buffer.data()));
    boost::json::value reply;
    try {
        reply = boost::json::parse(line);
    } catch (const std::exception&) {
        throw std::runtime_error("the panel sim gave no answer");
    }
    std::string text(reply.at("text").as_string());
    if (!reply.at("ok").as_bool()) throw std::runtime_error(text);
    return text;
}

}  // namespace corvane::panelsim
