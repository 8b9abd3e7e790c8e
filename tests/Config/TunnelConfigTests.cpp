// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "CorvaneCore/Config/ConfigBuilder.hpp"
#include "CorvaneCore/Config/IPv4Prefix.hpp"
#include "CorvaneCore/Config/LocalAddresses.hpp"
#include "CorvaneCore/Config/ShareUrlParser.hpp"
#include "CorvaneCore/Config/TunnelConfig.hpp"
#include "CorvaneCore/Support/JSONValue.hpp"
#include "TestSupport/ConfigSchema.hpp"

using namespace corvane;
using corvane::testing::isValidEngineConfig;

namespace {

std::string builtConfig(std::optional<std::string> lanListen) {
    ConfigBuilder::Inputs inputs{
        .shares = {ShareUrlParser::parse("hy2://pw@203.0.113.7:443?sni=hy.example.net")},
        .shareOverLanListen = std::move(lanListen),
        .shareOverLanPassword = "pw",
    };
    return ConfigBuilder::build(inputs).serialize();
}

// True when every object in the text has its keys in ascending order.
bool keysSorted(const JSONValue& value) {
    if (const auto* object = value.object()) {
        std::string previous;
        bool first = true;
        for (const auto& [key, member] : *object) {
            if (!first && !(previous < key)) return false;
            first = false;
            previous = key;
            if (!keysSorted(member)) return false;
        }
    }
    if (const auto* array = value.array()) {
        for (const auto& element : *array) {
            if (!keysSorted(element)) return false;
        }
    }
    return true;
}

}  // namespace

TEST(TunnelConfig, ClashAPIIsInjectedAndEverythingElseKept) {
    std::string prepared = TunnelConfig::withClashAPI(builtConfig(std::nullopt), 53127, "s3cret");
    JSONValue document = JSONValue::parse(prepared);
    EXPECT_EQ(*document.find("experimental"), JSONValue::parse(R"({"cache_file": {"enabled": true, "path": "cache.db"},
        "clash_api": {"external_controller": "127.0.0.1:53127", "secret": "s3cret"}})"));
    JSONValue original = JSONValue::parse(builtConfig(std::nullopt));
    original["experimental"]["clash_api"] = JSONValue::parse(R"({"external_controller": "127.0.0.1:53127", "secret": "s3cret"})");
    EXPECT_EQ(document, original);
    EXPECT_TRUE(keysSorted(document));
    EXPECT_EQ(prepared.find('\n'), std::string::npos);
    EXPECT_NE(prepared.find(R"("server_port":443)"), std::string::npos);
    EXPECT_TRUE(isValidEngineConfig(prepared));

    // Without an experimental section (or with one of the wrong type) a fresh one is made.
    EXPECT_EQ(TunnelConfig::withClashAPI(R"({"z": 1, "experimental": 5, "a": [{"b": 1, "a": 2.5}]})", 9, "x"),
              R"({"a":[{"a":2.5,"b":1}],"experimental":{"clash_api":{"external_controller":"127.0.0.1:9","secret":"x"}},"z":1})");
    EXPECT_EQ(TunnelConfig::withClashAPI(R"({"experimental": {"clash_api": {"secret": "old", "default_mode": "Rule"}}})", 1, ""),
              R"({"experimental":{"clash_api":{"default_mode":"Rule","external_controller":"127.0.0.1:1","secret":""}}})");
}

TEST(TunnelConfig, TextThatIsNotAnObjectIsRefused) {
    for (const char* text : {"[1, 2]", "\"config\"", "42", "null"}) {
        try {
            TunnelConfig::withClashAPI(text, 1, "s");
            ADD_FAILURE() << text;
        } catch (const TunnelConfig::PrepareError& e) {
            EXPECT_EQ(e, TunnelConfig::PrepareError::notAnObject());
            EXPECT_EQ(e.description(), "sing-box config is not a JSON object");
        }
        EXPECT_THROW(TunnelConfig::droppingStaleLanShare(text, {}), TunnelConfig::PrepareError) << text;
    }
    for (const char* text : {"", "{", "{\"a\": }", "{\"a\": \"\xFF\"}"}) {
        EXPECT_THROW(TunnelConfig::withClashAPI(text, 1, "s"), JSONError) << text;
        EXPECT_THROW(TunnelConfig::droppingStaleLanShare(text, {}), JSONError) << text;
    }
}

TEST(TunnelConfig, StaleLanShareIsDroppedOnlyWhenItsAddressIsGone) {
    std::string config = builtConfig("192.168.1.20");
    auto kept = TunnelConfig::droppingStaleLanShare(config, {"10.0.0.5", "192.168.1.20"});
    EXPECT_EQ(kept, (TunnelConfig::LanShareCheck{config, std::nullopt}));  // byte for byte

    auto dropped = TunnelConfig::droppingStaleLanShare(config, {"192.168.1.21"});
    EXPECT_EQ(dropped.dropped, "192.168.1.20");
    JSONValue document = JSONValue::parse(dropped.config);
    EXPECT_EQ(document.find("inbounds")->array()->size(), 1u);
    EXPECT_EQ(*(*document.find("inbounds")->array())[0].find("tag"), JSONValue("tun-in"));
    EXPECT_TRUE(keysSorted(document));
    EXPECT_TRUE(isValidEngineConfig(dropped.config));

    // Nothing to judge: left alone.
    const char* untouched[] = {
        R"({"inbounds": [{"tag": "tun-in"}]})",
        R"({"inbounds": {"tag": "lan-share", "listen": "1.2.3.4"}})",
        R"({"inbounds": [{"tag": "lan-share", "listen": "1.2.3.4"}, 7]})",
        R"({"inbounds": [{"tag": "lan-share"}]})",
        R"({"inbounds": [{"tag": "lan-share", "listen": 1234}]})",
        R"({})",
    };
    for (const char* text : untouched) {
        EXPECT_EQ(TunnelConfig::droppingStaleLanShare(text, {}), (TunnelConfig::LanShareCheck{text, std::nullopt})) << text;
    }
    // Only the first LAN-share inbound is looked at.
    auto first = TunnelConfig::droppingStaleLanShare(
        R"({"inbounds": [{"tag": "lan-share", "listen": "10.0.0.1"}, {"tag": "lan-share", "listen": "10.0.0.2"}]})", {"10.0.0.2"});
    EXPECT_EQ(first.dropped, "10.0.0.1");
    EXPECT_EQ(first.config, R"({"inbounds":[{"listen":"10.0.0.2","tag":"lan-share"}]})");
}

TEST(IPv4Prefix, ParsingNormalisesAndRejects) {
    struct Case { const char* text; std::optional<std::string> description; };
    const Case cases[] = {
        {"10.0.0.1", "10.0.0.1/32"},          {"10.0.0.1/0", "0.0.0.0/0"},     {"192.168.1.23/24", "192.168.1.0/24"},
        {"255.255.255.255/31", "255.255.255.254/31"}, {"1.2.3.4/08", "1.0.0.0/8"}, {"001.002.003.004", "1.2.3.4/32"},
        {"10.0.0.1/33", std::nullopt},       {"10.0.0", std::nullopt},         {"10.0.0.256", std::nullopt},
        {"10.0.0.1/", std::nullopt},         {"10.0.0.0001", std::nullopt},    {"10..0.1", std::nullopt},
        {"10.0.0.1.", std::nullopt},         {"+1.2.3.4", std::nullopt},       {"1.2.3.4/-1", std::nullopt},
        {"1.2.3.4/+8", std::nullopt},        {" 1.2.3.4", std::nullopt},        {"", std::nullopt},
        {"1.2.3.4/8/9", std::nullopt},       {"::1", std::nullopt},
    };
    for (const auto& c : cases) {
        auto prefix = IPv4Prefix::parse(c.text);
        EXPECT_EQ(prefix ? std::optional(prefix->description()) : std::nullopt, c.description) << c.text;
    }
    EXPECT_EQ(IPv4Prefix::parseAddress("192.168.1.2"), 0xC0A80102u);
    EXPECT_EQ(IPv4Prefix(0xFFFFFFFFu, 40), IPv4Prefix(0xFFFFFFFFu, 32));
    EXPECT_EQ(IPv4Prefix(0xFFFFFFFFu, -3).description(), "0.0.0.0/0");
}

TEST(IPv4Prefix, ContainmentAndOverlap) {
    auto p = [](const char* text) { return *IPv4Prefix::parse(text); };
    struct Case { const char* a; const char* b; bool aContainsB, bContainsA; };
    const Case cases[] = {
        {"0.0.0.0/0", "10.1.2.3", true, false},     {"10.0.0.0/8", "10.1.0.0/16", true, false},
        {"10.0.0.0/8", "11.0.0.0/8", false, false}, {"192.168.1.0/24", "192.168.1.23/32", true, false},
        {"10.0.0.0/8", "10.0.0.0/8", true, true},   {"172.16.0.0/12", "172.32.0.0/16", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(p(c.a).contains(p(c.b)), c.aContainsB) << c.a << " " << c.b;
        EXPECT_EQ(p(c.b).contains(p(c.a)), c.bContainsA) << c.b << " " << c.a;
        EXPECT_EQ(p(c.a).overlaps(p(c.b)), c.aContainsB || c.bContainsA) << c.a << " " << c.b;
    }
}

TEST(LocalAddresses, PrivateAddressesAndTheLanAddress) {
    struct Case { const char* address; bool isPrivate; };
    const Case cases[] = {
        {"10.0.0.1", true},       {"192.168.0.9", true},  {"172.16.0.1", true},   {"172.31.255.1", true},
        {"172.32.0.1", false},    {"172.15.0.1", false},  {"169.254.1.1", false}, {"100.64.0.1", false},
        {"127.0.0.1", false},     {"8.8.8.8", false},     {"10.0.0", false},      {"10.0.0.1.5", false},
        {"10..0.0.1", true},  // empty pieces are skipped before counting
    };
    for (const auto& c : cases) EXPECT_EQ(LocalAddresses::isPrivate(c.address), c.isPrivate) << c.address;

    using Entry = LocalAddresses::InterfaceAddress;
    std::vector<Entry> interfaces{
        {"docker0", "172.17.0.1", 16}, {"eth0", "203.0.113.5", 24}, {"utun0", "10.0.0.2", 32},
        {"wlp2s0", "192.168.1.20", 24}, {"enp3s0", "10.1.1.1", 24},
    };
    EXPECT_EQ(LocalAddresses::lan(interfaces), "192.168.1.20");
    EXPECT_EQ(LocalAddresses::lan({{"enp3s0", "10.1.1.1", 24}, {"wlan0", "192.168.1.2", 24}}), "10.1.1.1");
    EXPECT_EQ(LocalAddresses::lan({{"eth1", "100.64.0.9", 10}, {"br0", "192.168.1.1", 24}}), std::nullopt);

    // The live list: IPv4 texts that parse, no loopback, lengths within 0...32.
    for (const auto& entry : LocalAddresses::ipv4Interfaces()) {
        EXPECT_TRUE(IPv4Prefix::parseAddress(entry.address).has_value()) << entry.interface;
        EXPECT_FALSE(entry.address.starts_with("127.")) << entry.interface;
        EXPECT_TRUE(entry.prefixLength >= 0 && entry.prefixLength <= 32);
    }
}
