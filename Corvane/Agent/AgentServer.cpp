// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/Agent/AgentServer.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <set>
#include <system_error>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "Corvane/Agent/AgentProtocol.hpp"
#include "Corvane/Agent/SnapshotCoding.hpp"
#include "CorvaneCore/Support/FileDescriptor.hpp"
#include "CorvaneCore/Support/LocalSocket.hpp"
#include "CorvaneCore/Support/RecordCoding.hpp"
#include "CorvaneCore/Support/Timeout.hpp"

namespace corvane {

namespace asio = boost::asio;
namespace json = boost::json;
using local = asio::local::stream_protocol;

class AgentSession;

struct AgentServer::Impl {
    Impl(asio::io_context& c, AgentHandler& h, AgentLimits l) : context(c), acceptor(c), handler(h), limits(l) {}
    asio::io_context& context;
    local::acceptor acceptor;
    AgentHandler& handler;
    AgentLimits limits;
    std::set<std::shared_ptr<AgentSession>> sessions;
    std::filesystem::path socketPath;
    bool ownsSocketFile = false;
    // What watchers hold: the stream's snapshot as last sent, its number, and the newest log line sent.
    json::object current;
    std::uint64_t seq = 0;
    std::int64_t lastLogSeq = 0;
    std::shared_ptr<const std::vector<TunnelIPC::SequencedLine>> logLines;

    void drop(const std::shared_ptr<AgentSession>& session);
    Async<void> acceptLoop();
};

class AgentSession : public std::enable_shared_from_this<AgentSession> {
public:
    AgentSession(local::socket socket, AgentServer::Impl& server)
        : socket_(std::move(socket)), wake_(socket_.get_executor()), settled_(socket_.get_executor()), server_(server) {
        wake_.expires_at(asio::steady_timer::time_point::max());
    }

    void start() {
        asio::co_spawn(socket_.get_executor(), reader(), asio::detached);
        asio::co_spawn(socket_.get_executor(), writer(), asio::detached);
    }
    void close() {
        closed_ = true;
        boost::system::error_code ignored;
        socket_.close(ignored);
        wake_.cancel();
        settled_.cancel();
        outbox_.clear();
    }
    void send(const json::object& message) {
        if (closed_) return;
        std::string line = json::serialize(message) + "\n";
        if (queued_ + line.size() > server_.limits.outbox) {
            // It does not read what it asked for: it reconnects and starts from a whole snapshot.
            server_.drop(shared_from_this());
            return;
        }
        queued_ += line.size();
        outbox_.push_back(std::move(line));
        wake_.cancel_one();
    }

    bool watching = false;
    bool watchingLog = false;

private:
    Async<void> writer() {
        auto self = shared_from_this();
        while (!closed_) {
            if (outbox_.empty()) {
                boost::system::error_code ec;
                co_await wake_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
                continue;
            }
            std::string line = std::move(outbox_.front());
            outbox_.pop_front();
            writing_ = true;
            bool failed = false;
            try {
                co_await withTimeout(server_.limits.write, asio::async_write(socket_, asio::buffer(line), asio::use_awaitable));
            } catch (const std::exception&) {
                failed = true;  // broken, or it stopped reading
            }
            writing_ = false;
            queued_ -= line.size();
            settled_.cancel();
            if (failed) server_.drop(self);
        }
    }

    Async<void> untilSettled() {
        settled_.expires_at(asio::steady_timer::time_point::max());
        boost::system::error_code ignored;
        co_await settled_.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    }

    Async<void> answer(json::value id, std::string op, json::object args) {
        auto self = shared_from_this();
        json::object reply{{"id", id}};
        try {
            if (op != "hello" && op != "stopAgent") co_await server_.handler.ready();
            if (op == "watch") {
                watching = true;
                watchingLog = args.contains("logs") && args.at("logs").is_bool() && args.at("logs").as_bool();
                reply["ok"] = true;
                reply["result"] = json::object{{"seq", server_.seq}, {"lastLogSeq", server_.lastLogSeq}};
                send(reply);
                // The whole snapshot first, so the watcher knows where the numbered changes start.
                send(json::object{{"event", "snapshot"}, {"seq", server_.seq}, {"snapshot", server_.current}});
                if (watchingLog && server_.logLines && !server_.logLines->empty()) {
                    send(json::object{{"event", "log"}, {"lines", encodeValue(*server_.logLines)}});
                }
            } else {
                json::value result = co_await server_.handler.call(op, std::move(args));
                reply["ok"] = true;
                reply["result"] = std::move(result);
                send(reply);
            }
        } catch (const std::exception& e) {
            reply["ok"] = false;
            reply["error"] = e.what();
            send(reply);
        }
        --answering_;
        settled_.cancel();
    }

    void handleLine(std::string_view line) {
        json::value id;
        auto request = parseAgentRequest(line, id);
        if (!request) {
            send(json::object{{"id", std::move(id)},
                              {"ok", false},
                              {"error", "not an agent request: {\"id\": N, \"op\": NAME, \"args\": {...}} expected"}});
            return;
        }
        ++answering_;
        asio::co_spawn(socket_.get_executor(), answer(std::move(request->id), std::move(request->op), std::move(request->args)),
                       asio::detached);
    }

    Async<void> reader() {
        auto self = shared_from_this();
        std::string buffer;
        std::vector<char> chunk(64 * 1024);
        while (!closed_) {
            boost::system::error_code ec;
            const std::size_t n = co_await socket_.async_read_some(asio::buffer(chunk), asio::redirect_error(asio::use_awaitable, ec));
            if (ec) break;
            buffer.append(chunk.data(), n);
            std::size_t start = 0, newline;
            while (!closed_ && (newline = buffer.find('\n', start)) != std::string::npos) {
                while (!closed_ && answering_ >= server_.limits.answering) co_await untilSettled();
                if (closed_) break;
                handleLine(std::string_view(buffer).substr(start, newline - start));
                start = newline + 1;
            }
            buffer.erase(0, start);
            if (buffer.size() > AgentEndpoint::maxMessageBytes) {
                send(json::object{{"ok", false}, {"error", "the message is longer than the agent accepts"}});
                break;
            }
        }
        // Every request read gets its answer, written, before the connection closes.
        while (!closed_ && (answering_ > 0 || writing_ || !outbox_.empty())) co_await untilSettled();
        server_.drop(self);
    }

    local::socket socket_;
    asio::steady_timer wake_;
    asio::steady_timer settled_;
    std::deque<std::string> outbox_;
    std::size_t queued_ = 0;
    std::size_t answering_ = 0;
    bool writing_ = false;
    bool closed_ = false;
    AgentServer::Impl& server_;
};

void AgentServer::Impl::drop(const std::shared_ptr<AgentSession>& session) {
    session->close();
    sessions.erase(session);
}

Async<void> AgentServer::Impl::acceptLoop() {
    for (;;) {
        boost::system::error_code ec;
        co_await acceptor.async_wait(local::acceptor::wait_read, asio::redirect_error(asio::use_awaitable, ec));
        if (ec == asio::error::operation_aborted || !acceptor.is_open()) co_return;
        // Close-on-exec: a program the agent starts must not hold a client's connection.
        const int fd = ::accept4(acceptor.native_handle(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EAGAIN || errno == EINTR || errno == ECONNABORTED) continue;
            asio::steady_timer pause(context, std::chrono::milliseconds(100));  // out of descriptors, say
            co_await pause.async_wait(asio::redirect_error(asio::use_awaitable, ec));
            continue;
        }
        FileDescriptor owned(fd);
        ucred peer{};
        socklen_t length = sizeof peer;
        const bool known = ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0;
        auto refuse = [&](const std::string& text) {
            const std::string line = json::serialize(json::object{{"ok", false}, {"error", text}}) + "\n";
            (void)!::send(fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        };
        // The model holds the user's token and steers the user's tunnel: the user's own programs only.
        if (!known || peer.uid != ::geteuid()) {
            refuse("permission denied: the agent serves only its own user");
            continue;
        }
        if (sessions.size() >= limits.connections) {
            refuse("the agent has " + std::to_string(limits.connections) + " connections open already");
            continue;
        }
        local::socket socket(context);
        socket.assign(local(), owned.release(), ec);
        if (ec) continue;
        auto session = std::make_shared<AgentSession>(std::move(socket), *this);
        sessions.insert(session);
        session->start();
    }
}

AgentServer::AgentServer(asio::io_context& context, AgentHandler& handler, AgentLimits limits)
    : impl_(std::make_shared<Impl>(context, handler, limits)) {}

AgentServer::~AgentServer() { stop(); }

void AgentServer::start(const std::filesystem::path& socketPath, int listeningFd) {
    namespace fs = std::filesystem;
    impl_->socketPath = socketPath;
    boost::system::error_code ec;
    if (listeningFd >= 0) {
        impl_->acceptor.assign(local(), listeningFd, ec);
        if (ec) throw std::system_error(ec.value(), std::generic_category(), "cannot take over the agent's socket");
    } else {
        const fs::path folder = socketPath.parent_path();
        fs::create_directories(folder);
        struct stat st {};
        if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
            throw std::system_error(EPERM, std::generic_category(), folder.string() + " is not a folder of this user's");
        }
        // Nobody else may reach the socket, whatever its own mode says.
        if ((st.st_mode & 077) != 0 && ::chmod(folder.c_str(), 0700) != 0) {
            throw std::system_error(errno, std::generic_category(), "cannot make " + folder.string() + " private");
        }
        if (someoneListensOn(socketPath)) {
            throw std::system_error(EADDRINUSE, std::generic_category(), "an agent already listens on " + socketPath.string());
        }
        std::error_code ignored;
        const auto existing = fs::symlink_status(socketPath, ignored);
        if (fs::exists(existing) && !fs::is_socket(existing)) {
            throw std::system_error(EEXIST, std::generic_category(), socketPath.string() + " exists and is not a socket");
        }
        fs::remove(socketPath, ignored);  // left by an agent that died
        const mode_t old = ::umask(0177);
        const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listener < 0) ec.assign(errno, boost::system::system_category());
        if (!ec) impl_->acceptor.assign(local(), listener, ec);
        if (!ec) impl_->acceptor.bind(local::endpoint(socketPath.string()), ec);
        ::umask(old);
        if (!ec) impl_->acceptor.listen(asio::socket_base::max_listen_connections, ec);
        if (ec) throw std::system_error(ec.value(), std::generic_category(), "cannot listen on " + socketPath.string());
        impl_->ownsSocketFile = true;
    }
    asio::co_spawn(impl_->context, [impl = impl_]() -> Async<void> { co_await impl->acceptLoop(); }, asio::detached);
}

void AgentServer::publish(const std::shared_ptr<const AppSnapshot>& snapshot) {
    Impl& s = *impl_;
    json::object next = SnapshotCoding::encode(*snapshot);
    next.erase("logLines");  // streamed line by line to those who ask
    next.erase("password");  // sign-in takes it as an argument; it never leaves the agent
    json::object changes = SnapshotCoding::changes(s.current, next);
    changes.erase("version");  // every publication has a new one; alone it is no change
    std::vector<TunnelIPC::SequencedLine> newLines;
    if (snapshot->logLines) {
        for (const auto& line : *snapshot->logLines) {
            if (line.seq > s.lastLogSeq) newLines.push_back(line);
        }
        if (!snapshot->logLines->empty()) s.lastLogSeq = snapshot->logLines->back().seq;
        s.logLines = snapshot->logLines;
    }
    const auto sessions = s.sessions;  // one may drop out while it is told
    if (!changes.empty()) {
        s.current = std::move(next);
        ++s.seq;
        const json::object event{{"event", "changes"}, {"seq", s.seq}, {"changes", std::move(changes)}};
        for (const auto& session : sessions) {
            if (session->watching) session->send(event);
        }
    }
    if (!newLines.empty()) {
        const json::object event{{"event", "log"}, {"lines", encodeValue(newLines)}};
        for (const auto& session : sessions) {
            if (session->watchingLog) session->send(event);
        }
    }
}

std::uint64_t AgentServer::sequence() const noexcept { return impl_->seq; }

void AgentServer::sayStopping() {
    const json::object event{{"event", "stopping"}};
    for (const auto& session : std::set(impl_->sessions)) {
        if (session->watching) session->send(event);
    }
}

void AgentServer::stop() {
    if (!impl_) return;
    boost::system::error_code ignored;
    if (impl_->acceptor.is_open()) {
        impl_->acceptor.close(ignored);
        if (impl_->ownsSocketFile) {
            std::error_code removeError;
            std::filesystem::remove(impl_->socketPath, removeError);
        }
    }
    auto sessions = std::move(impl_->sessions);
    for (const auto& s : sessions) s->close();
}

}  // namespace corvane
