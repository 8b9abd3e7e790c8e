// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/fleet/ServerConfig.hpp"

#include <algorithm>
#include <cctype>

#include "CorvaneCore/Support/AtomicFile.hpp"

namespace corvane::fleet {

std::string randomHex(std::size_t count) {
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

std::string lowerCaseUUID() {
    std::string uuid = makeUUID();
    std::transform(uuid.begin(), uuid.end(), uuid.begin(), [](unsigned char c) { return std::tolower(c); });
    return uuid;
}

std::string percentEncodeComponent(const std::string& text) {
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

JSONValue directOutbound(const std::optional<std::string>& sourceAddress) {
    JSONObject direct{{"type", "direct"}, {"tag", "direct"}};
    if (sourceAddress) direct.set("inet4_bind_address", *sourceAddress);
    return direct;
}

JSONValue refuseOutside(const std::vector<std::string>& allowed) {
    JSONValue::Array cidrs(allowed.begin(), allowed.end());
    // "localhost" is the one name allowed: the hosts file answers it, no resolver is asked.
    return JSONObject{{"domain", JSONValue::Array{"localhost"}}, {"ip_cidr", cidrs}, {"invert", true}, {"action", "reject"}};
}

JSONValue controlAPI(std::uint16_t port, const std::string& secret) {
    return JSONObject{{"clash_api", JSONObject{{"external_controller", "127.0.0.1:" + std::to_string(port)},
                                               {"secret", secret}}}};
}

JSONValue serverLog() { return JSONObject{{"level", "info"}, {"timestamp", true}}; }

}  // namespace corvane::fleet
