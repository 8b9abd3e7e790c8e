// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/fleet/VpsServer.hpp"

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "CorvaneCore/Support/Base64.hpp"
#include "CorvaneCore/Support/JSONValue.hpp"
#include "tools/fleet/NetworkPorts.hpp"
#include "tools/fleet/ServerConfig.hpp"

namespace corvane::fleet {

namespace {

// "Name: value" from the output of `sing-box generate reality-keypair`.
std::string field(const std::string& text, const std::string& name) {
    auto at = text.find(name + ": ");
    if (at == std::string::npos) throw std::runtime_error("no " + name + " in: " + text);
    at += name.size() + 2;
    return text.substr(at, text.find('\n', at) - at);
}

// The certificate's DER bytes in URL-safe base64 without padding, as the panel pins it.
std::string certificateParameter(const std::string& pem) {
    std::string body;
    std::size_t begin = pem.find("-----BEGIN CERTIFICATE-----");
    std::size_t end = pem.find("-----END CERTIFICATE-----");
    if (begin == std::string::npos || end == std::string::npos) throw std::runtime_error("not a PEM certificate");
    for (std::size_t i = pem.find('\n', begin) + 1; i < end; ++i) {
        if (!std::isspace(static_cast<unsigned char>(pem[i]))) body += pem[i];
    }
    auto der = base64Decode(body);
    if (!der) throw std::runtime_error("bad PEM certificate");
    std::string text = base64Encode(*der);
    std::replace(text.begin(), text.end(), '+', '-');
    std::replace(text.begin(), text.end(), '/', '_');
    while (!text.empty() && text.back() == '=') text.pop_back();
    return text;
}

}  // namespace

VpsServer::VpsServer(VpsServerOptions options)
    : options_(std::move(options)), hysteria2Password_("hy2-" + randomHex(8)), controlSecret_(randomHex(16)) {
    if (!options_.certificates) throw std::invalid_argument("a VPS server needs a certificate for Hysteria2");
    uuid_ = lowerCaseUUID();
    const std::string keys = runEngineTool({"generate", "reality-keypair"});
    privateKey_ = field(keys, "PrivateKey");
    publicKey_ = field(keys, "PublicKey");
    shortId_ = randomHex(8);
    startOnFreshPorts([this] { start(); });
}

void VpsServer::start() {
    exitUsers_.clear();
    realityPort_ = options_.realityPort ? options_.realityPort : freeTcpPort();
    hysteria2Port_ = options_.hysteria2Port ? options_.hysteria2Port : freeTcpAndUdpPort();
    controlPort_ = freeTcpPort();

    JSONValue::Array users{JSONObject{{"name", "fleet"}, {"uuid", uuid_}, {"flow", "xtls-rprx-vision"}}};
    JSONValue::Array outbounds{directOutbound(options_.sourceAddress)};
    JSONValue::Array rules{refuseOutside(options_.allowedDestinations)};
    for (const auto& exit : options_.exits) {
        const std::string user = exitOutbound(exit.exitId);
        exitUsers_.emplace_back(exit.exitId, lowerCaseUUID());
        users.push_back(JSONObject{{"name", user}, {"uuid", exitUsers_.back().second}, {"flow", "xtls-rprx-vision"}});
        outbounds.push_back(JSONObject{{"type", "vless"},
                                       {"tag", user},
                                       {"server", "127.0.0.1"},
                                       {"server_port", exit.port},
                                       {"uuid", exit.uuid}});
        outbounds.push_back(JSONObject{{"type", "selector"},
                                       {"tag", exitSelector(exit.exitId)},
                                       {"outbounds", JSONValue::Array{user, "direct", "block"}},
                                       {"default", user},
                                       {"interrupt_exist_connections", true}});
        rules.push_back(JSONObject{{"auth_user", JSONValue::Array{user}}, {"outbound", exitSelector(exit.exitId)}});
    }
    if (!options_.exits.empty()) outbounds.push_back(JSONObject{{"type", "block"}, {"tag", "block"}});

    JSONValue vless = JSONObject{
        {"type", "vless"},
        {"tag", "vless-in"},
        {"listen", options_.listenAddress},
        {"listen_port", realityPort_},
        {"users", users},
        {"tls", JSONObject{{"enabled", true},
                           {"server_name", realityServerName_},
                           {"reality", JSONObject{{"enabled", true},
                                                  {"handshake", JSONObject{{"server", "127.0.0.1"},
                                                                           {"server_port", options_.handshakePort}}},
                                                  {"private_key", privateKey_},
                                                  {"short_id", JSONValue::Array{shortId_}}}}}},
    };
    JSONValue hysteria2 = JSONObject{
        {"type", "hysteria2"},
        {"tag", "hysteria2-in"},
        {"listen", options_.listenAddress},
        {"listen_port", hysteria2Port_},
        {"users", JSONValue::Array{JSONObject{{"name", "fleet"}, {"password", hysteria2Password_}}}},
        {"tls", JSONObject{{"enabled", true},
                           {"alpn", JSONValue::Array{"h3"}},
                           {"certificate_path", options_.certificates->certFile.string()},
                           {"key_path", options_.certificates->keyFile.string()}}},
    };
    JSONValue config = JSONObject{
        {"log", serverLog()},
        {"inbounds", JSONValue::Array{vless, hysteria2}},
        {"outbounds", outbounds},
        {"route", JSONObject{{"rules", rules}, {"final", "direct"}}},
        {"experimental", controlAPI(controlPort_, controlSecret_)},
    };
    engine_ = std::make_unique<Engine>(options_.directory, config.serialize(2));
    engine_->waitUntilListening(controlPort_);
}

VpsServer::~VpsServer() = default;

std::string VpsServer::exitSelector(std::int64_t exitId) { return "exit-" + std::to_string(exitId) + "-route"; }

std::string VpsServer::exitOutbound(std::int64_t exitId) { return "exit-" + std::to_string(exitId); }

std::string VpsServer::realityUrl(const std::string& remark) const {
    return "vless://" + uuid_ + "@" + options_.listenAddress + ":" + std::to_string(realityPort_) +
           "?encryption=none&flow=xtls-rprx-vision&security=reality&sni=" + realityServerName_ +
           "&fp=chrome&pbk=" + publicKey_ + "&sid=" + shortId_ + "&type=tcp#" + percentEncodeComponent(remark);
}

std::string VpsServer::exitRealityUrl(std::int64_t exitId, const std::string& remark) const {
    auto user = std::find_if(exitUsers_.begin(), exitUsers_.end(), [&](const auto& u) { return u.first == exitId; });
    if (user == exitUsers_.end()) throw std::invalid_argument("this server carries no exit " + std::to_string(exitId));
    return "vless://" + user->second + "@" + options_.listenAddress + ":" + std::to_string(realityPort_) +
           "?encryption=none&flow=xtls-rprx-vision&security=reality&sni=" + realityServerName_ +
           "&fp=chrome&pbk=" + publicKey_ + "&sid=" + shortId_ + "&type=tcp#" + percentEncodeComponent(remark);
}

std::string VpsServer::hysteria2Url(const std::string& remark, bool pinCertificate) const {
    std::string url = "hysteria2://" + percentEncodeComponent(hysteria2Password_) + "@" + options_.listenAddress + ":" +
                      std::to_string(hysteria2Port_) + "/?sni=" + hysteria2ServerName_ + "&alpn=h3";
    url += pinCertificate ? "&cert=" + certificateParameter(options_.certificates->certPem) : std::string("&insecure=1");
    return url + "#" + percentEncodeComponent(remark);
}

}  // namespace corvane::fleet
