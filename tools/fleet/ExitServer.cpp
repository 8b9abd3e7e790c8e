// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/fleet/ExitServer.hpp"

#include "CorvaneCore/Support/JSONValue.hpp"
#include "tools/fleet/NetworkPorts.hpp"
#include "tools/fleet/ServerConfig.hpp"

namespace corvane::fleet {

ExitServer::ExitServer(ExitServerOptions options)
    : options_(std::move(options)), uuid_(lowerCaseUUID()), controlSecret_(randomHex(16)) {
    startOnFreshPorts([this] { start(); });
}

void ExitServer::start() {
    port_ = freeTcpPort();
    controlPort_ = freeTcpPort();
    JSONValue config = JSONObject{
        {"log", serverLog()},
        {"inbounds", JSONValue::Array{JSONObject{{"type", "vless"},
                                                 {"tag", "exit-in"},
                                                 {"listen", "127.0.0.1"},
                                                 {"listen_port", port_},
                                                 {"users", JSONValue::Array{JSONObject{{"name", "entry"}, {"uuid", uuid_}}}}}}},
        {"outbounds", JSONValue::Array{directOutbound(options_.sourceAddress)}},
        {"route", JSONObject{{"rules", JSONValue::Array{refuseOutside(options_.allowedDestinations)}}, {"final", "direct"}}},
        {"experimental", controlAPI(controlPort_, controlSecret_)},
    };
    engine_ = std::make_unique<Engine>(options_.directory, config.serialize(2));
    engine_->waitUntilListening(controlPort_);
}

ExitServer::~ExitServer() = default;

}  // namespace corvane::fleet
