// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Config/ConfigAllowList.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <initializer_list>
#include <optional>

#include <boost/url/parse.hpp>

#include "CorvaneCore/Config/ConfigBuilder.hpp"

namespace corvane::ConfigAllowList {

Refusal::Refusal(std::string path, std::string reason)
    : path_(std::move(path)), reason_(std::move(reason)), description_(path_ + ": " + reason_) {}

namespace {

using Keys = std::initializer_list<std::string_view>;

std::string kindName(const JSONValue& v) {
    switch (v.kind()) {
        case JSONValue::Kind::boolean: return "a Boolean";
        case JSONValue::Kind::number: return "a number";
        case JSONValue::Kind::string: return "a string";
        case JSONValue::Kind::array: return "an array";
        case JSONValue::Kind::object: return "an object";
        case JSONValue::Kind::null: return "null";
    }
    return "a value";
}

// A key as it may appear in an error: control characters escaped, at most 64 bytes.
std::string printable(std::string_view key) {
    std::string out;
    for (unsigned char c : key.substr(0, 64)) {
        if (c < 0x20 || c == 0x7f || c == '"' || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    if (key.size() > 64) out += "...";
    return out;
}

std::string quoted(std::string_view text) { return "\"" + printable(text) + "\""; }

std::string join(const std::string& path, std::string_view key) {
    return path.empty() ? printable(key) : path + "." + printable(key);
}

std::string indexed(const std::string& path, std::size_t i) { return path + "[" + std::to_string(i) + "]"; }

[[noreturn]] void refuse(const std::string& path, std::string reason) {
    throw Refusal(path.empty() ? "(top level)" : path, std::move(reason));
}

const std::string& checkedString(const JSONValue& v, const std::string& path) {
    const std::string* s = v.string();
    if (!s) refuse(path, "expected a string, found " + kindName(v));
    if (s->size() > maxStringBytes) refuse(path, "longer than " + std::to_string(maxStringBytes) + " bytes");
    return *s;
}

std::int64_t checkedInteger(const JSONValue& v, const std::string& path, std::int64_t min, std::int64_t max) {
    const double* n = v.number();
    if (!n) refuse(path, "expected an integer, found " + kindName(v));
    if (std::floor(*n) != *n || *n < static_cast<double>(min) || *n > static_cast<double>(max)) {
        refuse(path, "expected an integer from " + std::to_string(min) + " to " + std::to_string(max));
    }
    return static_cast<std::int64_t>(*n);
}

const JSONValue::Array& checkedArray(const JSONValue& v, const std::string& path, std::size_t minCount) {
    const JSONValue::Array* a = v.array();
    if (!a) refuse(path, "expected an array, found " + kindName(v));
    if (a->size() < minCount) refuse(path, "needs at least " + std::to_string(minCount) + (minCount == 1 ? " entry" : " entries"));
    return *a;
}

bool isHttpsURL(std::string_view text) {
    auto url = boost::urls::parse_absolute_uri(text);
    return url && url->scheme() == "https" && url->has_authority() && !url->host().empty() && !url->has_userinfo();
}

// One object of the accepted shape. Every key of the text must be one of
// `allowed` (checked in the text's order, so the first stranger is named);
// the values are then read one by one into a new object in the builder's order.
class Fields {
public:
    Fields(const JSONValue& value, std::string path, Keys allowed) : path_(std::move(path)) {
        object_ = value.object();
        if (!object_) refuse(path_, "expected an object, found " + kindName(value));
        for (const auto& entry : *object_) {
            if (std::find(allowed.begin(), allowed.end(), entry.first) == allowed.end()) {
                refuse(join(path_, entry.first), "not allowed here");
            }
        }
    }

    std::string pathOf(std::string_view key) const { return join(path_, key); }
    const JSONValue* find(std::string_view key) const { return object_->find(key); }
    const JSONValue& required(std::string_view key) const {
        if (const JSONValue* v = find(key)) return *v;
        refuse(pathOf(key), "missing");
    }

    const std::string& string(std::string_view key) {
        const std::string& s = checkedString(required(key), pathOf(key));
        out_.set(key, s);
        return s;
    }
    const std::string& nonEmptyString(std::string_view key) {
        const std::string& s = string(key);
        if (s.empty()) refuse(pathOf(key), "must not be empty");
        return s;
    }
    void optionalString(std::string_view key) {
        if (find(key)) string(key);
    }
    void oneOf(std::string_view key, Keys values) {
        const std::string& s = string(key);
        if (std::find(values.begin(), values.end(), s) == values.end()) refuse(pathOf(key), quoted(s) + " is not allowed here");
    }
    std::int64_t integer(std::string_view key, std::int64_t min, std::int64_t max) {
        std::int64_t n = checkedInteger(required(key), pathOf(key), min, max);
        out_.set(key, n);
        return n;
    }
    void optionalInteger(std::string_view key, std::int64_t min, std::int64_t max) {
        if (find(key)) integer(key, min, max);
    }
    bool boolean(std::string_view key) {
        const JSONValue& v = required(key);
        if (!v.isBool()) refuse(pathOf(key), "expected a Boolean, found " + kindName(v));
        out_.set(key, *v.boolValue());
        return *v.boolValue();
    }
    void optionalBoolean(std::string_view key) {
        if (find(key)) boolean(key);
    }
    void strings(std::string_view key, std::size_t minCount = 0) {
        const std::string path = pathOf(key);
        JSONValue::Array copy;
        for (const auto& item : checkedArray(required(key), path, minCount)) {
            copy.emplace_back(checkedString(item, indexed(path, copy.size())));
        }
        out_.set(key, std::move(copy));
    }
    void optionalStrings(std::string_view key) {
        if (find(key)) strings(key);
    }
    void exactly(std::string_view key, const JSONValue& expected) {
        const JSONValue& v = required(key);
        if (!(v == expected)) refuse(pathOf(key), "must be " + expected.serialize());
        out_.set(key, expected);
    }
    // Each entry of the array under `key`, decoded by `item` from its value and path.
    template <class Item>
    void each(std::string_view key, std::size_t minCount, Item item) {
        const std::string path = pathOf(key);
        JSONValue::Array copy;
        for (const auto& entry : checkedArray(required(key), path, minCount)) {
            copy.push_back(item(entry, indexed(path, copy.size())));
        }
        out_.set(key, std::move(copy));
    }
    template <class Item>
    void optionalEach(std::string_view key, Item item) {
        if (find(key)) each(key, 0, item);
    }
    void put(std::string_view key, JSONValue value) { out_.set(key, std::move(value)); }

    JSONValue take() { return std::move(out_); }

private:
    std::string path_;
    const JSONObject* object_ = nullptr;
    JSONObject out_;
};

// The "type" of an item whose allowed keys depend on it.
std::string typeOf(const JSONValue& item, const std::string& path) {
    if (!item.isObject()) refuse(path, "expected an object, found " + kindName(item));
    const JSONValue* type = item.find("type");
    if (!type) refuse(path + ".type", "missing");
    return checkedString(*type, path + ".type");
}

JSONValue log(const JSONValue& v, const std::string& path) {
    Fields f(v, path, {"level", "timestamp"});
    if (f.find("level")) f.oneOf("level", {"trace", "debug", "info", "warn", "error", "fatal", "panic"});
    f.optionalBoolean("timestamp");
    return f.take();
}

JSONValue dnsServer(const JSONValue& v, const std::string& path) {
    const std::string type = typeOf(v, path);
    if (type == "https") {
        Fields f(v, path, {"type", "tag", "server", "detour", "tls"});
        f.string("type");
        f.nonEmptyString("tag");
        f.nonEmptyString("server");
        f.optionalString("detour");
        if (const JSONValue* tls = f.find("tls")) {
            Fields t(*tls, f.pathOf("tls"), {"enabled", "server_name"});
            t.boolean("enabled");
            t.optionalString("server_name");
            f.put("tls", t.take());
        }
        return f.take();
    }
    if (type == "udp") {
        Fields f(v, path, {"type", "tag", "server", "detour"});
        f.string("type");
        f.nonEmptyString("tag");
        f.nonEmptyString("server");
        f.optionalString("detour");
        return f.take();
    }
    refuse(path + ".type", quoted(type) + " is not a DNS server the app makes");
}

JSONValue dnsRule(const JSONValue& v, const std::string& path) {
    Fields f(v, path, {"domain_suffix", "rule_set", "server"});
    f.optionalStrings("domain_suffix");
    f.optionalString("rule_set");
    f.nonEmptyString("server");
    return f.take();
}

JSONValue dns(const JSONValue& v, const std::string& path) {
    Fields f(v, path, {"servers", "strategy", "disable_cache", "rules"});
    f.each("servers", 1, dnsServer);
    if (f.find("strategy")) f.oneOf("strategy", {"prefer_ipv4", "prefer_ipv6", "ipv4_only", "ipv6_only"});
    f.optionalBoolean("disable_cache");
    f.optionalEach("rules", dnsRule);
    return f.take();
}

// The TUN inbound exactly as the builder writes it: the service alone decides
// how it routes (a member must not steer other users' traffic).
JSONValue tunInbound(const JSONValue& v, const std::string& path) {
    const JSONValue expected = ConfigBuilder::tunInbound();
    Fields f(v, path, {"type", "tag", "interface_name", "address", "mtu", "stack", "sniff"});
    for (const auto& [key, value] : *expected.object()) f.exactly(key, value);
    return f.take();
}

bool isOneAddress(const std::string& text) {
    in_addr v4{};
    if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        const std::uint32_t a = ntohl(v4.s_addr);
        return a != 0 && a != 0xffffffffu && (a >> 28) != 0xe;  // not every address, broadcast or multicast
    }
    in6_addr v6{};
    if (::inet_pton(AF_INET6, text.c_str(), &v6) == 1) return !IN6_IS_ADDR_UNSPECIFIED(&v6) && !IN6_IS_ADDR_MULTICAST(&v6);
    return false;
}

// The LAN share: one address (the service then keeps it only when the device
// has that address), an unprivileged port, and a password for every user.
JSONValue lanShareInbound(const JSONValue& v, const std::string& path) {
    Fields f(v, path, {"type", "tag", "listen", "listen_port", "users"});
    f.string("type");
    f.exactly("tag", JSONValue(ConfigBuilder::LanShare::tag));
    const std::string& listen = f.string("listen");
    if (!isOneAddress(listen)) {
        refuse(f.pathOf("listen"), quoted(listen) + " is not one address of this device (LAN sharing listens on the device's own address)");
    }
    f.integer("listen_port", lowestLanSharePort, 65535);
    f.each("users", 1, [](const JSONValue& user, const std::string& userPath) {
        Fields u(user, userPath, {"username", "password"});
        u.nonEmptyString("username");
        u.nonEmptyString("password");
        return u.take();
    });
    return f.take();
}

JSONValue inbound(const JSONValue& v, const std::string& path) {
    const std::string type = typeOf(v, path);
    if (type == "tun") return tunInbound(v, path);
    if (type == "mixed") return lanShareInbound(v, path);
    refuse(path + ".type", quoted(type) + " is not an inbound the app makes");
}

JSONValue inbounds(const JSONValue& v, const std::string& path) {
    JSONValue::Array out;
    bool tun = false, lanShare = false;
    for (const auto& item : checkedArray(v, path, 1)) {
        const std::string itemPath = indexed(path, out.size());
        JSONValue checked = inbound(item, itemPath);
        bool& seen = *checked.find("type")->string() == "tun" ? tun : lanShare;
        if (seen) refuse(itemPath, "a second " + *checked.find("tag")->string() + " inbound");
        seen = true;
        out.push_back(std::move(checked));
    }
    if (!tun) refuse(path, "the \"tun-in\" inbound is missing");
    return out;
}

JSONValue serverPort(Fields& f) { return f.integer("server_port", 1, 65535); }

JSONValue vlessOutbound(const JSONValue& v, const std::string& path) {
    Fields f(v, path, {"type", "tag", "server", "server_port", "uuid", "flow", "packet_encoding", "tls"});
    f.string("type");
    f.nonEmptyString("tag");
    f.nonEmptyString("server");
    serverPort(f);
    f.string("uuid");
    f.string("flow");
    f.oneOf("packet_encoding", {"", "xudp", "packetaddr"});
    Fields tls(f.required("tls"), f.pathOf("tls"), {"enabled", "server_name", "utls", "reality"});
    tls.boolean("enabled");
    tls.string("server_name");
    Fields utls(tls.required("utls"), tls.pathOf("utls"), {"enabled", "fingerprint"});
    utls.boolean("enabled");
    utls.string("fingerprint");
    tls.put("utls", utls.take());
    Fields reality(tls.required("reality"), tls.pathOf("reality"), {"enabled", "public_key", "short_id"});
    reality.boolean("enabled");
    reality.string("public_key");
    reality.string("short_id");
    tls.put("reality", reality.take());
    f.put("tls", tls.take());
    return f.take();
}

JSONValue hysteria2Outbound(const JSONValue& v, const std::string& path) {
    Fields f(v, path, {"type", "tag", "server", "server_port", "password", "tls", "obfs"});
    f.string("type");
    f.nonEmptyString("tag");
    f.nonEmptyString("server");
    serverPort(f);
    f.string("password");
    // "certificate" is the pinned certificate itself (PEM text), never a file.
    Fields tls(f.required("tls"), f.pathOf("tls"), {"enabled", "insecure", "alpn", "server_name", "certificate"});
    tls.boolean("enabled");
    tls.boolean("insecure");
    tls.strings("alpn");
    tls.optionalString("server_name");
    tls.optionalString("certificate");
    f.put("tls", tls.take());
    if (const JSONValue* obfs = f.find("obfs")) {
        Fields o(*obfs, f.pathOf("obfs"), {"type", "password"});
        o.oneOf("type", {"salamander"});
        o.string("password");
        f.put("obfs", o.take());
    }
    return f.take();
}

JSONValue outbound(const JSONValue& v, const std::string& path) {
    const std::string type = typeOf(v, path);
    if (type == "vless") return vlessOutbound(v, path);
    if (type == "hysteria2") return hysteria2Outbound(v, path);
    if (type == "urltest") {
        Fields f(v, path, {"type", "tag", "outbounds", "url", "interval", "tolerance", "idle_timeout"});
        f.string("type");
        f.nonEmptyString("tag");
        f.strings("outbounds", 1);
        if (f.find("url") && !isHttpsURL(f.string("url"))) refuse(f.pathOf("url"), "only https URLs are allowed");
        f.optionalString("interval");
        f.optionalInteger("tolerance", 0, 65535);
        f.optionalString("idle_timeout");
        return f.take();
    }
    if (type == "selector") {
        Fields f(v, path, {"type", "tag", "outbounds", "default", "interrupt_exist_connections"});
        f.string("type");
        f.nonEmptyString("tag");
        f.strings("outbounds", 1);
        f.optionalString("default");
        f.optionalBoolean("interrupt_exist_connections");
        return f.take();
    }
    if (type == "direct") {
        Fields f(v, path, {"type", "tag"});
        f.string("type");
        f.nonEmptyString("tag");
        return f.take();
    }
    refuse(path + ".type", quoted(type) + " is not an outbound the app makes");
}

JSONValue endpoint(const JSONValue& v, const std::string& path) {
    const std::string type = typeOf(v, path);
    if (type != "wireguard") refuse(path + ".type", quoted(type) + " is not an endpoint the app makes");
    Fields f(v, path, {"type", "tag", "address", "private_key", "mtu", "peers"});
    f.string("type");
    f.nonEmptyString("tag");
    f.strings("address", 1);
    f.string("private_key");
    f.integer("mtu", 576, 65535);
    f.each("peers", 1, [](const JSONValue& peer, const std::string& peerPath) {
        Fields p(peer, peerPath, {"address", "port", "public_key", "allowed_ips", "persistent_keepalive_interval"});
        p.nonEmptyString("address");
        p.integer("port", 1, 65535);
        p.string("public_key");
        p.strings("allowed_ips");
        p.optionalInteger("persistent_keepalive_interval", 0, 65535);
        return p.take();
    });
    return f.take();
}

JSONValue routeRule(const JSONValue& v, const std::string& path) {
    Fields f(v, path, {"action", "protocol", "inbound", "ip_is_private", "ip_cidr", "domain", "domain_suffix", "rule_set",
                       "outbound"});
    if (f.find("action")) f.oneOf("action", {"route", "reject", "hijack-dns"});
    f.optionalString("protocol");
    f.optionalStrings("inbound");
    f.optionalBoolean("ip_is_private");
    f.optionalStrings("ip_cidr");
    f.optionalStrings("domain");
    f.optionalStrings("domain_suffix");
    f.optionalStrings("rule_set");
    f.optionalString("outbound");
    return f.take();
}

// Why `url` is not a file below `base`, or nothing when it is. The rest after
// the base may hold only plain path characters, so that no dot segment,
// percent-encoding, backslash, query or fragment can make a server (or a
// redirect it sends) resolve it to somewhere else.
std::optional<std::string> outsideBase(std::string_view url, std::string base) {
    if (base.empty()) return "no remote rule sets are allowed (no rule-set base is set)";
    // "https://r.example/rules" must not take in "https://r.example/rules-evil/".
    if (!base.ends_with('/')) base += '/';
    const std::string only = "only rule sets under " + base + " are allowed";
    if (!url.starts_with(base)) return only;
    const std::string_view rest = url.substr(base.size());
    if (rest.empty()) return only + ", and the URL names no file below it";
    for (unsigned char c : rest) {
        const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alnum && std::string_view("-._~!/").find(static_cast<char>(c)) == std::string_view::npos) {
            return only + ", and the rest of the URL may hold only letters, digits, \"-._~!\" and \"/\"";
        }
    }
    for (std::size_t start = 0; start <= rest.size();) {
        std::size_t end = rest.find('/', start);
        if (end == std::string_view::npos) end = rest.size();
        const std::string_view segment = rest.substr(start, end - start);
        if (segment.empty() || segment == "." || segment == "..") {
            return only + ", and the rest of the URL may not have empty, \".\" or \"..\" segments";
        }
        start = end + 1;
    }
    return std::nullopt;
}

// Rule sets are fetched over https, from the operator's rule-set base only; a
// local one would have the engine read a file.
JSONValue ruleSet(const JSONValue& v, const std::string& path, const Options& options) {
    const std::string type = typeOf(v, path);
    if (type != "remote") refuse(path + ".type", quoted(type) + " is not allowed: only remote rule sets over https");
    Fields f(v, path, {"type", "tag", "format", "url", "download_detour", "update_interval"});
    f.string("type");
    f.nonEmptyString("tag");
    f.oneOf("format", {"binary", "source"});
    const std::string& url = f.string("url");
    if (auto why = outsideBase(url, options.ruleSetBaseURL)) refuse(f.pathOf("url"), std::move(*why));
    if (!isHttpsURL(url)) refuse(f.pathOf("url"), "only https URLs are allowed");
    f.optionalString("download_detour");
    f.optionalString("update_interval");
    return f.take();
}

JSONValue route(const JSONValue& v, const std::string& path, const Options& options) {
    Fields f(v, path, {"rules", "auto_detect_interface", "final", "rule_set"});
    f.optionalEach("rules", routeRule);
    f.optionalBoolean("auto_detect_interface");
    f.optionalString("final");
    f.optionalEach("rule_set", [&](const JSONValue& item, const std::string& itemPath) { return ruleSet(item, itemPath, options); });
    return f.take();
}

JSONValue experimental(const JSONValue& v, const std::string& path) {
    Fields f(v, path, {"cache_file", "clash_api"});
    if (const JSONValue* cache = f.find("cache_file")) {
        // The cache lives in the engine's own folder, under the name the service gives it.
        Fields c(*cache, f.pathOf("cache_file"), {"enabled", "path"});
        c.optionalBoolean("enabled");
        if (c.find("path")) c.exactly("path", "cache.db");
        f.put("cache_file", c.take());
    }
    if (const JSONValue* api = f.find("clash_api")) {
        // The service sets the listen address and the secret itself.
        Fields a(*api, f.pathOf("clash_api"), {"external_controller"});
        a.optionalString("external_controller");
        f.put("clash_api", a.take());
    }
    return f.take();
}

}  // namespace

JSONValue check(const JSONValue& document, const Options& options) {
    Fields f(document, "", {"log", "dns", "inbounds", "outbounds", "route", "endpoints", "experimental"});
    if (const JSONValue* v = f.find("log")) f.put("log", log(*v, "log"));
    if (const JSONValue* v = f.find("dns")) f.put("dns", dns(*v, "dns"));
    f.put("inbounds", inbounds(f.required("inbounds"), "inbounds"));
    f.each("outbounds", 1, outbound);
    f.put("route", route(f.required("route"), "route", options));
    f.optionalEach("endpoints", endpoint);
    if (const JSONValue* v = f.find("experimental")) f.put("experimental", experimental(*v, "experimental"));
    return f.take();
}

std::string checkText(std::string_view text, const Options& options) {
    return check(JSONValue::parse(text), options).serialize();
}

}  // namespace corvane::ConfigAllowList
