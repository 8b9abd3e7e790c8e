// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Panel/PanelRecords.hpp"

#include <charconv>

namespace corvane {

ServerListEntry ServerListEntry::decode(const RecordDecoder& d) {
    return {
        .vpsId = d.required<std::int64_t>("vps_id"),
        .name = d.required<std::string>("name"),
        .region = d.optional<std::string>("region"),
        .publicIp = d.required<std::string>("public_ip"),
        .hysteria2Url = d.required<std::string>("hysteria2_url"),
        .realityUrl = d.required<std::string>("reality_url"),
        .configVersion = d.required<std::int64_t>("config_version"),
    };
}

void ServerListEntry::encode(RecordEncoder& e) const {
    e.set("vps_id", vpsId);
    e.set("name", name);
    e.setOptional("region", region);
    e.set("public_ip", publicIp);
    e.set("hysteria2_url", hysteria2Url);
    e.set("reality_url", realityUrl);
    e.set("config_version", configVersion);
}

std::string ExitTraffic::summary() const {
    if (status == "exhausted") return "Unavailable \u00b7 traffic used up";
    std::string text;
    if (remainingGb) {
        // Fixed two decimals whatever the process locale says.
        char buf[64];
        auto r = std::to_chars(buf, buf + sizeof buf, *remainingGb, std::chars_format::fixed, 2);
        text.assign(buf, r.ptr);
        text += " GB remaining";
    } else {
        text = "Balance unavailable";
    }
    if (status == "low") text += " \u00b7 running low";
    if (stale) text += " \u00b7 last known balance";
    return text;
}

ExitTraffic ExitTraffic::decode(const RecordDecoder& d) {
    return {
        .provider = d.required<std::string>("provider"),
        .status = d.required<std::string>("status"),
        .remainingGb = d.optional<double>("remaining_gb"),
        .lowThresholdGb = d.required<double>("low_threshold_gb"),
        .checkedAt = d.optional<std::string>("checked_at"),
        .stale = d.required<bool>("stale"),
        .fallbackOnExhaustion = d.required<bool>("fallback_on_exhaustion"),
        .usingOriginal = d.required<bool>("using_original"),
    };
}

void ExitTraffic::encode(RecordEncoder& e) const {
    e.set("provider", provider);
    e.set("status", status);
    e.setOptional("remaining_gb", remainingGb);
    e.set("low_threshold_gb", lowThresholdGb);
    e.setOptional("checked_at", checkedAt);
    e.set("stale", stale);
    e.set("fallback_on_exhaustion", fallbackOnExhaustion);
    e.set("using_original", usingOriginal);
}

ClientExit ClientExit::decode(const RecordDecoder& d) {
    return {
        .exitId = d.required<std::int64_t>("exit_id"),
        .vpsId = d.required<std::int64_t>("vps_id"),
        .name = d.required<std::string>("name"),
        .region = d.optional<std::string>("region"),
        .metered = d.required<bool>("metered"),
        .ready = d.required<bool>("ready"),
        .realityUrl = d.optional<std::string>("reality_url"),
        .traffic = d.optional<ExitTraffic>("traffic"),
    };
}

void ClientExit::encode(RecordEncoder& e) const {
    e.set("exit_id", exitId);
    e.set("vps_id", vpsId);
    e.set("name", name);
    e.setOptional("region", region);
    e.set("metered", metered);
    e.set("ready", ready);
    e.setOptional("reality_url", realityUrl);
    e.setOptional("traffic", traffic);
}

SiteAccess SiteAccess::decode(const RecordDecoder& d) {
    using Strings = std::vector<std::string>;
    return {
        .siteId = d.required<std::int64_t>("site_id"),
        .name = d.required<std::string>("name"),
        .endpointHost = d.required<std::string>("endpoint_host"),
        .endpointPort = d.required<std::uint16_t>("endpoint_port"),
        .localEndpoints = d.defaulted<Strings>("local_endpoints", {}),
        .gatewayOverlayIp = d.optional<std::string>("gateway_overlay_ip"),
        .serverPublicKey = d.required<std::string>("server_public_key"),
        .cidrs = d.required<Strings>("cidrs"),
        .dnsServers = d.defaulted<Strings>("dns_servers", {}),
        .dnsDomains = d.defaulted<Strings>("dns_domains", {}),
        .onsiteCidrs = d.defaulted<Strings>("onsite_cidrs", {}),
        .mtu = d.defaulted<std::uint16_t>("mtu", 1280),
        .address = d.required<std::string>("address"),
        .privateKey = d.required<std::string>("private_key"),
    };
}

void SiteAccess::encode(RecordEncoder& e) const {
    e.set("site_id", siteId);
    e.set("name", name);
    e.set("endpoint_host", endpointHost);
    e.set("endpoint_port", endpointPort);
    e.set("local_endpoints", localEndpoints);
    e.setOptional("gateway_overlay_ip", gatewayOverlayIp);
    e.set("server_public_key", serverPublicKey);
    e.set("cidrs", cidrs);
    e.set("dns_servers", dnsServers);
    e.set("dns_domains", dnsDomains);
    e.set("onsite_cidrs", onsiteCidrs);
    e.set("mtu", mtu);
    e.set("address", address);
    e.set("private_key", privateKey);
}

ServerListResponse ServerListResponse::decode(const RecordDecoder& d) {
    return {
        .servers = d.required<std::vector<ServerListEntry>>("servers"),
        .sites = d.defaulted<std::vector<SiteAccess>>("sites", {}),
        .exits = d.defaulted<std::vector<ClientExit>>("exits", {}),
    };
}

void ServerListResponse::encode(RecordEncoder& e) const {
    e.set("servers", servers);
    e.set("sites", sites);
    e.set("exits", exits);
}

LoginRequest LoginRequest::decode(const RecordDecoder& d) {
    return {
        .email = d.required<std::string>("email"),
        .password = d.required<std::string>("password"),
        .deviceName = d.optional<std::string>("deviceName"),
    };
}

void LoginRequest::encode(RecordEncoder& e) const {
    e.set("email", email);
    e.set("password", password);
    e.setOptional("deviceName", deviceName);
}

LoginResponse LoginResponse::decode(const RecordDecoder& d) {
    return {.token = d.required<std::string>("token"), .expiresAt = d.required<std::string>("expiresAt")};
}

void LoginResponse::encode(RecordEncoder& e) const {
    e.set("token", token);
    e.set("expiresAt", expiresAt);
}

PanelErrorResponse PanelErrorResponse::decode(const RecordDecoder& d) {
    return {.error = d.required<std::string>("error"), .message = d.optional<std::string>("message")};
}

void PanelErrorResponse::encode(RecordEncoder& e) const {
    e.set("error", error);
    e.setOptional("message", message);
}

Selection Selection::decode(const RecordDecoder& d) {
    return {.exitId = d.required<std::int64_t>("exit_id"), .fallbackOnExhaustion = d.required<bool>("fallback_on_exhaustion")};
}

void Selection::encode(RecordEncoder& e) const {
    e.set("exit_id", exitId);
    e.set("fallback_on_exhaustion", fallbackOnExhaustion);
}

Reply Reply::decode(const RecordDecoder& d) { return {.ok = d.required<bool>("ok")}; }

void Reply::encode(RecordEncoder& e) const { e.set("ok", ok); }

}  // namespace corvane
