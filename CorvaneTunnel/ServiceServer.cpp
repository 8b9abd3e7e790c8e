// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneTunnel/ServiceServer.hpp"

#include "CorvaneCore/Support/FileDescriptor.hpp"
#include "CorvaneCore/Support/LocalSocket.hpp"
#include "CorvaneCore/Support/Timeout.hpp"

#include <cstring>
#include <deque>
#include <map>
#include <utility>
#include <vector>
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
    ServiceSession(local::socket socket, uid_t uid, ServiceServer::Impl& server)
        : uid(uid),
          socket_(std::move(socket)),
          wake_(socket_.get_executor()),
          deadline_(socket_.get_executor()),
          settled_(socket_.get_executor()),
          server_(server) {
        wake_.expires_at(asio::steady_timer::time_point::max());
    }

    void start();
    void send(ServiceReply reply);
    // Closes the connection and forgets what waits for it; returns the bytes it had queued.
    std::size_t close() {
        closed_ = true;
        boost::system::error_code ignored;
        socket_.close(ignored);
        wake_.cancel();
        deadline_.cancel();
        settled_.cancel();
        outbox_.clear();
        return std::exchange(queued_, 0);
    }
    // The unfinished message's bytes, as counted against the user's inbox, handed back once.
    std::size_t takeUnread() { return std::exchange(unread_, 0); }
    bool subscribed = false;
    const uid_t uid;

private:
    // What the time limit currently measures.
    enum class Wait { firstMessage, idle, unfinishedLine };

    Async<void> reader();
    Async<void> writer();
    Async<void> watchdog();
    Async<void> answer(ServiceRequest request);
    Async<void> untilSettled();
    void handleLine(std::string line);
    void await(Wait wait);

    local::socket socket_;
    asio::steady_timer wake_;
    asio::steady_timer deadline_;
    asio::steady_timer settled_;  // told when an answer or a write finishes
    Wait waiting_ = Wait::firstMessage;
    std::deque<std::string> outbox_;
    std::size_t queued_ = 0;     // the outbox's bytes and those of the line being written
    std::size_t unread_ = 0;     // the unfinished message held in the reader's buffer
    std::size_t answering_ = 0;  // requests read whose answer is not sent yet
    bool writing_ = false;
    bool closed_ = false;
    ServiceServer::Impl& server_;
};

struct ServiceServer::Impl {
    Impl(asio::io_context& c, ServiceMode m, ServiceHandler& h, ServiceLimits l)
        : context(c), acceptor(c), mode(m), handler(h), limits(l) {}
    asio::io_context& context;
    local::acceptor acceptor;
    ServiceMode mode;
    ServiceHandler& handler;
    ServiceLimits limits;
    std::set<std::shared_ptr<ServiceSession>> sessions;
    struct User {
        std::size_t connections = 0;  // open sessions
        std::size_t queued = 0;       // bytes waiting to be written to them
        std::size_t unread = 0;       // bytes of messages they have begun but not finished
    };
    std::map<uid_t, User> users;  // of the open sessions

    void drop(const std::shared_ptr<ServiceSession>& session) {
        const std::size_t released = session->close();
        if (sessions.erase(session) == 0) return;
        auto it = users.find(session->uid);
        if (it == users.end()) return;
        it->second.queued -= released;
        it->second.unread -= session->takeUnread();
        if (--it->second.connections == 0) users.erase(it);
    }
    Async<void> acceptLoop();
    Async<local::socket> acceptCloseOnExec(boost::system::error_code& ec);
};

void ServiceSession::send(ServiceReply reply) {
    if (closed_) return;
    std::string line = encodeJSON(reply) + "\n";
    if (line.size() > TunnelServiceEndpoint::maxMessageBytes) {
        // The client refuses a longer line: tell it what became of its request instead.
        if (!reply.id) return;
        line = encodeJSON(errorReply(reply.id, ServiceErrorCode::replyTooLong,
                                     "the reply is longer than a message may be (" +
                                         std::to_string(TunnelServiceEndpoint::maxMessageBytes) + " bytes)")) + "\n";
    }
    ServiceServer::Impl::User& user = server_.users[uid];
    if (queued_ + line.size() > server_.limits.outbox || user.queued + line.size() > server_.limits.userOutbox) {
        // It does not read what it asked for; keeping it all would let one user exhaust the service's memory.
        server_.drop(shared_from_this());
        return;
    }
    queued_ += line.size();
    user.queued += line.size();
    outbox_.push_back(std::move(line));
    wake_.cancel_one();
}

void ServiceSession::start() {
    await(Wait::firstMessage);
    // Each coroutine keeps the session alive from its first statement; until then the server's set does.
    asio::co_spawn(socket_.get_executor(), reader(), asio::detached);
    asio::co_spawn(socket_.get_executor(), writer(), asio::detached);
    asio::co_spawn(socket_.get_executor(), watchdog(), asio::detached);
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
        bool written = true;
        writing_ = true;
        try {
            // A client that takes longer than this does not read; waiting on would let it hold its outbox.
            co_await withTimeout(server_.limits.write, asio::async_write(socket_, asio::buffer(line), asio::use_awaitable));
        } catch (const std::exception&) {
            written = false;
        }
        writing_ = false;
        if (closed_) break;  // dropped meanwhile, and its bytes with it
        queued_ -= line.size();
        server_.users[uid].queued -= line.size();
        settled_.cancel();
        if (!written) server_.drop(self);
    }
}

void ServiceSession::await(Wait wait) {
    waiting_ = wait;
    const auto& limits = server_.limits;
    deadline_.expires_after(wait == Wait::firstMessage ? limits.firstMessage
                            : wait == Wait::idle       ? limits.idle
                                                       : limits.unfinishedLine);
}

// Ends a connection that keeps the service waiting: one that says nothing,
// one that stops asking, one that never finishes its line.
Async<void> ServiceSession::watchdog() {
    auto self = shared_from_this();
    while (!closed_) {
        boost::system::error_code ec;
        co_await deadline_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
        if (closed_) break;
        if (deadline_.expiry() > asio::steady_timer::clock_type::now()) continue;  // moved meanwhile
        if (waiting_ == Wait::idle && (subscribed || answering_ > 0)) {
            // It listens for events, or waits for an answer: not idle.
            await(Wait::idle);
            continue;
        }
        server_.drop(self);
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
    send(std::move(reply));
    --answering_;
    settled_.cancel();
}

// Until an answer is sent or a write ends (or the connection closes).
Async<void> ServiceSession::untilSettled() {
    settled_.expires_at(asio::steady_timer::time_point::max());
    boost::system::error_code ignored;
    co_await settled_.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
}

void ServiceSession::handleLine(std::string line) {
    if (line.empty()) return;
    std::optional<ServiceRequest> request;
    std::string problem;
    try {
        request = decodeJSON<ServiceRequest>(std::string_view(line));
    } catch (const DecodingError& e) {
        problem = e.what();
    }
    if (!request) {
        send(errorReply(std::nullopt, ServiceErrorCode::malformedMessage, "the message is not a service request: " + problem));
        return;
    }
    ++answering_;  // counted from here: the answer starts only once the reader yields
    asio::co_spawn(socket_.get_executor(), answer(std::move(*request)), asio::detached);
}

Async<void> ServiceSession::reader() {
    auto self = shared_from_this();
    std::string buffer;
    std::vector<char> chunk(64 * 1024);
    bool anyMessage = false;
    while (!closed_) {
        boost::system::error_code ec;
        std::size_t n = co_await socket_.async_read_some(asio::buffer(chunk), asio::redirect_error(asio::use_awaitable, ec));
        if (ec) break;  // also a client that has sent all it will (half-closed): its answers still go out below
        const bool lineWasOpen = !buffer.empty();
        buffer.append(chunk.data(), n);
        std::size_t start = 0, newline;
        while ((newline = buffer.find('\n', start)) != std::string::npos && newline - start <= TunnelServiceEndpoint::maxMessageBytes) {
            if (answering_ >= server_.limits.answering) {
                // Enough in hand: the rest waits in the buffer and in the socket, and the client's sends block.
                await(Wait::idle);  // waiting for answers, which the watchdog does not count as idle
                while (!closed_ && answering_ >= server_.limits.answering) co_await untilSettled();
                if (closed_) break;
            }
            handleLine(buffer.substr(start, newline - start));
            start = newline + 1;
            anyMessage = true;
        }
        if (closed_) break;
        buffer.erase(0, start);
        if (buffer.size() > TunnelServiceEndpoint::maxMessageBytes) {
            send(errorReply(std::nullopt, ServiceErrorCode::messageTooLong, "the message is longer than the service accepts"));
            break;  // the rest of the line cannot be told from the next message
        }
        if (!closed_) {
            auto& user = server_.users[uid];
            user.unread = user.unread - unread_ + buffer.size();
            unread_ = buffer.size();
            if (user.unread > server_.limits.userInbox) {
                send(errorReply(std::nullopt, ServiceErrorCode::messageTooLong,
                                "this user's connections hold more unfinished messages than the service keeps"));
                break;
            }
        }
        if (!anyMessage) continue;  // the first message keeps its own time limit
        if (!buffer.empty()) {
            if (!lineWasOpen || start > 0) await(Wait::unfinishedLine);  // measured from the line's first byte
        } else {
            await(Wait::idle);
        }
    }
    // Every request read gets its answer, and every answer is written, before the connection closes.
    while (!closed_ && (answering_ > 0 || writing_ || !outbox_.empty())) co_await untilSettled();
    server_.drop(self);
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
        // Refused before anything is read; the client sees the reason.
        auto refuse = [&](std::int64_t code, std::string text) {
            std::string line = encodeJSON(errorReply(std::nullopt, code, std::move(text))) + "\n";
            boost::system::error_code ignored;
            asio::write(socket, asio::buffer(line), ignored);
            socket.close(ignored);
        };
        auto peer = peerCredentials(socket.native_handle());
        const PeerVerdict verdict = peer ? checkPeer(*peer, mode, geteuid(), TunnelServiceEndpoint::accessGroup)
                                         : PeerVerdict{PeerVerdict::Kind::refused};
        if (verdict.kind == PeerVerdict::Kind::unknown) {
            refuse(ServiceErrorCode::peerCheckFailed, std::string("the service could not check this user's groups (") +
                                                          std::strerror(verdict.error) + "); try again");
            continue;
        }
        if (verdict.kind == PeerVerdict::Kind::refused) {
            refuse(ServiceErrorCode::notPermitted, "permission denied: this user may not use the tunnel service");
            continue;
        }
        std::size_t& open = users[peer->uid].connections;
        if (open >= limits.connectionsPerUser) {
            if (open == 0) users.erase(peer->uid);
            refuse(ServiceErrorCode::tooManyConnections, "this user has " + std::to_string(limits.connectionsPerUser) +
                                                             " connections to the service open already");
            continue;
        }
        ++open;
        auto session = std::make_shared<ServiceSession>(std::move(socket), peer->uid, *this);
        sessions.insert(session);
        session->start();
    }
}

ServiceServer::ServiceServer(asio::io_context& context, std::filesystem::path socketPath, ServiceMode mode,
                             ServiceHandler& handler, Limits limits)
    : impl_(std::make_unique<Impl>(context, mode, handler, limits)), socketPath_(std::move(socketPath)) {}

ServiceServer::~ServiceServer() { stop(); }

void ServiceServer::start() {
    namespace fs = std::filesystem;
    fs::create_directories(socketPath_.parent_path());
    if (someoneListensOn(socketPath_)) {
        throw std::system_error(EADDRINUSE, std::generic_category(),
                                "another service already listens on " + socketPath_.string());
    }
    std::error_code ignored;
    const auto existing = fs::symlink_status(socketPath_, ignored);
    if (fs::exists(existing) && !fs::is_socket(existing)) {
        // A mistyped --socket must not cost someone a file.
        throw std::system_error(EEXIST, std::generic_category(),
                                socketPath_.string() + " exists and is not a socket; the service will not replace it");
    }
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

std::size_t ServiceServer::queuedBytes(uid_t uid) const {
    auto it = impl_->users.find(uid);
    return it == impl_->users.end() ? 0 : it->second.queued;
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
    impl_->users.clear();
    for (const auto& s : sessions) s->close();
}

}  // namespace corvane
