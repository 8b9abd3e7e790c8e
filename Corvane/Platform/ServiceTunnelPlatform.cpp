// SPDX-License-Identifier: GPL-3.0-or-later
#include "Corvane/Platform/ServiceTunnelPlatform.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>

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

using Code = ServiceTunnelPlatform::ErrorCode;

TunnelPlatformError clientError(std::int64_t code, const std::string& why) {
    return TunnelPlatformError({std::string(ServiceTunnelPlatform::errorDomain), code, why});
}

TunnelPlatformError unreachable(const std::string& why) { return clientError(Code::unreachable, why); }

}  // namespace

namespace {

// One connection to the service: connecting, then connected, then lost for good.
struct Connection {
    explicit Connection(const asio::any_io_executor& executor)
        : socket(executor), wake(executor, asio::steady_timer::time_point::max()) {}
    local::socket socket;
    asio::steady_timer wake;  // wakes the writer
    std::deque<std::string> outbox;
    bool connected = false;
    bool lost = false;
    std::optional<PlatformError> closingReason;  // a refusal the service sent right before it hung up
};

}  // namespace

struct ServiceTunnelPlatform::Impl : std::enable_shared_from_this<Impl> {
    struct Pending {
        std::shared_ptr<Connection> connection;
        std::optional<ServiceReply> reply;
        std::optional<PlatformError> failure;
        std::shared_ptr<asio::steady_timer> wake;  // fires at the reply timeout unless cancelled first
    };

    Impl(asio::any_io_executor ex, std::filesystem::path path, Timing t)
        : executor(std::move(ex)), socketPath(std::move(path)), timing(t), reconnectTimer(executor),
          reconnectDelay(t.firstReconnect) {}

    asio::any_io_executor executor;
    std::filesystem::path socketPath;
    Timing timing;
    std::shared_ptr<Connection> connection;  // the current one; none until needed and after a loss
    std::int64_t nextId = 1;
    std::map<std::int64_t, Pending> pending;
    std::map<std::string, NEVPNStatus> statuses;
    // What the service last said of itself: its mode, and whether its kill switch blocks (absent: it has none).
    std::optional<std::string> mode;
    std::optional<bool> blocking;
    std::optional<LockdownState> lockdown;
    std::map<int, std::pair<std::string, std::function<void()>>> observers;
    int nextObserver = 0;
    bool closed = false;  // the platform is gone
    asio::steady_timer reconnectTimer;
    bool reconnectScheduled = false;
    std::chrono::milliseconds reconnectDelay;

    void notify(const std::string& identifier) {
        auto copy = observers;
        for (auto& [key, entry] : copy) {
            if (entry.first == identifier && observers.count(key)) entry.second();
        }
    }

    KillSwitchState killSwitch() const {
        if (mode == "user") return KillSwitchState::unavailable;
        if (blocking) return *blocking ? KillSwitchState::blocking : KillSwitchState::armed;
        return mode == "system" ? KillSwitchState::off : KillSwitchState::unknown;
    }

    // Takes what `reply` says of the service's mode and kill switch; true when killSwitch() changed.
    bool noteService(const ServiceReply& reply) {
        if (!reply.mode && !reply.blocking) return false;
        const KillSwitchState before = killSwitch();
        const std::optional<LockdownState> lockdownBefore = lockdown;
        if (reply.mode) mode = reply.mode;
        blocking = reply.blocking;  // a reply that names the mode but no block comes from a service without one
        lockdown.reset();
        if (reply.lockdown) lockdown = LockdownState{.enabled = *reply.lockdown, .allowLAN = reply.lockdownAllowsLAN.value_or(false)};
        return killSwitch() != before || lockdown != lockdownBefore;
    }

    // `reply`: the status event or reply the status came with. Every event is
    // told on: the service sends one with an unchanged status when something
    // else about the tunnel changed (a failure it no longer reports, say).
    void setStatus(const std::string& identifier, NEVPNStatus s, const ServiceReply& reply, bool event = false) {
        auto& current = statuses[identifier];
        const bool blockChanged = noteService(reply);
        if (current == s && !blockChanged && !event) return;
        current = s;
        notify(identifier);
    }

    std::shared_ptr<Connection> ensureConnection() {
        if (connection) return connection;
        auto c = std::make_shared<Connection>(executor);
        connection = c;
        // First on the new connection, so that no status change after it is missed; its reply is not waited for.
        ServiceRequest subscribe{.id = nextId++, .op = std::string(ServiceOp::subscribe)};
        c->outbox.push_back(encodeJSON(subscribe) + "\n");
        asio::co_spawn(executor, run(c), asio::detached);
        return c;
    }

    PlatformError connectFailure(const boost::system::error_code& ec) const {
        if (ec == asio::error::connection_refused || ec.value() == ENOENT) {
            return clientError(Code::notRunning, "the tunnel service is not running (" + socketPath.string() + ")").error();
        }
        if (ec.value() == EACCES) {
            return clientError(Code::notPermitted, "permission denied: this user may not use the tunnel service").error();
        }
        return unreachable("cannot reach the tunnel service at " + socketPath.string() + ": " + ec.message()).error();
    }

    // Connects, then writes the outbox in order until the connection is lost.
    Async<void> run(std::shared_ptr<Connection> c) {
        auto self = shared_from_this();
        boost::system::error_code ec;
        // Close-on-exec: a program this process starts must not hold the service's connection.
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) ec.assign(errno, boost::system::system_category());
        if (!ec) c->socket.assign(local(), fd, ec);
        if (ec && fd >= 0 && !c->socket.is_open()) ::close(fd);
        if (!ec) co_await c->socket.async_connect(local::endpoint(socketPath.string()), asio::redirect_error(asio::use_awaitable, ec));
        if (c->lost) co_return;
        if (ec) {
            lose(c, connectFailure(ec));
            co_return;
        }
        c->connected = true;
        reconnectDelay = timing.firstReconnect;
        asio::co_spawn(executor, readLoop(c), asio::detached);
        if (!statuses.empty()) asio::co_spawn(executor, refreshStatuses(), asio::detached);
        while (!c->lost) {
            if (c->outbox.empty()) {
                co_await c->wake.async_wait(asio::redirect_error(asio::use_awaitable, ec));
                continue;
            }
            std::string line = std::move(c->outbox.front());
            c->outbox.pop_front();
            co_await asio::async_write(c->socket, asio::buffer(line), asio::redirect_error(asio::use_awaitable, ec));
            if (ec) {
                // The service may have hung up after saying why (a refused user): the
                // read loop still reads that line and ends the connection with it.
                boost::system::error_code ignored;
                c->socket.shutdown(local::socket::shutdown_send, ignored);
                co_return;
            }
        }
    }

    Async<void> readLoop(std::shared_ptr<Connection> c) {
        auto self = shared_from_this();
        std::string buffer;
        for (;;) {
            boost::system::error_code ec;
            std::size_t n = co_await asio::async_read_until(
                c->socket, asio::dynamic_buffer(buffer, TunnelServiceEndpoint::maxMessageBytes + 1), '\n',
                asio::redirect_error(asio::use_awaitable, ec));
            if (ec || c->lost) break;
            std::string line = buffer.substr(0, n - 1);
            buffer.erase(0, n);
            std::optional<ServiceReply> reply;
            try {
                reply = decodeJSON<ServiceReply>(std::string_view(line));
            } catch (const DecodingError&) {
                continue;  // not ours to understand; the request it answers fails at its timeout
            }
            if (reply->event == "status" && reply->identifier && reply->status) {
                setStatus(*reply->identifier, static_cast<NEVPNStatus>(*reply->status), *reply, true);
            } else if (reply->id) {
                auto it = pending.find(*reply->id);
                if (it != pending.end() && it->second.connection == c) {
                    it->second.reply = std::move(*reply);
                    it->second.wake->cancel();
                }
            } else if (!reply->ok && reply->error && reply->error->domain == ServiceErrorDomain &&
                       (reply->error->code == ServiceErrorCode::notPermitted ||
                        reply->error->code == ServiceErrorCode::tooManyConnections ||
                        reply->error->code == ServiceErrorCode::peerCheckFailed ||
                        reply->error->code == ServiceErrorCode::messageTooLong)) {
                // The service hangs up after these; any other error without an id
                // (a line it could not read) says nothing about why a connection ends later.
                c->closingReason = reply->error;
            }
        }
        lose(c, std::nullopt);
    }

    // Everything waiting on `c` fails, and every tunnel reads as down: the service that ran it is gone.
    void lose(const std::shared_ptr<Connection>& c, std::optional<PlatformError> reason) {
        if (c->lost) return;
        c->lost = true;
        boost::system::error_code ignored;
        c->socket.close(ignored);
        c->wake.cancel();
        if (connection == c) connection.reset();
        const PlatformError why =
            reason ? *reason : c->closingReason.value_or(unreachable("the tunnel service closed the connection").error());
        for (auto& [id, p] : pending) {
            if (p.connection == c && !p.reply) {
                p.failure = why;
                p.wake->cancel();
            }
        }
        std::vector<std::string> changed;
        for (auto& [identifier, s] : statuses) {
            if (s != NEVPNStatus::disconnected && s != NEVPNStatus::invalid) {
                s = NEVPNStatus::disconnected;
                changed.push_back(identifier);
            }
        }
        for (const auto& identifier : changed) notify(identifier);
        scheduleReconnect();
    }

    // Only someone who follows a status needs the connection back before the next request.
    void scheduleReconnect() {
        if (closed || observers.empty() || reconnectScheduled || connection) return;
        reconnectScheduled = true;
        const auto delay = reconnectDelay;
        reconnectDelay = std::min(reconnectDelay * 2, timing.lastReconnect);
        asio::co_spawn(executor, reconnectAfter(delay), asio::detached);
    }

    Async<void> reconnectAfter(std::chrono::milliseconds delay) {
        auto self = shared_from_this();
        reconnectTimer.expires_after(delay);
        boost::system::error_code ec;
        co_await reconnectTimer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
        reconnectScheduled = false;
        if (closed || connection || observers.empty()) co_return;
        ensureConnection();
    }

    // After a reconnection: what changed while the service was out of reach.
    Async<void> refreshStatuses() {
        auto self = shared_from_this();
        std::vector<std::string> identifiers;
        for (const auto& entry : statuses) identifiers.push_back(entry.first);
        for (const auto& identifier : identifiers) {
            try {
                ServiceRequest q{.op = std::string(ServiceOp::status), .identifier = identifier};
                auto reply = co_await exchange(std::move(q));
                if (statuses.count(identifier)) {
                    setStatus(identifier, static_cast<NEVPNStatus>(reply.status.value_or(0)), reply);
                }
            } catch (const std::exception&) {
            }
        }
    }

    Async<ServiceReply> exchange(ServiceRequest request) {
        auto self = shared_from_this();
        if (closed) throw unreachable("the tunnel service client is closed");
        auto c = ensureConnection();
        request.id = nextId++;
        const std::int64_t id = request.id;
        auto wake = std::make_shared<asio::steady_timer>(executor, timing.replyTimeout);
        pending[id] = Pending{c, std::nullopt, std::nullopt, wake};
        c->outbox.push_back(encodeJSON(request) + "\n");
        c->wake.cancel();
        boost::system::error_code ec;
        co_await wake->async_wait(asio::redirect_error(asio::use_awaitable, ec));
        Pending done = std::move(pending[id]);
        pending.erase(id);
        if (done.reply) {
            if (!done.reply->ok) {
                throw TunnelPlatformError(done.reply->error.value_or(
                    PlatformError{std::string(errorDomain), Code::refused, "the tunnel service refused the request"}));
            }
            co_return std::move(*done.reply);
        }
        if (done.failure) throw TunnelPlatformError(*done.failure);
        if (ec == asio::error::operation_aborted) throw boost::system::system_error(ec);  // the calling task was cancelled
        throw clientError(Code::noReply, "the tunnel service did not answer in time");
    }

    void shutdown() {
        closed = true;
        observers.clear();
        reconnectTimer.cancel();
        if (connection) lose(connection, unreachable("the tunnel service client is closed").error());
    }
};

ServiceTunnelPlatform::ServiceTunnelPlatform(asio::any_io_executor executor, std::filesystem::path socketPath)
    : ServiceTunnelPlatform(std::move(executor), std::move(socketPath), Timing{}) {}

ServiceTunnelPlatform::ServiceTunnelPlatform(asio::any_io_executor executor, std::filesystem::path socketPath, Timing timing)
    : impl_(std::make_shared<Impl>(std::move(executor), std::move(socketPath), timing)) {}

ServiceTunnelPlatform::~ServiceTunnelPlatform() { impl_->shutdown(); }

Async<ServiceReply> ServiceTunnelPlatform::request(ServiceRequest request) {
    auto impl = impl_;
    co_return co_await impl->exchange(std::move(request));
}

Async<ServiceReply> ServiceTunnelPlatform::hello() {
    ServiceRequest r{.op = std::string(ServiceOp::hello)};
    auto reply = co_await request(std::move(r));
    impl_->noteService(reply);
    co_return reply;
}

Async<std::vector<TunnelProfile>> ServiceTunnelPlatform::loadAllProfiles() {
    ServiceRequest r{.op = std::string(ServiceOp::listProfiles)};
    auto reply = co_await request(std::move(r));
    impl_->noteService(reply);
    auto profiles = reply.profiles.value_or(std::vector<TunnelProfile>{});
    for (const auto& p : profiles) {
        ServiceRequest q{.op = std::string(ServiceOp::status), .identifier = p.identifier};
        auto s = co_await request(std::move(q));
        impl_->statuses[p.identifier] = static_cast<NEVPNStatus>(s.status.value_or(0));
        impl_->noteService(s);
    }
    co_return profiles;
}

Async<TunnelProfile> ServiceTunnelPlatform::saveProfile(TunnelProfile profile) {
    ServiceRequest r{.op = std::string(ServiceOp::saveProfile), .profile = std::move(profile)};
    auto reply = co_await request(std::move(r));
    if (!reply.profile) throw unreachable("the tunnel service did not return the saved profile");
    co_return std::move(*reply.profile);
}

Async<TunnelProfile> ServiceTunnelPlatform::loadProfile(std::string identifier) {
    ServiceRequest r{.op = std::string(ServiceOp::loadProfile), .identifier = identifier};
    auto reply = co_await request(std::move(r));
    if (!reply.profile) throw unreachable("the tunnel service did not return the profile");
    ServiceRequest q{.op = std::string(ServiceOp::status), .identifier = identifier};
    auto s = co_await request(std::move(q));
    impl_->statuses[identifier] = static_cast<NEVPNStatus>(s.status.value_or(0));
    impl_->noteService(s);
    co_return std::move(*reply.profile);
}

Async<void> ServiceTunnelPlatform::removeProfile(std::string identifier) {
    ServiceRequest r{.op = std::string(ServiceOp::removeProfile), .identifier = identifier};
    co_await request(std::move(r));
    impl_->statuses.erase(identifier);
}

KillSwitchState ServiceTunnelPlatform::killSwitch() const { return impl_->killSwitch(); }

std::optional<LockdownState> ServiceTunnelPlatform::lockdown() const { return impl_->lockdown; }

Async<void> ServiceTunnelPlatform::setLockdown(LockdownState state) {
    auto impl = impl_;
    ServiceRequest r{.op = std::string(ServiceOp::setLockdown),
                     .options = std::map<std::string, std::string>{{"enabled", state.enabled ? "true" : "false"},
                                                                   {"allowLAN", state.allowLAN ? "true" : "false"}}};
    auto reply = co_await impl->exchange(std::move(r));
    if (impl->noteService(reply)) {
        // Every profile's observers show the block; its status is unchanged.
        auto observers = impl->observers;
        for (auto& [key, entry] : observers) {
            if (impl->observers.count(key)) entry.second();
        }
    }
}

Async<std::optional<std::uint64_t>> ServiceTunnelPlatform::rejectedPackets(std::string identifier) {
    auto impl = impl_;
    std::optional<std::uint64_t> count;
    try {
        ServiceRequest q{.op = std::string(ServiceOp::status), .identifier = identifier};  // named: see Task.hpp
        auto reply = co_await impl->exchange(std::move(q));
        if (impl->statuses.count(identifier)) {
            impl->setStatus(identifier, static_cast<NEVPNStatus>(reply.status.value_or(0)), reply);
        }
        count = reply.rejectedPackets;
    } catch (const TunnelPlatformError&) {
    }
    co_return count;
}

NEVPNStatus ServiceTunnelPlatform::status(const std::string& identifier) {
    auto it = impl_->statuses.find(identifier);
    return it == impl_->statuses.end() ? NEVPNStatus::invalid : it->second;
}

Async<void> ServiceTunnelPlatform::startTunnel(std::string identifier, std::map<std::string, std::string> options) {
    ServiceRequest r{.op = std::string(ServiceOp::startTunnel), .identifier = std::move(identifier), .options = std::move(options)};
    co_await request(std::move(r));
}

Async<void> ServiceTunnelPlatform::stopTunnel(std::string identifier, bool keepBlocking) {
    auto impl = impl_;
    ServiceRequest r{.op = std::string(ServiceOp::stopTunnel), .identifier = std::move(identifier)};
    if (keepBlocking) r.options = std::map<std::string, std::string>{{std::string(StopOption::keepBlocking), "true"}};
    co_await impl->exchange(std::move(r));
}

Async<std::optional<std::string>> ServiceTunnelPlatform::sendProviderMessage(std::string identifier, std::string message) {
    ServiceRequest r{.op = std::string(ServiceOp::providerMessage), .identifier = std::move(identifier), .message = std::move(message)};
    auto reply = co_await request(std::move(r));
    co_return reply.reply;
}

Async<std::optional<PlatformError>> ServiceTunnelPlatform::fetchLastDisconnectError(std::string identifier) {
    ServiceRequest r{.op = std::string(ServiceOp::lastDisconnectError), .identifier = std::move(identifier)};
    auto reply = co_await request(std::move(r));
    co_return reply.lastDisconnectError;
}

namespace {

struct ServiceObservation final : StatusObservation {
    ServiceObservation(std::weak_ptr<ServiceTunnelPlatform::Impl> i, int k) : impl(std::move(i)), key(k) {}
    ~ServiceObservation() override;
    std::weak_ptr<ServiceTunnelPlatform::Impl> impl;
    int key;
};

}  // namespace

std::unique_ptr<StatusObservation> ServiceTunnelPlatform::observeStatus(const std::string& identifier,
                                                                       std::function<void()> onChange) {
    int key = impl_->nextObserver++;
    impl_->observers[key] = {identifier, std::move(onChange)};
    return std::make_unique<ServiceObservation>(impl_, key);
}

namespace {
ServiceObservation::~ServiceObservation() {
    if (auto i = impl.lock()) i->observers.erase(key);
}
}  // namespace

}  // namespace corvane
