// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Diagnostics/LogSanitizer.hpp"

#include <array>
#include <algorithm>
#include <charconv>
#include <cstring>
#include <cstdint>
#include <stdexcept>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <boost/url/parse.hpp>

#include "CorvaneCore/Diagnostics/LogRing.hpp"
#include "CorvaneCore/Support/JSONValue.hpp"

namespace corvane::LogSanitizer {

namespace {

// Lower-case phrases of per-connection bookkeeping lines.
constexpr std::array<std::string_view, 13> bookkeepingPhrases = {
    "inbound connection", "outbound connection", "inbound packet connection", "outbound packet connection",
    "connection to ",     "connection from ",    "dns:",                      "lookup",
    "exchange",           "router: match",       "sniffed",                   "found process",
    "cached",
};

// Last labels that make a dotted name a file name (cache.db, geoip.srs).
constexpr std::array<std::string_view, 12> fileSuffixes = {"db",  "json", "srs", "log", "sock", "yaml",
                                                           "yml", "pem",  "crt", "key", "go",   "swift"};

// Three alternatives, tried in this order at each position:
// 1. a bracketed IPv6 address (group 1);
// 2. a bare IPv6 address (group 2), compressed (optionally with an IPv4 tail) or
//    of eight groups, not inside a longer word or hex-and-colon run: it starts
//    the run, or follows a colon after a word that is no group ("remote:2001:db8::1");
// 3. a host name or dotted number (group 3), starting at a label's first character.
// A port is left to follow the match as plain text. Every repetition that can
// fail is bounded or starts only at a boundary, so one attempt reads a bounded
// stretch or succeeds: scrubbing stays linear in the length of a run.
#define CORVANE_HEX "[0-9A-Fa-f]"
#define CORVANE_GROUP CORVANE_HEX "{1,4}"
#define CORVANE_WORD_END "[G-Zg-z.\\-\\]]"
constexpr std::string_view hostPattern =
    R"(\[()" CORVANE_HEX "{0,4}:[0-9A-Fa-f:]{1,40})\\]|"
    "(?:(?<![0-9A-Za-z:.])|(?<=" CORVANE_WORD_END ":|" CORVANE_WORD_END CORVANE_HEX ":|"
    CORVANE_WORD_END CORVANE_HEX "{2}:|" CORVANE_WORD_END CORVANE_HEX "{3}:|" CORVANE_WORD_END CORVANE_HEX "{4}:|"
    CORVANE_HEX "{5}:))"
    "((?:" CORVANE_GROUP "(?::" CORVANE_GROUP "){0,6})?::(?:" CORVANE_GROUP "(?::" CORVANE_GROUP "){0,6})?"
    R"((?:(?:\.\d{1,3}){3})?|)" CORVANE_GROUP "(?::" CORVANE_GROUP R"(){7})(?![0-9A-Za-z]|:[0-9A-Fa-f:<]))"
    R"(|(?<![A-Za-z0-9-])((?:[A-Za-z0-9](?:[A-Za-z0-9-]*[A-Za-z0-9])?\.)+[A-Za-z0-9-]{1,}))";
#undef CORVANE_HEX
#undef CORVANE_GROUP
#undef CORVANE_WORD_END

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lowercased(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = lower(c);
    return out;
}

void lowercaseInto(std::string& out, std::string_view s) {
    out.assign(s);
    for (char& c : out) c = lower(c);
}

// The pattern, compiled once for the process; the JIT is used where the platform has one.
class HostPattern {
public:
    HostPattern() {
        int error = 0;
        PCRE2_SIZE offset = 0;
        code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(hostPattern.data()), hostPattern.size(), 0, &error, &offset,
                              nullptr);
        if (!code_) {
            PCRE2_UCHAR message[256];
            pcre2_get_error_message(error, message, sizeof message);
            throw std::logic_error("the host pattern does not compile: " + std::string(reinterpret_cast<char*>(message)));
        }
        jit_ = pcre2_jit_compile(code_, PCRE2_JIT_COMPLETE) == 0;
    }
    ~HostPattern() { pcre2_code_free(code_); }
    HostPattern(const HostPattern&) = delete;
    HostPattern& operator=(const HostPattern&) = delete;

    const pcre2_code* code() const { return code_; }
    bool jit() const { return jit_; }

private:
    pcre2_code* code_ = nullptr;
    bool jit_ = false;
};

const HostPattern& pattern() {
    static const HostPattern compiled;
    return compiled;
}

// Match data and a JIT stack for each thread, so scrubbing needs no lock.
class Matcher {
public:
    Matcher() {
        const auto& p = pattern();
        data_ = pcre2_match_data_create_from_pattern(p.code(), nullptr);
        context_ = pcre2_match_context_create(nullptr);
        if (p.jit()) {
            // Long runs of dotted labels backtrack deeply; give the JIT room before it gives up.
            stack_ = pcre2_jit_stack_create(32 * 1024, 4 * 1024 * 1024, nullptr);
            if (stack_) pcre2_jit_stack_assign(context_, nullptr, stack_);
        }
        if (!data_ || !context_) throw std::bad_alloc();
        ovector_ = pcre2_get_ovector_pointer(data_);
    }
    ~Matcher() {
        pcre2_match_data_free(data_);
        pcre2_match_context_free(context_);
        if (stack_) pcre2_jit_stack_free(stack_);
    }
    Matcher(const Matcher&) = delete;
    Matcher& operator=(const Matcher&) = delete;

    // > 0 on a match (the number of groups set, plus one), PCRE2_ERROR_NOMATCH, or another negative error.
    int match(std::string_view text, std::size_t offset) {
        const auto* subject = reinterpret_cast<PCRE2_SPTR>(text.data());
        const auto& p = pattern();
        int rc = p.jit() ? pcre2_jit_match(p.code(), subject, text.size(), offset, 0, data_, context_)
                         : pcre2_match(p.code(), subject, text.size(), offset, 0, data_, context_);
        if (rc < 0 && rc != PCRE2_ERROR_NOMATCH && p.jit()) {
            // The JIT ran out of stack: the interpreter keeps its state on the heap.
            rc = pcre2_match(p.code(), subject, text.size(), offset, PCRE2_NO_JIT, data_, context_);
        }
        set_ = rc > 0 ? rc : 0;
        return rc;
    }

    // The text of a group, or nothing when it did not take part in the match.
    std::optional<std::string_view> group(std::string_view text, int index) const {
        if (index >= set_) return std::nullopt;
        PCRE2_SIZE start = ovector_[2 * index], end = ovector_[2 * index + 1];
        if (start == PCRE2_UNSET) return std::nullopt;
        return text.substr(start, end - start);
    }
    std::size_t matchStart() const { return ovector_[0]; }
    std::size_t matchEnd() const { return ovector_[1]; }

private:
    pcre2_match_data* data_ = nullptr;
    pcre2_match_context* context_ = nullptr;
    pcre2_jit_stack* stack_ = nullptr;
    const PCRE2_SIZE* ovector_ = nullptr;
    int set_ = 0;  // groups beyond the last one set are unset
};

Matcher& matcher() {
    thread_local Matcher m;
    return m;
}

bool isLocalIPv6(std::string_view lowered) {
    return lowered == "::1" || lowered == "::" || lowered.starts_with("fe80") || lowered.starts_with("fd") ||
           lowered.starts_with("fc");
}

bool allDigits(std::string_view s) {
    for (char c : s) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// A decimal integer that fits 64 bits; a sign is allowed, as integer parsing allows one.
std::optional<std::int64_t> integer(std::string_view s) {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return std::nullopt;
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (error != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return value;
}

// `name` is lower-case; `probe` is scratch space for set lookups; no kept host is
// longer than `longestKept` bytes.
bool isInfrastructure(std::string_view name, const HostSet& keep, std::size_t longestKept, std::string& probe) {
    probe.assign(name);
    if (keep.count(probe)) return true;

    std::array<std::string_view, 4> parts;
    std::size_t count = 0;
    bool everyPartDigits = true;
    for (std::size_t start = 0;;) {
        auto dot = name.find('.', start);
        std::string_view part = name.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
        if (count < parts.size()) parts[count] = part;
        ++count;
        if (!allDigits(part)) everyPartDigits = false;
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }

    if (count == 4) {
        std::array<std::optional<std::int64_t>, 4> numbers;
        bool allNumbers = true;
        for (std::size_t i = 0; i < 4; ++i) {
            numbers[i] = integer(parts[i]);
            if (!numbers[i]) allNumbers = false;
        }
        if (allNumbers) {
            const std::int64_t first = *numbers[0], second = *numbers[1];
            return first == 10 || (first == 172 && second >= 16 && second <= 31) || (first == 192 && second == 168) ||
                   name.starts_with("127.") || name == "0.0.0.0";
        }
    }
    if (everyPartDigits) return true;  // a version number such as 1.10.3

    const std::string_view last = name.substr(name.rfind('.') + 1);
    for (auto suffix : fileSuffixes) {
        if (last == suffix) return true;
    }
    // A subdomain of a kept host: some tail after a dot is itself kept. Only tails
    // as short as a kept host are looked up, so a name of many labels costs its length once.
    const std::size_t from = name.size() > longestKept + 1 ? name.size() - longestKept - 1 : 0;
    for (std::size_t dot = name.find('.', from); dot != std::string_view::npos; dot = name.find('.', dot + 1)) {
        probe.assign(name.substr(dot + 1));
        if (keep.count(probe)) return true;
    }
    return false;
}

// The keep set as given when it is already lower-case, else a lower-cased copy.
class LoweredHosts {
public:
    explicit LoweredHosts(const HostSet& hosts) : hosts_(&hosts) {
        for (const auto& h : hosts) {
            for (char c : h) {
                if (c >= 'A' && c <= 'Z') {
                    for (const auto& each : hosts) copy_.insert(lowercased(each));
                    hosts_ = &copy_;
                    return;
                }
            }
        }
    }
    const HostSet& get() const { return *hosts_; }

private:
    const HostSet* hosts_;
    HostSet copy_;
};

// The characters a match can consist of. No match spans anything else, and the
// pattern's look-arounds read a character outside this set the same way as the
// end of the text, so the text can be matched run by run.
constexpr std::array<bool, 256> tokenCharacters = [] {
    std::array<bool, 256> table{};
    for (int c = 0; c < 256; ++c) {
        table[c] = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '.' || c == ':' ||
                   c == '-' || c == '[' || c == ']';
    }
    return table;
}();

bool isToken(char c) { return tokenCharacters[static_cast<unsigned char>(c)]; }

std::string scrubLowered(std::string_view text, const HostSet& keep) {
    Matcher& m = matcher();
    std::string out;
    out.reserve(text.size() + 16);
    std::string lowered, probe;
    std::size_t copied = 0;  // text before this is in `out`
    std::size_t longestKept = 0;
    for (const auto& host : keep) longestKept = std::max(longestKept, host.size());

    // Every alternative needs a dot or a colon: find those, then the run of
    // characters around each, and leave the words in between alone.
    const std::size_t n = text.size();
    auto next = [&](char c, std::size_t from) {
        const void* hit = from < n ? std::memchr(text.data() + from, c, n - from) : nullptr;
        return hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - text.data()) : n;
    };
    std::size_t nextDot = next('.', 0), nextColon = next(':', 0);
    std::size_t done = 0;  // runs end before this
    for (;;) {
        const std::size_t hit = std::min(nextDot, nextColon);
        if (hit >= n) break;
        std::size_t runStart = hit;
        while (runStart > done && isToken(text[runStart - 1])) --runStart;
        std::size_t i = hit;
        while (i < n && isToken(text[i])) ++i;
        done = i;
        if (nextDot < i) nextDot = next('.', i);
        if (nextColon < i) nextColon = next(':', i);

        // The subject ends with the run; it starts at the run, or right after the last
        // placeholder written: a second pass sees the placeholder end the run there, so
        // the first reads the rest as the second will, and scrubbing again changes nothing.
        // A placeholder right after the run ends it as a replaced host did in the first
        // pass: the IPv6 look-ahead reads its '<' as it read that host's first character.
        const std::size_t subjectEnd = i < n && text[i] == placeholder.front() ? i + 1 : i;
        std::size_t base = runStart;
        for (std::size_t at = runStart; at < i;) {
            const std::string_view subject = text.substr(base, subjectEnd - base);
            int rc = m.match(subject, at - base);
            if (rc == PCRE2_ERROR_NOMATCH) break;
            if (rc < 0) {
                // Matching failed outright: what is left cannot be checked, so none of it goes out.
                out.append(text.substr(copied, at - copied));
                out.append(placeholder);
                return out;
            }
            const std::size_t start = base + m.matchStart(), end = base + m.matchEnd();
            out.append(text.substr(copied, start - copied));

            bool keepMatch;
            if (auto v6 = m.group(subject, 1) ? m.group(subject, 1) : m.group(subject, 2)) {
                lowercaseInto(lowered, *v6);
                keepMatch = keep.count(lowered) || isLocalIPv6(lowered);
            } else {
                lowercaseInto(lowered, *m.group(subject, 3));
                keepMatch = isInfrastructure(lowered, keep, longestKept, probe);
            }
            if (keepMatch) {
                out.append(text.substr(start, end - start));
            } else {
                out.append(placeholder);
                base = end;
            }
            copied = at = end;
        }
    }
    out.append(text.substr(copied));
    return out;
}

// `scratch` spares an allocation per line.
bool isBookkeeping(const LogLine& line, std::string& scratch) {
    if (line.target == "tunnel") return false;
    lowercaseInto(scratch, line.message);
    for (auto phrase : bookkeepingPhrases) {
        if (scratch.find(phrase) != std::string::npos) return true;
    }
    return false;
}

std::optional<LogLine> sanitizeLowered(const LogLine& line, const HostSet& keep, std::string& scratch) {
    // Warnings and worse always stay: they are what a report is for.
    static const int warning = LogRing::rank("WARN");
    if (LogRing::rank(line.level) < warning && isBookkeeping(line, scratch)) return std::nullopt;
    return LogLine{line.ts, line.level, line.target, scrubLowered(line.message, keep)};
}

std::optional<std::string> urlHost(std::string_view text) {
    auto url = boost::urls::parse_uri(text);
    if (!url || !url->has_authority()) return std::nullopt;
    std::string host = url->host_address();
    if (host.empty()) return std::nullopt;
    return host;
}

}  // namespace

HostSet infrastructureHosts(std::string_view configJSON, const std::optional<std::string>& panelHost) {
    HostSet hosts;
    if (panelHost && !panelHost->empty()) hosts.insert(lowercased(*panelHost));

    JSONValue config;
    try {
        config = JSONValue::parse(configJSON);
    } catch (const JSONError&) {
        return hosts;
    }
    if (!config.isObject()) return hosts;

    // Each list of objects under `key`; anything of another type is passed over.
    auto objects = [](const JSONValue* parent, std::string_view key) {
        std::vector<const JSONValue*> out;
        const JSONValue* list = parent ? parent->find(key) : nullptr;
        if (!list || !list->array()) return out;
        for (const auto& item : *list->array()) {
            if (item.isObject()) out.push_back(&item);
        }
        return out;
    };
    auto text = [](const JSONValue* object, std::string_view key) -> const std::string* {
        const JSONValue* v = object->find(key);
        return v ? v->string() : nullptr;
    };

    for (const auto* outbound : objects(&config, "outbounds")) {
        if (const auto* server = text(outbound, "server")) hosts.insert(lowercased(*server));
        if (const auto* url = text(outbound, "url")) {
            if (auto host = urlHost(*url)) hosts.insert(lowercased(*host));
        }
    }
    for (const auto* endpoint : objects(&config, "endpoints")) {
        for (const auto* peer : objects(endpoint, "peers")) {
            if (const auto* address = text(peer, "address")) hosts.insert(lowercased(*address));
        }
    }
    const JSONValue* dns = config.find("dns");
    for (const auto* server : objects(dns && dns->isObject() ? dns : nullptr, "servers")) {
        for (std::string_view key : {"server", "address"}) {
            if (const auto* value = text(server, key)) {
                auto host = urlHost(*value);
                hosts.insert(lowercased(host ? *host : *value));
            }
        }
    }
    const JSONValue* route = config.find("route");
    for (const auto* ruleSet : objects(route && route->isObject() ? route : nullptr, "rule_set")) {
        if (const auto* url = text(ruleSet, "url")) {
            if (auto host = urlHost(*url)) hosts.insert(lowercased(*host));
        }
    }
    return hosts;
}

std::optional<LogLine> sanitize(const LogLine& line, const HostSet& keepHosts) {
    LoweredHosts keep(keepHosts);
    std::string scratch;
    return sanitizeLowered(line, keep.get(), scratch);
}

std::vector<LogLine> sanitize(const std::vector<LogLine>& lines, const HostSet& keepHosts) {
    LoweredHosts keep(keepHosts);
    std::vector<LogLine> out;
    out.reserve(lines.size());
    std::string scratch;
    for (const auto& line : lines) {
        if (auto clean = sanitizeLowered(line, keep.get(), scratch)) out.push_back(std::move(*clean));
    }
    return out;
}

std::string scrub(std::string_view text, const HostSet& keepHosts) {
    LoweredHosts keep(keepHosts);
    return scrubLowered(text, keep.get());
}

}  // namespace corvane::LogSanitizer
