// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Config/TunnelConfig.hpp"

#include <algorithm>
#include <vector>

#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>

#include "CorvaneCore/Support/JSONValue.hpp"
#include "CorvaneCore/Support/JSONWriter.hpp"

namespace corvane::TunnelConfig {

namespace {

namespace json = boost::json;

// Boost.JSON keeps integers apart from doubles, so numbers pass through unchanged.
json::object parseObject(std::string_view config) {
    boost::system::error_code ec;
    json::value value = json::parse(config, ec);
    if (ec) throw JSONError("the text is not valid JSON: " + ec.message());
    if (!value.is_object()) throw PrepareError::notAnObject();
    return std::move(value.get_object());
}

std::string serializeSorted(const json::object& document) {
    return toJSONText(document, 0, true);
}

}  // namespace

const std::string& PrepareError::description() const noexcept {
    static const std::string text = "sing-box config is not a JSON object";
    return text;
}

std::string withClashAPI(std::string_view config, int port, const std::string& secret) {
    json::object document = parseObject(config);
    json::object experimental;
    if (auto* existing = document.if_contains("experimental"); existing && existing->is_object()) {
        experimental = existing->get_object();
    }
    json::object clash;
    if (auto* existing = experimental.if_contains("clash_api"); existing && existing->is_object()) {
        clash = existing->get_object();
    }
    clash["external_controller"] = "127.0.0.1:" + std::to_string(port);
    clash["secret"] = secret;
    experimental["clash_api"] = std::move(clash);
    document["experimental"] = std::move(experimental);
    return serializeSorted(document);
}

LanShareCheck droppingStaleLanShare(std::string_view config, const std::set<std::string>& localAddresses) {
    json::object document = parseObject(config);
    LanShareCheck unchanged{std::string(config), std::nullopt};
    auto* inboundsValue = document.if_contains("inbounds");
    if (!inboundsValue || !inboundsValue->is_array()) return unchanged;
    json::array& inbounds = inboundsValue->get_array();
    if (!std::all_of(inbounds.begin(), inbounds.end(), [](const json::value& v) { return v.is_object(); })) return unchanged;

    auto lanShare = std::find_if(inbounds.begin(), inbounds.end(), [](const json::value& v) {
        const auto* tag = v.get_object().if_contains("tag");
        return tag && tag->is_string() && tag->get_string() == "lan-share";
    });
    if (lanShare == inbounds.end()) return unchanged;
    const auto* listen = lanShare->get_object().if_contains("listen");
    if (!listen || !listen->is_string()) return unchanged;
    std::string address(listen->get_string());
    if (localAddresses.contains(address)) return unchanged;

    inbounds.erase(lanShare);
    return {serializeSorted(document), std::move(address)};
}

}  // namespace corvane::TunnelConfig
