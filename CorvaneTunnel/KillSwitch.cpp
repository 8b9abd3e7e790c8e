#include "CorvaneTunnel/KillSwitch.hpp"

#include <arpa/inet.h>
#include <nftables/libnftables.h>

#include <memory>
#include <stdexcept>
#include <system_error>

#include "CorvaneCore/Config/IPv4Prefix.hpp"
#include "CorvaneCore/Support/AtomicFile.hpp"
#include "CorvaneCore/Support/JSONValue.hpp"

namespace corvane {

namespace {

constexpr const char* kTable = "inet corvane";
constexpr const char* kIntentFile = "killswitch.json";

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
    return rules;
}

struct ContextFree {
    void operator()(nft_ctx* ctx) const noexcept { nft_ctx_free(ctx); }
};

}  // namespace

std::string killSwitchRuleset(const KillSwitchRules& rules) {
    if (!isPlainInterfaceName(rules.tunInterface)) {
        throw std::invalid_argument("not an interface name: " + rules.tunInterface);
    }
    std::string lanShare;
    if (rules.lanShareAddress) {
        // Parsing proves it is an address and nothing else.
        in6_addr v6{};
        const bool isV4 = IPv4Prefix::parseAddress(*rules.lanShareAddress).has_value();
        const bool isV6 = !isV4 && ::inet_pton(AF_INET6, rules.lanShareAddress->c_str(), &v6) == 1;
        if ((!isV4 && !isV6) || rules.lanSharePort == 0) {
            throw std::invalid_argument("not a LAN share address: " + *rules.lanShareAddress);
        }
        lanShare = std::string("\t\t") + (isV4 ? "ip" : "ip6") + " saddr " + *rules.lanShareAddress + " tcp sport " +
                   std::to_string(rules.lanSharePort) + " accept comment \"LAN share replies\"\n";
    }
    char mark[16];
    std::snprintf(mark, sizeof mark, "0x%08x", rules.engineMark);
    std::string text;
    text += std::string("table ") + kTable + "\n";
    text += std::string("delete table ") + kTable + "\n";
    text += std::string("table ") + kTable + " {\n";
    text += "\tcounter rejected {\n\t}\n";
    text += "\tchain output {\n";
    text += "\t\ttype filter hook output priority filter; policy accept;\n";
    text += "\t\toifname \"lo\" accept\n";
    text += "\t\toifname \"" + rules.tunInterface + "\" accept\n";
    text += std::string("\t\tmeta mark ") + mark + " accept comment \"the engine's own connections\"\n";
    text += "\t\tudp sport 68 udp dport 67 accept comment \"DHCP\"\n";
    text += "\t\tudp sport 546 udp dport 547 accept comment \"DHCPv6\"\n";
    text += "\t\ticmpv6 type { nd-router-solicit, nd-router-advert, nd-neighbor-solicit, nd-neighbor-advert, nd-redirect, "
            "mld2-listener-report } accept\n";
    text += lanShare;
    // Refused rather than dropped: programs fail at once instead of hanging.
    text += "\t\tmeta l4proto tcp counter name \"rejected\" reject with tcp reset\n";
    text += "\t\tcounter name \"rejected\" reject with icmpx type admin-prohibited\n";
    text += "\t}\n";
    text += "}\n";
    return text;
}

std::string killSwitchRemoval() {
    return std::string("table ") + kTable + "\n" + "delete table " + kTable + "\n";
}

std::string runNftables(const std::string& commands, bool json) {
    std::unique_ptr<nft_ctx, ContextFree> ctx(nft_ctx_new(NFT_CTX_DEFAULT));
    if (!ctx) throw std::runtime_error("nftables is not available");
    nft_ctx_buffer_output(ctx.get());
    nft_ctx_buffer_error(ctx.get());
    if (json) nft_ctx_output_set_flags(ctx.get(), NFT_CTX_OUTPUT_JSON);
    if (nft_run_cmd_from_buffer(ctx.get(), commands.c_str()) != 0) {
        std::string error = nft_ctx_get_error_buffer(ctx.get());
        while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) error.pop_back();
        throw std::runtime_error("nftables: " + (error.empty() ? std::string("the command failed") : error));
    }
    return nft_ctx_get_output_buffer(ctx.get());
}

KillSwitch::KillSwitch(std::filesystem::path stateDirectory) : intentFile_(std::move(stateDirectory) / kIntentFile) {}

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
    if (!text) return false;
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
