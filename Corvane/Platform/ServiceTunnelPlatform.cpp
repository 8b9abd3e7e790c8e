#include "Corvane/Platform/ServiceTunnelPlatform.hpp"

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

struct ServiceTunnelPlatform::Impl : std::enable_shared_from_this<Impl> {
    struct Pending {
        std::optional<ServiceReply> reply;
        std::shared_ptr<asio::steady_timer> wake;
    };

    Impl(asio::any_io_executor ex, std::filesystem::path path) : executor(std::move(ex)), socketPath(std::move(path)) {}

    asio::any_io_executor executor;
    std::filesystem::path socketPath;
    std::shared_ptr<local::socket> socket;  // null while not connected
    bool connecting = false;
    std::int64_t nextId = 1;
    std::map<std::int64_t, Pending> pending;
    std::map<std::string, NEVPNStatus> statuses;
    std::map<int, std::pair<std::string, std::function<void()>>> observers;
    int nextObserver = 0;
    std::optional<PlatformError> refusal;  // the service's reason for closing on us

    void notify(const std::string& identifier) {
        auto copy = observers;
        for (auto& [key, entry] : copy) {
            if (entry.first == identifier && observers.count(key)) entry.second();
        }
    }

    void setStatus(const std::string& identifier, NEVPNStatus s) {
        auto& current = statuses[identifier];
        if (current == s) return;
        current = s;
        notify(identifier);
    }

    // Everything waiting fails, and every tunnel reads as down: the service that ran it is gone.
    void lost() {
        socket.reset();
        for (auto& [id, p] : pending) p.wake->cancel();
        std::vector<std::string> changed;
        for (auto& [identifier, s] : statuses) {
            if (s != NEVPNStatus::disconnected && s != NEVPNStatus::invalid) {
                s = NEVPNStatus::disconnected;
                changed.push_back(identifier);
            }
        }
        for (const auto& identifier : changed) notify(identifier);
    }

    Async<void> readLoop(std::shared_ptr<local::socket> s) {
        auto self = shared_from_this();
        std::string buffer;
        for (;;) {
            boost::system::error_code ec;
            std::size_t n = co_await asio::async_read_until(
                *s, asio::dynamic_buffer(buffer, TunnelServiceEndpoint::maxMessageBytes + 1), '\n',
                asio::redirect_error(asio::use_awaitable, ec));
            if (ec) break;
            std::string line = buffer.substr(0, n - 1);
            buffer.erase(0, n);
            std::optional<ServiceReply> reply;
            try {
                reply = decodeJSON<ServiceReply>(std::string_view(line));
            } catch (const DecodingError&) {
                continue;  // not ours to understand; the request it answers will fail when the service closes
            }
            if (reply->event == "status" && reply->identifier && reply->status) {
                setStatus(*reply->identifier, static_cast<NEVPNStatus>(*reply->status));
            } else if (reply->id) {
                auto it = pending.find(*reply->id);
                if (it != pending.end()) {
                    it->second.reply = std::move(*reply);
                    it->second.wake->cancel();
                }
            } else if (!reply->ok && reply->error) {
                refusal = reply->error;
            }
        }
        if (socket == s) lost();
    }

    Async<void> ensureConnected() {
        if (socket) co_return;
        auto s = std::make_shared<local::socket>(executor);
        boost::system::error_code ec;
        co_await s->async_connect(local::endpoint(socketPath.string()), asio::redirect_error(asio::use_awaitable, ec));
        if (ec) {
            if (ec == asio::error::connection_refused || ec.value() == ENOENT) {
                throw clientError(Code::notRunning, "the tunnel service is not running (" + socketPath.string() + ")");
            }
            if (ec.value() == EACCES) {
                throw clientError(Code::notPermitted, "permission denied: this user may not use the tunnel service");
            }
            throw unreachable("cannot reach the tunnel service at " + socketPath.string() + ": " + ec.message());
        }
        socket = s;
        refusal.reset();
        asio::co_spawn(executor, readLoop(s), asio::detached);
        ServiceRequest subscribe{.op = std::string(ServiceOp::subscribe)};
        co_await exchange(std::move(subscribe));
    }

    Async<ServiceReply> exchange(ServiceRequest request) {
        auto self = shared_from_this();
        auto s = socket;
        if (!s) throw unreachable("the tunnel service is not connected");
        request.id = nextId++;
        const std::int64_t id = request.id;
        auto wake = std::make_shared<asio::steady_timer>(executor, asio::steady_timer::time_point::max());
        pending[id] = Pending{std::nullopt, wake};
        std::string line = encodeJSON(request) + "\n";
        boost::system::error_code ec;
        co_await asio::async_write(*s, asio::buffer(line), asio::redirect_error(asio::use_awaitable, ec));
        if (!ec && !pending[id].reply) co_await wake->async_wait(asio::redirect_error(asio::use_awaitable, ec));
        auto reply = std::move(pending[id].reply);
        pending.erase(id);
        if (!reply) {
            if (refusal) throw TunnelPlatformError(*refusal);
            throw unreachable("the tunnel service closed the connection");
        }
        if (!reply->ok) {
            throw TunnelPlatformError(reply->error.value_or(
                PlatformError{std::string(errorDomain), Code::refused, "the tunnel service refused the request"}));
        }
        co_return std::move(*reply);
    }
};

ServiceTunnelPlatform::ServiceTunnelPlatform(asio::any_io_executor executor, std::filesystem::path socketPath)
    : impl_(std::make_shared<Impl>(std::move(executor), std::move(socketPath))) {}

ServiceTunnelPlatform::~ServiceTunnelPlatform() {
    if (impl_->socket) {
        boost::system::error_code ignored;
        impl_->socket->close(ignored);
    }
}

Async<ServiceReply> ServiceTunnelPlatform::request(ServiceRequest request) {
    auto impl = impl_;
    co_await impl->ensureConnected();
    co_return co_await impl->exchange(std::move(request));
}

Async<ServiceReply> ServiceTunnelPlatform::hello() {
    ServiceRequest r{.op = std::string(ServiceOp::hello)};
    co_return co_await request(std::move(r));
}

Async<std::vector<TunnelProfile>> ServiceTunnelPlatform::loadAllProfiles() {
    ServiceRequest r{.op = std::string(ServiceOp::listProfiles)};
    auto reply = co_await request(std::move(r));
    auto profiles = reply.profiles.value_or(std::vector<TunnelProfile>{});
    for (const auto& p : profiles) {
        ServiceRequest q{.op = std::string(ServiceOp::status), .identifier = p.identifier};
        auto s = co_await request(std::move(q));
        impl_->statuses[p.identifier] = static_cast<NEVPNStatus>(s.status.value_or(0));
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
    co_return std::move(*reply.profile);
}

Async<void> ServiceTunnelPlatform::removeProfile(std::string identifier) {
    ServiceRequest r{.op = std::string(ServiceOp::removeProfile), .identifier = identifier};
    co_await request(std::move(r));
    impl_->statuses.erase(identifier);
}

NEVPNStatus ServiceTunnelPlatform::status(const std::string& identifier) {
    auto it = impl_->statuses.find(identifier);
    return it == impl_->statuses.end() ? NEVPNStatus::invalid : it->second;
}

Async<void> ServiceTunnelPlatform::startTunnel(std::string identifier, std::map<std::string, std::string> options) {
    ServiceRequest r{.op = std::string(ServiceOp::startTunnel), .identifier = std::move(identifier), .options = std::move(options)};
    co_await request(std::move(r));
}

void ServiceTunnelPlatform::stopTunnel(const std::string& identifier) {
    // Fire and forget, like the system's stop call; the outcome arrives as status events.
    auto impl = impl_;
    ServiceRequest r{.op = std::string(ServiceOp::stopTunnel), .identifier = identifier};
    auto work = [](std::shared_ptr<Impl> impl, ServiceRequest r) -> Async<void> {
        try {
            co_await impl->ensureConnected();
            co_await impl->exchange(std::move(r));
        } catch (const std::exception&) {
        }
    };
    asio::co_spawn(impl->executor, work(impl, std::move(r)), asio::detached);
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
