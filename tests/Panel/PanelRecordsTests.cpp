// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "CorvaneCore/Panel/ExitSelection.hpp"
#include "CorvaneCore/Panel/PanelRecords.hpp"

using namespace corvane;
using ExitSelection::SelectionError;

namespace {

const char* kFullList = R"({
  "servers": [
    {"vps_id": 1, "name": "Tokyo", "region": "JP", "public_ip": "203.0.113.1",
     "hysteria2_url": "hysteria2://a@203.0.113.1:443", "reality_url": "vless://b@203.0.113.1:443", "config_version": 3,
     "future_key": {"ignored": true}},
    {"vps_id": 2, "name": "Frankfurt", "public_ip": "203.0.113.2", "region": null,
     "hysteria2_url": "h2", "reality_url": "r2", "config_version": 1}
  ],
  "exits": [
    {"exit_id": 10, "vps_id": 1, "name": "Residential", "metered": true, "ready": true, "reality_url": "vless://x",
     "traffic": {"provider": "p", "status": "low", "remaining_gb": 3.456, "low_threshold_gb": 5, "checked_at": "2026-12-01T00:00:00Z",
                 "stale": true, "fallback_on_exhaustion": true, "using_original": false}}
  ],
  "sites": [
    {"site_id": 7, "name": "Office", "endpoint_host": "gw.example.com", "endpoint_port": 51820,
     "server_public_key": "pub", "cidrs": ["10.1.0.0/16"], "address": "10.99.0.2/32", "private_key": "secret"}
  ]
})";

}  // namespace

TEST(PanelRecords, AServerListDecodesWithDefaultsAndRoundTrips) {
    auto list = decodeJSON<ServerListResponse>(std::string_view(kFullList));
    ASSERT_EQ(list.servers.size(), 2u);
    EXPECT_EQ(list.servers[0].region, "JP");
    EXPECT_EQ(list.servers[1].region, std::nullopt);
    EXPECT_EQ(list.exits[0].traffic->remainingGb, 3.456);
    const SiteAccess& site = list.sites.at(0);
    EXPECT_EQ(site.mtu, 1280);
    EXPECT_TRUE(site.localEndpoints.empty() && site.dnsServers.empty() && site.dnsDomains.empty() && site.onsiteCidrs.empty());

    std::string encoded = encodeJSON(list);
    EXPECT_EQ(decodeJSON<ServerListResponse>(std::string_view(encoded)), list);
    // Defaults are written out; absent optionals are omitted, never null.
    EXPECT_NE(encoded.find(R"("local_endpoints":[],"server_public_key")"), std::string::npos);
    EXPECT_NE(encoded.find(R"("mtu":1280)"), std::string::npos);
    EXPECT_EQ(encoded.find("null"), std::string::npos);
    EXPECT_EQ(encoded.find("gateway_overlay_ip"), std::string::npos);
    EXPECT_EQ(encoded.find("future_key"), std::string::npos);
}

TEST(PanelRecords, DecodingFailuresNameTheKeyPath) {
    // The record is the innermost one being read; the path runs from the top.
    struct Case { const char* json; const char* description; const char* record; };
    const Case cases[] = {
        {R"({"sites": []})", "servers: missing required key", "ServerListResponse"},
        {R"({"servers": [{"vps_id": "1"}]})", "servers[0].vps_id: expected an integer, found a string", "ServerListEntry"},
        {R"({"servers": [], "sites": [{"site_id": 1, "name": "n", "endpoint_host": "h", "endpoint_port": 70000}]})",
         "sites[0].endpoint_port: number out of range (0 to 65535)", "SiteAccess"},
        {R"({"servers": [], "exits": [{"exit_id": 1.5}]})", "exits[0].exit_id: expected an integer, found a fractional number",
         "ClientExit"},
        {R"({"servers": {}})", "servers: expected an array, found an object", "ServerListResponse"},
        {R"([1])", "expected an object, found an array", "ServerListResponse"},
        {R"({"servers": [)", "the data is not valid JSON (incomplete JSON)", "ServerListResponse"},
        // Beyond a double: an infinity would show as "inf GB" and be written back as null.
        {R"({"servers": [], "exits": [{"exit_id": 1, "vps_id": 1, "name": "n", "metered": true, "ready": true,
             "traffic": {"provider": "p", "status": "ok", "remaining_gb": 1e999, "low_threshold_gb": 1,
                         "stale": false, "fallback_on_exhaustion": false, "using_original": false}}]})",
         "exits[0].traffic.remaining_gb: number out of range (beyond a double)", "ExitTraffic"},
        {R"({"servers": [], "exits": [{"exit_id": 1, "vps_id": 1, "name": "n", "metered": true, "ready": true,
             "traffic": {"provider": "p", "status": "ok", "low_threshold_gb": -1e999,
                         "stale": false, "fallback_on_exhaustion": false, "using_original": false}}]})",
         "exits[0].traffic.low_threshold_gb: number out of range (beyond a double)", "ExitTraffic"},
    };
    for (const auto& c : cases) {
        try {
            decodeJSON<ServerListResponse>(std::string_view(c.json));
            ADD_FAILURE() << "decoded: " << c.json;
        } catch (const DecodingError& e) {
            EXPECT_EQ(e.description(), c.description) << c.json;
            EXPECT_EQ(e.record(), c.record);
        }
    }
    EXPECT_EQ(decodeJSON<ServerListResponse>(std::string_view(R"({"servers": []})")), ServerListResponse{});
}

TEST(PanelRecords, SignInRequestOmitsAMissingDeviceName) {
    EXPECT_EQ(encodeJSON(LoginRequest{"a@b.c", "pw", std::nullopt}), R"({"email":"a@b.c","password":"pw"})");
    EXPECT_EQ(encodeJSON(LoginRequest{"a@b.c", "pw", "laptop"}), R"({"email":"a@b.c","password":"pw","deviceName":"laptop"})");
    EXPECT_EQ(encodeJSON(Selection{10, true}), R"({"exit_id":10,"fallback_on_exhaustion":true})");
}

TEST(PanelRecords, TrafficSummary) {
    struct Case { std::string status; std::optional<double> remaining; bool stale; const char* summary; };
    const Case cases[] = {
        {"low", 3.456, true, "3.46 GB remaining \u00b7 running low \u00b7 last known balance"},
        {"ok", 12.0, false, "12.00 GB remaining"},
        {"exhausted", 5.0, true, "Unavailable \u00b7 traffic used up"},
        {"ok", std::nullopt, true, "Balance unavailable \u00b7 last known balance"},
        {"low", std::nullopt, false, "Balance unavailable \u00b7 running low"},
    };
    for (const auto& c : cases) {
        ExitTraffic t{.provider = "p", .status = c.status, .remainingGb = c.remaining, .stale = c.stale};
        EXPECT_EQ(t.summary(), c.summary);
    }
}

namespace {

ServerListResponse fleet() {
    ServerListResponse list;
    list.servers = {{.vpsId = 1, .name = "a"}, {.vpsId = 2, .name = "b"}};
    ExitTraffic exhausted{.provider = "p", .status = "exhausted", .remainingGb = 0.0, .checkedAt = "t",
                          .fallbackOnExhaustion = true};
    list.exits = {
        {.exitId = 10, .vpsId = 1, .ready = true, .realityUrl = "vless://x", .traffic = exhausted},
        {.exitId = 11, .vpsId = 1, .ready = false, .realityUrl = "vless://y"},
        {.exitId = 12, .vpsId = 2, .ready = true, .realityUrl = ""},
        {.exitId = 13, .vpsId = 9, .ready = true, .realityUrl = "vless://z"},
        {.exitId = 14, .vpsId = 2, .ready = true, .realityUrl = "vless://w"},
    };
    return list;
}

std::vector<std::int64_t> ids(const std::vector<ClientExit>& exits) {
    std::vector<std::int64_t> out;
    for (const auto& e : exits) out.push_back(e.exitId);
    return out;
}

}  // namespace

TEST(ExitSelection, AvailableExitsAreReadyWithAURLBehindAKnownEntry) {
    auto list = fleet();
    EXPECT_EQ(ids(ExitSelection::available(1, list.servers, list.exits)), (std::vector<std::int64_t>{10}));
    EXPECT_EQ(ids(ExitSelection::available(2, list.servers, list.exits)), (std::vector<std::int64_t>{14}));
    EXPECT_TRUE(ExitSelection::available(9, list.servers, list.exits).empty());
    EXPECT_TRUE(ExitSelection::available(std::nullopt, list.servers, list.exits).empty());
}

TEST(ExitSelection, OriginalServers) {
    auto list = fleet();
    EXPECT_EQ(ExitSelection::originalServers(list.servers, std::nullopt), list.servers);
    EXPECT_EQ(ExitSelection::originalServers(list.servers, 2), std::vector<ServerListEntry>{list.servers[1]});
    EXPECT_THROW(ExitSelection::originalServers(list.servers, 5), SelectionError);
}

TEST(ExitSelection, Resolve) {
    auto list = fleet();
    struct Case {
        std::optional<std::int64_t> id, entry;
        bool fresh;
        std::optional<SelectionError> error;
        std::optional<std::int64_t> exit;
    };
    const Case cases[] = {
        {std::nullopt, 1, false, std::nullopt, std::nullopt},
        {10, 1, false, SelectionError::needsFreshList(), std::nullopt},
        {10, 1, true, std::nullopt, 10},
        {10, 2, true, SelectionError::wrongEntry(), std::nullopt},
        {10, std::nullopt, true, SelectionError::wrongEntry(), std::nullopt},
        {11, 1, true, SelectionError::unavailable(), std::nullopt},   // not ready
        {12, 2, true, SelectionError::unavailable(), std::nullopt},   // empty URL
        {13, 9, true, SelectionError::unavailable(), std::nullopt},   // entry not in the list
        {99, 1, true, SelectionError::unavailable(), std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id.value_or(-1));
        if (c.error) {
            try {
                ExitSelection::resolve(c.id, c.entry, list, c.fresh);
                ADD_FAILURE() << "resolved";
            } catch (const SelectionError& e) {
                EXPECT_EQ(e, *c.error);
            }
        } else {
            auto exit = ExitSelection::resolve(c.id, c.entry, list, c.fresh);
            EXPECT_EQ(exit ? std::optional(exit->exitId) : std::nullopt, c.exit);
        }
    }
    EXPECT_EQ(SelectionError::wrongEntry().description(),
              "This exit requires a different entry node. Choose the matching entry before connecting.");
    EXPECT_EQ(SelectionError::unavailable().description(),
              "This exit is unavailable or its access was revoked. Refresh, or choose the original exit.");
    EXPECT_EQ(SelectionError::needsFreshList().description(),
              "Could not verify access to this exit. Refresh before connecting.");
}

TEST(ExitSelection, QuotaFallbackNeedsACheckedEmptyBalance) {
    auto base = fleet();
    auto with = [&](auto change) {
        auto list = base;
        change(*list.exits[0].traffic);
        return ExitSelection::quotaFallback(10, 1, list).has_value();
    };
    EXPECT_TRUE(with([](ExitTraffic&) {}));
    EXPECT_FALSE(with([](ExitTraffic& t) { t.checkedAt.reset(); }));
    EXPECT_FALSE(with([](ExitTraffic& t) { t.remainingGb = 0.01; }));
    EXPECT_FALSE(with([](ExitTraffic& t) { t.remainingGb.reset(); }));
    EXPECT_FALSE(with([](ExitTraffic& t) { t.status = "low"; }));
    EXPECT_FALSE(with([](ExitTraffic& t) { t.fallbackOnExhaustion = false; }));
    EXPECT_TRUE(with([](ExitTraffic& t) {
        t.usingOriginal = true;
        t.status = "ok";
        t.fallbackOnExhaustion = false;
    }));
    EXPECT_FALSE(ExitSelection::quotaFallback(10, 2, base).has_value());  // exit belongs to entry 1
    EXPECT_FALSE(ExitSelection::quotaFallback(10, std::nullopt, base).has_value());
    EXPECT_FALSE(ExitSelection::quotaFallback(11, 1, base).has_value());  // no traffic record
    // An entry the list no longer has: nothing, though the exhausted exit still names it.
    auto withoutEntry = base;
    std::erase_if(withoutEntry.servers, [](const ServerListEntry& s) { return s.vpsId == 1; });
    EXPECT_FALSE(ExitSelection::quotaFallback(10, 1, withoutEntry).has_value());
    withoutEntry.exits[0].traffic->usingOriginal = true;
    EXPECT_FALSE(ExitSelection::quotaFallback(10, 1, withoutEntry).has_value());
}
