#include "TestSupport/TestFleet.hpp"

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "CorvaneCore/Support/AtomicFile.hpp"
#include "CorvaneCore/Support/Base64.hpp"
#include "CorvaneCore/Support/JSONValue.hpp"
#include "TestSupport/NetworkPorts.hpp"

namespace corvane::testing {

using namespace std::chrono_literals;

namespace {

std::string percentEncode(const std::string& text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out.push_back(static_cast<char>(c));
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string hexBytes(std::size_t count) {
    std::string bytes(count, '\0');
    randomBytes(bytes.data(), bytes.size());
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    return out;
}

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

TestFleet::TestFleet(std::string listenAddress, std::vector<std::string> reachableNetworks)
    : listenAddress_(std::move(listenAddress)),
      certificates_(TestCertificates::make(dir_.path(), listenAddress_ == "127.0.0.1"
                                                            ? std::vector<std::string>{"localhost", "127.0.0.1"}
                                                            : std::vector<std::string>{"localhost", "127.0.0.1", listenAddress_})),
      hysteria2Password_("hy2-" + hexBytes(8)) {
    uuid_ = makeUUID();
    std::transform(uuid_.begin(), uuid_.end(), uuid_.begin(), [](unsigned char c) { return std::tolower(c); });
    const std::string keys = runEngineTool({"generate", "reality-keypair"});
    privateKey_ = field(keys, "PrivateKey");
    publicKey_ = field(keys, "PublicKey");
    shortId_ = hexBytes(8);

    handshakeTarget_ = std::make_unique<TestHttpServer>(certificates_);
    httpTarget_ = std::make_unique<TestHttpServer>();
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
    httpsTarget_ = std::make_unique<TestHttpServer>(certificates_);
    httpsTarget_->setHandler(noContent);
    probeEndpoint_ = std::make_unique<TestHttpServer>(certificates_);
    probeEndpoint_->setHandler(noContent);

    realityPort_ = freeTcpPort();
    hysteria2Port_ = freeTcpAndUdpPort();
    const std::uint16_t apiPort = freeTcpPort();

    JSONValue vless = JSONObject{
        {"type", "vless"},
        {"tag", "vless-in"},
        {"listen", listenAddress_},
        {"listen_port", realityPort_},
        {"users", JSONValue::Array{JSONObject{{"uuid", uuid_}, {"flow", "xtls-rprx-vision"}}}},
        {"tls", JSONObject{{"enabled", true},
                           {"server_name", realityServerName_},
                           {"reality", JSONObject{{"enabled", true},
                                                  {"handshake", JSONObject{{"server", "127.0.0.1"},
                                                                           {"server_port", handshakeTarget_->port()}}},
                                                  {"private_key", privateKey_},
                                                  {"short_id", JSONValue::Array{shortId_}}}}}},
    };
    JSONValue hysteria2 = JSONObject{
        {"type", "hysteria2"},
        {"tag", "hysteria2-in"},
        {"listen", listenAddress_},
        {"listen_port", hysteria2Port_},
        {"users", JSONValue::Array{JSONObject{{"name", "fleet"}, {"password", hysteria2Password_}}}},
        {"tls", JSONObject{{"enabled", true},
                           {"alpn", JSONValue::Array{"h3"}},
                           {"certificate_path", certificates_.certFile.string()},
                           {"key_path", certificates_.keyFile.string()}}},
    };
    JSONValue::Array reachable{"127.0.0.0/8", "::1/128"};
    for (auto& network : reachableNetworks) reachable.emplace_back(std::move(network));
    JSONValue config = JSONObject{
        {"log", JSONObject{{"level", "info"}, {"timestamp", true}}},
        {"inbounds", JSONValue::Array{vless, hysteria2}},
        {"outbounds", JSONValue::Array{JSONObject{{"type", "direct"}, {"tag", "direct"}}}},
        // Loopback and the test's own networks only: anything else a client sends (the default
        // probe URL, a public resolver) is refused here instead of leaving the machine. A
        // destination given by name matches no address range, so only "localhost" passes.
        {"route", JSONObject{{"rules", JSONValue::Array{
                                           JSONObject{{"domain", JSONValue::Array{"localhost"}}, {"action", "route"}, {"outbound", "direct"}},
                                           JSONObject{{"ip_cidr", reachable}, {"invert", true}, {"action", "reject"}},
                                       }},
                             {"final", "direct"}}},
        // The control API opens only once every inbound is up: it tells when the fleet is ready.
        {"experimental",
         JSONObject{{"clash_api", JSONObject{{"external_controller", "127.0.0.1:" + std::to_string(apiPort)}}}}},
    };
    server_ = std::make_unique<TestEngine>(dir_.path() / "server", config.serialize(2));
    server_->waitUntilListening(apiPort);
}

TestFleet::~TestFleet() = default;

std::string TestFleet::probeURL() const { return probeEndpoint_->url("/generate_204"); }

std::string TestFleet::realityUrl(const std::string& remark) const {
    return "vless://" + uuid_ + "@" + listenAddress_ + ":" + std::to_string(realityPort_) +
           "?encryption=none&flow=xtls-rprx-vision&security=reality&sni=" + realityServerName_ +
           "&fp=chrome&pbk=" + publicKey_ + "&sid=" + shortId_ + "&type=tcp#" + percentEncode(remark);
}

std::string TestFleet::hysteria2Url(const std::string& remark, bool pinCertificate) const {
    std::string url = "hysteria2://" + percentEncode(hysteria2Password_) + "@" + listenAddress_ + ":" +
                      std::to_string(hysteria2Port_) + "/?sni=" + hysteria2ServerName_ + "&alpn=h3";
    url += pinCertificate ? "&cert=" + certificateParameter(certificates_.certPem) : std::string("&insecure=1");
    return url + "#" + percentEncode(remark);
}

ServerListEntry TestFleet::serverListEntry(std::int64_t vpsId, const std::string& name) const {
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

}  // namespace corvane::testing
