// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneTunnel/KillSwitch.hpp"

#include <arpa/inet.h>
#include <unistd.h>

#include <memory>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "CorvaneCore/Config/IPv4Prefix.hpp"
#include "CorvaneCore/Support/AtomicFile.hpp"
#include "CorvaneCore/Support/JSONValue.hpp"
#include "CorvaneTunnel/ChildCommand.hpp"

namespace corvane {

namespace {

constexpr const char* kTable = "inet corvane";
constexpr const char* kIntentFile = "killswitch.json";
constexpr const char* kLockdownFile = "lockdown.json";

// Interface names go into the ruleset as quoted strings; anything but the
// characters a Linux interface name uses could change the rule's meaning.
bool isPlainInterfaceName(const std::string& name) {
    if (name.empty() || name.size() >= 16) return false;
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
        if (!ok) return false;
    }
    return true;
}

JSONValue encode(const KillSwitchRules& rules) {
    JSONValue out = JSONObject{};
    out["tunInterface"] = rules.tunInterface;
    out["engineMark"] = static_cast<double>(rules.engineMark);
    if (rules.lanShareAddress) {
        out["lanShareAddress"] = *rules.lanShareAddress;
        out["lanSharePort"] = rules.lanSharePort;
    }
    if (rules.engineUID) out["engineUID"] = static_cast<double>(*rules.engineUID);
    if (rules.allowLAN) out["allowLAN"] = true;
    if (rules.lockdown) out["lockdown"] = true;
    return out;
}

std::optional<KillSwitchRules> decode(const JSONValue& value) {
    KillSwitchRules rules;
    const JSONValue* tun = value.find("tunInterface");
    const JSONValue* mark = value.find("engineMark");
    if (!tun || !tun->string() || !mark || !mark->number()) return std::nullopt;
    rules.tunInterface = *tun->string();
    rules.engineMark = static_cast<std::uint32_t>(*mark->number());
    if (const JSONValue* address = value.find("lanShareAddress"); address && address->string()) {
        const JSONValue* port = value.find("lanSharePort");
        if (!port || !port->number()) return std::nullopt;
        rules.lanShareAddress = *address->string();
        rules.lanSharePort = static_cast<std::uint16_t>(*port->number());
    }
    if (const JSONValue* uid = value.find("engineUID"); uid && uid->number() && *uid->number() >= 0 && *uid->number() <= 4294967295.0) {
        rules.engineUID = static_cast<std::uint32_t>(*uid->number());
    }
    if (const JSONValue* lan = value.find("allowLAN"); lan && lan->boolValue()) rules.allowLAN = *lan->boolValue();
    if (const JSONValue* only = value.find("lockdown"); only && only->boolValue()) rules.lockdown = *only->boolValue();
    return rules;
}

// The nft command where Debian puts it, else on PATH.
std::string nftCommand() {
    for (const char* path : {"/usr/sbin/nft", "/sbin/nft"}) {
        if (::access(path, X_OK) == 0) return path;
    }
    return "nft";
}

}  // namespace

std::string killSwitchRuleset(const KillSwitchRules& rules) {
    if (!isPlainInterfaceName(rules.tunInterface)) {
        throw std::invalid_argument("not an interface name: " + rules.tunInterface);
    }
    std::string lanShare;
    // Without the engine's account the share has no rule: an address and a port
    // alone would let out whatever program binds them once the engine is gone.
    if (rules.lanShareAddress && rules.engineUID) {
        // Parsing proves it is an address and nothing else.
        in6_addr v6{};
        const bool isV4 = IPv4Prefix::parseAddress(*rules.lanShareAddress).has_value();
        const bool isV6 = !isV4 && ::inet_pton(AF_INET6, rules.lanShareAddress->c_str(), &v6) == 1;
        if ((!isV4 && !isV6) || rules.lanSharePort == 0) {
            throw std::invalid_argument("not a LAN share address: " + *rules.lanShareAddress);
        }
        lanShare = "\t\tmeta skuid " + std::to_string(*rules.engineUID) + " " + (isV4 ? "ip" : "ip6") + " saddr " +
                   *rules.lanShareAddress + " tcp sport " + std::to_string(rules.lanSharePort) +
                   " ct direction reply accept comment \"LAN share replies\"\n";
    }
    const std::string lan = rules.allowLAN
                                ? "\t\tip daddr { 10.0.0.0/8, 172.16.0.0/12, 192.168.0.0/16, 169.254.0.0/16, 224.0.0.0/4, "
                                  "255.255.255.255 } accept comment \"LAN\"\n"
                                  "\t\tip6 daddr { fe80::/10, fc00::/7, ff00::/8 } accept comment \"LAN\"\n"
                                : "";
    const std::string tun = "\"" + rules.tunInterface + "\"";
    char mark[16];
    std::snprintf(mark, sizeof mark, "0x%08x", rules.engineMark);
    // Refused rather than dropped: programs fail at once instead of hanging.
    const std::string refuse = "\t\tmeta l4proto tcp counter name \"rejected\" reject with tcp reset\n"
                               "\t\tcounter name \"rejected\" reject with icmpx type admin-prohibited\n";
    std::string text;
    text += std::string("table ") + kTable + "\n";
    text += std::string("delete table ") + kTable + "\n";
    text += std::string("table ") + kTable + " {\n";
    text += "\tcounter rejected {\n\t}\n";
    text += "\tchain output {\n";
    text += "\t\ttype filter hook output priority filter; policy accept;\n";
    text += "\t\toifname \"lo\" accept\n";
    text += "\t\toifname " + tun + " accept\n";
    text += std::string("\t\tmeta mark ") + mark + " accept comment \"the engine's own connections\"\n";
    text += "\t\tudp sport 68 udp dport 67 accept comment \"DHCP\"\n";
    text += "\t\tudp sport 546 udp dport 547 accept comment \"DHCPv6\"\n";
    text += "\t\ticmpv6 type { nd-router-solicit, nd-router-advert, nd-neighbor-solicit, nd-neighbor-advert, nd-redirect, "
            "mld2-listener-report } accept\n";
    text += lan;
    text += lanShare;
    // What the kernel sends back for a packet that arrived or was refused here
    // (a reset, an "unreachable"): a guest's refused connection fails at once.
    text += "\t\tct direction reply ct state related accept comment \"errors answering what arrived\"\n";
    text += "\t\tmeta l4proto tcp ct state untracked tcp flags & rst == rst accept comment \"resets for refused guests\"\n";
    text += refuse;
    text += "\t}\n";
    // What the machine routes for guests (containers, VMs, a shared connection)
    // goes through the tunnel or nowhere.
    text += "\tchain forward {\n";
    text += "\t\ttype filter hook forward priority filter; policy accept;\n";
    text += "\t\toifname " + tun + " accept\n";
    text += "\t\tiifname " + tun + " accept\n";
    text += lan;
    text += refuse;
    text += "\t}\n";
    text += "}\n";
    return text;
}

std::string killSwitchRemoval() {
    return std::string("table ") + kTable + "\n" + "delete table " + kTable + "\n";
}

std::string runNftables(const std::string& commands, bool json) {
    std::vector<std::string> argv{nftCommand()};
    std::string input;
    if (json) {
        // nft prints JSON only for a command given as arguments, not for one read from a file:
        // the one (listing) command, word by word.
        argv.push_back("--json");
        std::istringstream words(commands);
        for (std::string word; words >> word;) argv.push_back(word);
    } else {
        argv.insert(argv.end(), {"--file", "-"});
        input = commands;
    }
    ChildCommandResult result;
    try {
        result = runChildCommand(argv, input, std::chrono::seconds(30));
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string("nftables is not available: ") + e.what());
    }
    if (result.exitStatus != 0) {
        std::string error = result.timedOut ? "nft did not finish within 30 s" : result.err;
        while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) error.pop_back();
        if (error.empty()) error = result.exitStatus == 127 ? "the nft command is not installed" : "the command failed";
        throw std::runtime_error("nftables: " + error);
    }
    return result.out;
}

KillSwitch::KillSwitch(std::filesystem::path stateDirectory)
    : intentFile_(stateDirectory / kIntentFile), lockdownFile_(stateDirectory / kLockdownFile) {
    std::optional<std::string> text;
    try {
        text = readFileIfExists(lockdownFile_);
        if (!text) return;
        JSONValue value = JSONValue::parse(*text);
        const JSONValue* enabled = value.find("enabled");
        const JSONValue* lan = value.find("allowLAN");
        lockdown_.enabled = enabled && enabled->boolValue() && *enabled->boolValue();
        lockdown_.allowLAN = lan && lan->boolValue() && *lan->boolValue();
    } catch (const std::exception&) {
        // An unreadable setting that existed meant "on": blocking too much is the safe side.
        lockdown_.enabled = text.has_value();
    }
}

void KillSwitch::setLockdown(Lockdown lockdown) {
    if (lockdown.enabled) {
        JSONValue out = JSONObject{};
        out["enabled"] = true;
        out["allowLAN"] = lockdown.allowLAN;
        writeFileAtomically(lockdownFile_, out.serialize() + "\n", std::filesystem::perms(0600));
    } else {
        std::error_code ec;
        std::filesystem::remove(lockdownFile_, ec);
        if (ec) throw std::runtime_error("cannot remove " + lockdownFile_.string() + ": " + ec.message());
    }
    lockdown_ = lockdown;
}

KillSwitchRules KillSwitch::lockdownRules() const {
    KillSwitchRules rules;
    rules.allowLAN = lockdown_.allowLAN;
    rules.lockdown = true;
    return rules;
}

void KillSwitch::engage(const KillSwitchRules& rules) {
    // The intent is written first: a crash between the two leaves a service
    // that blocks on its next start rather than one that forgot to.
    writeFileAtomically(intentFile_, encode(rules).serialize() + "\n", std::filesystem::perms(0600));
    runNftables(killSwitchRuleset(rules));
    engaged_ = rules;
}

void KillSwitch::release() {
    runNftables(killSwitchRemoval());
    std::error_code ignored;
    std::filesystem::remove(intentFile_, ignored);
    engaged_.reset();
}

bool KillSwitch::restore() {
    std::optional<std::string> text = readFileIfExists(intentFile_);
    if (!text) {
        if (!lockdown_.enabled) return false;
        engage(lockdownRules());  // before the first connect after boot too
        return true;
    }
    std::optional<KillSwitchRules> rules;
    try {
        rules = decode(JSONValue::parse(*text));
    } catch (const JSONError&) {
    }
    // A damaged record still says a block was intended: block with the defaults.
    engage(rules.value_or(KillSwitchRules{}));
    return true;
}

std::optional<std::uint64_t> KillSwitch::rejectedPackets() const {
    if (!engaged_) return std::nullopt;
    try {
        JSONValue listing = JSONValue::parse(runNftables(std::string("list counter ") + kTable + " rejected", true));
        const JSONValue* items = listing.find("nftables");
        if (!items || !items->array()) return std::nullopt;
        for (const JSONValue& item : *items->array()) {
            const JSONValue* counter = item.find("counter");
            const JSONValue* packets = counter ? counter->find("packets") : nullptr;
            if (packets && packets->number()) return static_cast<std::uint64_t>(*packets->number());
        }
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

}  // namespace corvane
