// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/fleet/Fleet.hpp"

namespace corvane::fleet {

using namespace std::chrono_literals;

Fleet::Fleet(std::string listenAddress, std::vector<std::string> reachableNetworks)
    : listenAddress_(std::move(listenAddress)),
      certificates_(Certificates::make(dir_.path(), listenAddress_ == "127.0.0.1"
                                                        ? std::vector<std::string>{"localhost", "127.0.0.1"}
                                                        : std::vector<std::string>{"localhost", "127.0.0.1", listenAddress_})) {
    handshakeTarget_ = std::make_unique<HttpServer>(certificates_);
    httpTarget_ = std::make_unique<HttpServer>();
    httpTarget_->setHandler([](const RecordedRequest&) {
        ScriptedReply reply;
        reply.headers = {{"Content-Type", "text/plain"}};
        reply.body = "fleet";
        return reply;
    });
    auto noContent = [](const RecordedRequest&) {
        ScriptedReply reply;
        reply.status = 204;
        reply.delay = 5ms;  // an engine counts a latency of 0 ms as a failure
        return reply;
    };
    httpsTarget_ = std::make_unique<HttpServer>(certificates_);
    httpsTarget_->setHandler(noContent);
    probeEndpoint_ = std::make_unique<HttpServer>(certificates_);
    probeEndpoint_->setHandler(noContent);
    std::vector<std::string> allowed = loopbackOnly;
    allowed.insert(allowed.end(), reachableNetworks.begin(), reachableNetworks.end());
    server_ = std::make_unique<VpsServer>(VpsServerOptions{
        .listenAddress = listenAddress_,
        .directory = dir_.path() / "server",
        .certificates = &certificates_,
        .handshakePort = handshakeTarget_->port(),
        .allowedDestinations = std::move(allowed),
    });
}

Fleet::~Fleet() = default;

std::string Fleet::probeURL() const { return probeEndpoint_->url("/generate_204"); }

ServerListEntry Fleet::serverListEntry(std::int64_t vpsId, const std::string& name) const {
    return {
        .vpsId = vpsId,
        .name = name,
        .region = "Loopback",
        .publicIp = listenAddress_,
        .hysteria2Url = hysteria2Url(name + " Hysteria2"),
        .realityUrl = realityUrl(name + " Reality"),
        .configVersion = 1,
    };
}

}  // namespace corvane::fleet
