#include "CorvaneTunnel/ServiceServer.hpp"

#include "CorvaneCore/Support/FileDescriptor.hpp"

#include <cstring>
#include <deque>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

namespace corvane {

namespace asio = boost::asio;
using local = asio::local::stream_protocol;

namespace {

ServiceReply errorReply(std::optional<std::int64_t> id, std::int64_t code, std::string text) {
    ServiceReply r;
    r.id = id;
    r.ok = false;
    r.error = PlatformError{std::string(ServiceErrorDomain), code, std::move(text)};
    return r;
}

}  // namespace

class ServiceSession : public std::enable_shared_from_this<ServiceSession> {
public:
    ServiceSession(local::socket socket, ServiceServer::Impl& server)
        : socket_(std::move(socket)), wake_(socket_.get_executor()), server_(server) {
        wake_.expires_at(asio::steady_timer::time_point::max());
    }

    void start();
    void send(const ServiceReply& reply);
    void close() {
        closed_ = true;
        boost::system::error_code ignored;
        socket_.close(ignored);
        wake_.cancel();
    }
    bool subscribed = false;

private:
    Async<void> reader();
    Async<void> writer();
    Async<void> answer(ServiceRequest request);

    local::socket socket_;
    asio::steady_timer wake_;
    std::deque<std::string> outbox_;
    std::size_t outboxBytes_ = 0;
    bool closed_ = false;
    ServiceServer::Impl& server_;
};

struct ServiceServer::Impl {
    Impl(asio::io_context& c, ServiceMode m, ServiceHandler& h, std::size_t limit)
        : context(c), acceptor(c), mode(m), handler(h), outboxLimit(limit) {}
    asio::io_context& context;
    local::acceptor acceptor;
    ServiceMode mode;
    ServiceHandler& handler;
    std::size_t outboxLimit;
    std::set<std::shared_ptr<ServiceSession>> sessions;

    Async<void> acceptLoop();
    Async<local::socket> acceptCloseOnExec(boost::system::error_code& ec);
};

void ServiceSession::send(const ServiceReply& reply) {
    if (closed_) return;
    std::string line = encodeJSON(reply) + "\n";
    if (outboxBytes_ + line.size() > server_.outboxLimit) {
        // It does not read what it asked for; keeping it all would let one client exhaust the service's memory.
        close();
        server_.sessions.erase(shared_from_this());
        return;
    }
    outboxBytes_ += line.size();
    outbox_.push_back(std::move(line));
    wake_.cancel_one();
}

void ServiceSession::start() {
    // Each coroutine keeps the session alive from its first statement; until then the server's set does.
    asio::co_spawn(socket_.get_executor(), reader(), asio::detached);
    asio::co_spawn(socket_.get_executor(), writer(), asio::detached);
}

Async<void> ServiceSession::writer() {
    auto self = shared_from_this();
    while (!closed_) {
        if (outbox_.empty()) {
            boost::system::error_code ec;
            co_await wake_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
            continue;
        }
        std::string line = std::move(outbox_.front());
        outbox_.pop_front();
        outboxBytes_ -= line.size();
        boost::system::error_code ec;
        co_await asio::async_write(socket_, asio::buffer(line), asio::redirect_error(asio::use_awaitable, ec));
        if (ec) {
            close();
            server_.sessions.erase(self);
        }
    }
}

Async<void> ServiceSession::answer(ServiceRequest request) {
    auto self = shared_from_this();
    const std::int64_t id = request.id;
    ServiceReply reply;
    std::optional<std::string> failure;
    try {
        if (request.op == ServiceOp::subscribe) {
            subscribed = true;
        } else {
            reply = co_await server_.handler.handle(std::move(request));
        }
    } catch (const std::exception& e) {
        failure = e.what();
    }
    if (failure) reply = errorReply(id, ServiceErrorCode::handlerFailed, "the service failed to handle the request: " + *failure);
    reply.id = id;
    send(reply);
}

Async<void> ServiceSession::reader() {
    auto self = shared_from_this();
    std::string buffer;
    for (;;) {
        boost::system::error_code ec;
        // One byte more than a message may have, so an overlong line is recognised as such.
        std::size_t n = co_await asio::async_read_until(
            socket_, asio::dynamic_buffer(buffer, TunnelServiceEndpoint::maxMessageBytes + 1), '\n',
            asio::redirect_error(asio::use_awaitable, ec));
        if (ec == asio::error::not_found) {
            send(errorReply(std::nullopt, ServiceErrorCode::messageTooLong, "the message is longer than the service accepts"));
            break;  // the rest of the line cannot be told from the next message
        }
        if (ec) break;
        std::string line = buffer.substr(0, n - 1);
        buffer.erase(0, n);
        if (line.empty()) continue;
        std::optional<ServiceRequest> request;
        std::string problem;
        try {
            request = decodeJSON<ServiceRequest>(std::string_view(line));
        } catch (const DecodingError& e) {
            problem = e.what();
        }
        if (!request) {
            send(errorReply(std::nullopt, ServiceErrorCode::malformedMessage, "the message is not a service request: " + problem));
            continue;
        }
        asio::co_spawn(socket_.get_executor(), answer(std::move(*request)), asio::detached);
    }
    // Let the writer flush what is queued, then close.
    auto drain = asio::steady_timer(socket_.get_executor(), std::chrono::milliseconds(50));
    boost::system::error_code ignored;
    co_await drain.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    close();
    server_.sessions.erase(self);
}

// Asio accepts without close-on-exec; a connection that leaked into the engine
// would stay open after the service dropped it.
Async<local::socket> ServiceServer::Impl::acceptCloseOnExec(boost::system::error_code& ec) {
    local::socket socket(context);
    co_await acceptor.async_wait(local::acceptor::wait_read, asio::redirect_error(asio::use_awaitable, ec));
    if (ec) co_return socket;
    const int fd = ::accept4(acceptor.native_handle(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
        ec.assign(errno, boost::system::system_category());
        co_return socket;
    }
    socket.assign(local(), fd, ec);
    if (ec) ::close(fd);
    co_return socket;
}

Async<void> ServiceServer::Impl::acceptLoop() {
    for (;;) {
        boost::system::error_code ec;
        local::socket socket = co_await acceptCloseOnExec(ec);
        if (ec == asio::error::operation_aborted || !acceptor.is_open()) co_return;
        if (ec == asio::error::would_block || ec == asio::error::try_again) continue;
        if (ec) {
            // Out of descriptors, say: try again shortly instead of spinning.
            asio::steady_timer pause(context, std::chrono::milliseconds(100));
            co_await pause.async_wait(asio::redirect_error(asio::use_awaitable, ec));
            continue;
        }
        auto peer = peerCredentials(socket.native_handle());
        if (!peer || !isPeerAllowed(*peer, mode, geteuid(), TunnelServiceEndpoint::accessGroup)) {
            // Refused before anything is read; the client sees the reason.
            auto reply = errorReply(std::nullopt, ServiceErrorCode::notPermitted, "permission denied: this user may not use the tunnel service");
            std::string line = encodeJSON(reply) + "\n";
            boost::system::error_code ignored;
            asio::write(socket, asio::buffer(line), ignored);
            socket.close(ignored);
            continue;
        }
        auto session = std::make_shared<ServiceSession>(std::move(socket), *this);
        sessions.insert(session);
        session->start();
    }
}

ServiceServer::ServiceServer(asio::io_context& context, std::filesystem::path socketPath, ServiceMode mode,
                             ServiceHandler& handler, std::size_t outboxLimit)
    : impl_(std::make_unique<Impl>(context, mode, handler, outboxLimit)), socketPath_(std::move(socketPath)) {}

ServiceServer::~ServiceServer() { stop(); }

namespace {

bool someoneListensOn(const std::filesystem::path& path) {
    FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    return fd.valid() && ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

}  // namespace

void ServiceServer::start() {
    namespace fs = std::filesystem;
    fs::create_directories(socketPath_.parent_path());
    if (someoneListensOn(socketPath_)) {
        throw std::system_error(EADDRINUSE, std::generic_category(),
                                "another service already listens on " + socketPath_.string());
    }
    std::error_code ignored;
    fs::remove(socketPath_, ignored);  // a socket left by a service that died
    // Created with no access for others, whatever the umask.
    const mode_t old = ::umask(impl_->mode == ServiceMode::system ? 0117 : 0177);
    boost::system::error_code ec;
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) ec.assign(errno, boost::system::system_category());
    if (!ec) impl_->acceptor.assign(local(), listener, ec);
    if (ec && listener >= 0 && !impl_->acceptor.is_open()) ::close(listener);
    if (!ec) impl_->acceptor.bind(local::endpoint(socketPath_.string()), ec);
    ::umask(old);
    if (ec) throw std::system_error(ec.value(), std::generic_category(), "cannot listen on " + socketPath_.string());
    if (impl_->mode == ServiceMode::system) {
        // root and the access group: rw for both, nothing for others.
        std::vector<char> buffer(16384);
        struct group entry {};
        struct group* found = nullptr;
        std::string name(TunnelServiceEndpoint::accessGroup);
        if (getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
            if (::chown(socketPath_.c_str(), 0, found->gr_gid) != 0) { /* root only keeps access */ }
        }
        ::chmod(socketPath_.c_str(), 0660);
    } else {
        ::chmod(socketPath_.c_str(), 0600);
    }
    impl_->acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) throw std::system_error(ec.value(), std::generic_category(), "cannot listen on " + socketPath_.string());
    asio::co_spawn(impl_->context, impl_->acceptLoop(), asio::detached);
}

void ServiceServer::broadcast(const ServiceReply& event) {
    const auto sessions = impl_->sessions;  // a session may drop out while it is told
    for (const auto& s : sessions) {
        if (s->subscribed) s->send(event);
    }
}

void ServiceServer::stop() {
    if (!impl_) return;
    boost::system::error_code ignored;
    if (impl_->acceptor.is_open()) {
        impl_->acceptor.close(ignored);
        std::error_code removeError;
        std::filesystem::remove(socketPath_, removeError);
    }
    auto sessions = std::move(impl_->sessions);
    for (const auto& s : sessions) s->close();
}

}  // namespace corvane
