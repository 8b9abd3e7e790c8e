// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Config/ConfigBuilder.hpp"

#include <array>

#include "CorvaneCore/Config/DeploymentValues.hpp"
#include "CorvaneCore/Support/AtomicFile.hpp"

namespace corvane::ConfigBuilder {

namespace {

constexpr std::string_view kPasswordAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
static_assert(kPasswordAlphabet.size() == 64);

JSONValue stringArray(const std::vector<std::string>& items) {
    JSONValue::Array out;
    out.reserve(items.size());
    for (const auto& item : items) out.emplace_back(item);
    return out;
}

}  // namespace

const std::string& BuildError::description() const noexcept {
    static const std::string texts[] = {
        "build() requires at least one share URL",
        "shareOverLanPassword is required when shareOverLanListen is set \u2014 no open relays",
    };
    return texts[static_cast<int>(case_)];
}

std::string siteTag(std::int64_t index) {
    return "site-" + std::to_string(index);
}

std::string siteSwitchTag(std::int64_t index) {
    return "site-" + std::to_string(index) + "-switch";
}

JSONValue LanShare::inbound(const std::string& listen, const std::string& password) {
    JSONObject user{{"username", JSONValue(username)}, {"password", password}};
    return JSONObject{
        {"type", "mixed"},
        {"tag", JSONValue(tag)},
        {"listen", listen},
        {"listen_port", port},
        {"users", JSONValue::Array{JSONValue(std::move(user))}},
    };
}

std::string LanShare::proxyURL(std::string_view scheme, std::string_view address, std::string_view password) {
    std::string url;
    url.append(scheme).append("://").append(username).append(":").append(password).append("@").append(address);
    url.append(":").append(std::to_string(port));
    return url;
}

std::string LanShare::generatePassword() {
    std::array<unsigned char, 16> random{};
    randomBytes(random.data(), random.size());
    std::string password;
    password.reserve(random.size());
    // 64 divides 256, so keeping the low six bits of a uniform byte is uniform.
    for (unsigned char byte : random) password += kPasswordAlphabet[byte & 63];
    return password;
}

JSONValue tunInbound() {
    return JSONObject{
        {"type", "tun"},
        {"tag", "tun-in"},
        {"interface_name", std::string(tunInterfaceName)},
        {"address", JSONValue::Array{"172.18.0.1/30", "fdfe:dcba:9876::1/126"}},
        {"mtu", 9000},
        {"stack", "mixed"},
        {"sniff", true},
    };
}

JSONValue realityOutbound(const VlessRealityUrl& url, const std::string& tag) {
    JSONObject tls{
        {"enabled", true},
        {"server_name", url.sni},
        {"utls", JSONObject{{"enabled", true}, {"fingerprint", url.fingerprint}}},
        {"reality", JSONObject{{"enabled", true}, {"public_key", url.publicKey}, {"short_id", url.shortId}}},
    };
    return JSONObject{
        {"type", "vless"},
        {"tag", tag},
        {"server", url.host},
        {"server_port", url.port},
        {"uuid", url.uuid},
        {"flow", url.flow},
        {"packet_encoding", "xudp"},
        {"tls", std::move(tls)},
    };
}

JSONValue hysteria2Outbound(const Hysteria2Url& url, const std::string& tag) {
    JSONObject tls{{"enabled", true}, {"insecure", url.effectiveInsecure()}, {"alpn", stringArray(url.alpn)}};
    if (url.sni) tls.set("server_name", *url.sni);
    if (auto pem = url.pinnedCertPem()) tls.set("certificate", std::move(*pem));
    JSONObject outbound{
        {"type", "hysteria2"},
        {"tag", tag},
        {"server", url.host},
        {"server_port", url.port},
        {"password", url.password},
    };
    outbound.set("tls", std::move(tls));
    if (url.obfsType && url.obfsPassword) {
        outbound.set("obfs", JSONObject{{"type", *url.obfsType}, {"password", *url.obfsPassword}});
    }
    return outbound;
}

JSONValue build(const Inputs& in) {
    if (in.shares.empty()) throw BuildError::noShares();
    if (in.shareOverLanListen && (!in.shareOverLanPassword || in.shareOverLanPassword->empty())) {
        throw BuildError::lanShareWithoutPassword();
    }
    const bool useRuleSets = in.includeRuleSets && in.smartRouting;

    std::vector<std::string> proxyTags;
    proxyTags.reserve(in.shares.size());
    for (std::size_t i = 0; i < in.shares.size(); ++i) proxyTags.push_back("proxy-" + std::to_string(i));

    JSONValue::Array outbounds;
    outbounds.reserve(in.shares.size() + 3 + in.sites.size());
    for (std::size_t i = 0; i < in.shares.size(); ++i) {
        if (const auto* reality = in.shares[i].vlessReality()) {
            outbounds.push_back(realityOutbound(*reality, proxyTags[i]));
        } else {
            outbounds.push_back(hysteria2Outbound(*in.shares[i].hysteria2(), proxyTags[i]));
        }
    }
    outbounds.push_back(JSONObject{
        {"type", "urltest"},
        {"tag", "proxy-auto"},
        {"outbounds", stringArray(proxyTags)},
        {"url", in.urlTestURL},
        {"interval", "3m"},
        {"tolerance", 50},
        {"idle_timeout", "30m"},
    });
    JSONValue::Array selectorMembers{"proxy-auto"};
    selectorMembers.reserve(proxyTags.size() + 1);
    for (const auto& tag : proxyTags) selectorMembers.emplace_back(tag);
    outbounds.push_back(JSONObject{
        {"type", "selector"},
        {"tag", "proxy"},
        {"outbounds", std::move(selectorMembers)},
        {"default", "proxy-auto"},
        {"interrupt_exist_connections", false},
    });
    outbounds.push_back(JSONObject{{"type", "direct"}, {"tag", "direct"}});
    for (std::size_t i = 0; i < in.sites.size(); ++i) outbounds.push_back(siteSwitch(static_cast<std::int64_t>(i)));

    JSONValue::Array inbounds{tunInbound()};
    if (in.shareOverLanListen && in.shareOverLanPassword) {
        inbounds.push_back(LanShare::inbound(*in.shareOverLanListen, *in.shareOverLanPassword));
    }

    JSONObject route;
    route.set("rules", routeRules(in.smartRouting, in.shares, useRuleSets, in.sites, in.directDomainSuffixes));
    route.set("auto_detect_interface", true);
    route.set("final", "proxy");
    if (useRuleSets) {
        route.set("rule_set", JSONValue::Array{ruleSet("geoip-cn", "sing-geoip", in.ruleSetBaseURL),
                                                   ruleSet("geosite-cn", "sing-geosite", in.ruleSetBaseURL)});
    }

    JSONObject document;
    document.set("log", JSONObject{{"level", "info"}, {"timestamp", true}});
    document.set("dns", dns(in.smartRouting, useRuleSets, in.sites, in.resolvers, in.directDomainSuffixes));
    document.set("inbounds", std::move(inbounds));
    document.set("outbounds", std::move(outbounds));
    document.set("route", std::move(route));
    if (!in.sites.empty()) {
        JSONValue::Array endpoints;
        endpoints.reserve(in.sites.size());
        for (std::size_t i = 0; i < in.sites.size(); ++i) {
            endpoints.push_back(siteEndpoint(in.sites[i], siteTag(static_cast<std::int64_t>(i))));
        }
        document.set("endpoints", std::move(endpoints));
    }
    // The control API's secret is added on the tunnel side, never written here.
    document.set("experimental", JSONObject{
                                     {"cache_file", JSONObject{{"enabled", true}, {"path", "cache.db"}}},
                                     {"clash_api", JSONObject{{"external_controller", in.clashListen}}},
                                 });
    return document;
}

}  // namespace corvane::ConfigBuilder
