// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Config/Deployment.hpp"

#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string_view>

#include "CorvaneCore/Config/DeploymentValues.hpp"
#include "CorvaneCore/Support/RecordCoding.hpp"
#include "CorvaneCore/Support/XDGPaths.hpp"

namespace corvane {

namespace {

// What one file says; every key is optional.
struct DeploymentFile {
    static constexpr std::string_view recordName = "deployment.json";
    std::optional<std::string> panelURL;
    std::optional<std::string> urlTestProbeURL;
    std::optional<std::vector<std::string>> reachabilityProbeURLs;
    std::optional<std::string> ruleSetBaseURL;
    std::optional<std::string> proxyResolverAddress;
    std::optional<std::string> directResolverAddress;
    std::optional<std::string> directResolverTLSName;
    std::optional<std::vector<std::string>> directDomainSuffixes;

    static DeploymentFile decode(const RecordDecoder& d) {
        return {
            .panelURL = d.optional<std::string>("panel_url"),
            .urlTestProbeURL = d.optional<std::string>("url_test_probe_url"),
            .reachabilityProbeURLs = d.optional<std::vector<std::string>>("reachability_probe_urls"),
            .ruleSetBaseURL = d.optional<std::string>("rule_set_base_url"),
            .proxyResolverAddress = d.optional<std::string>("proxy_resolver_address"),
            .directResolverAddress = d.optional<std::string>("direct_resolver_address"),
            .directResolverTLSName = d.optional<std::string>("direct_resolver_tls_name"),
            .directDomainSuffixes = d.optional<std::vector<std::string>>("direct_domain_suffixes"),
        };
    }
    void encode(RecordEncoder& e) const {
        e.setOptional("panel_url", panelURL);
        e.setOptional("url_test_probe_url", urlTestProbeURL);
        e.setOptional("reachability_probe_urls", reachabilityProbeURLs);
        e.setOptional("rule_set_base_url", ruleSetBaseURL);
        e.setOptional("proxy_resolver_address", proxyResolverAddress);
        e.setOptional("direct_resolver_address", directResolverAddress);
        e.setOptional("direct_resolver_tls_name", directResolverTLSName);
        e.setOptional("direct_domain_suffixes", directDomainSuffixes);
    }
};

constexpr std::array<std::string_view, 8> knownKeys = {
    "panel_url",           "url_test_probe_url",      "reachability_probe_urls", "rule_set_base_url",
    "proxy_resolver_address", "direct_resolver_address", "direct_resolver_tls_name", "direct_domain_suffixes",
};

struct Refusal {
    std::string key;
    std::string reason;
};

// Values of the right type that still cannot work.
std::optional<Refusal> checkValues(const DeploymentFile& f) {
    auto https = [](const std::string& url) { return url.starts_with("https://") && url.size() > 8; };
    if (f.panelURL && !https(*f.panelURL)) return Refusal{"panel_url", "must be an https:// URL"};
    // The engine replaces any http:// test URL with its own default.
    if (f.urlTestProbeURL && !https(*f.urlTestProbeURL)) return Refusal{"url_test_probe_url", "must be an https:// URL"};
    if (f.reachabilityProbeURLs) {
        if (f.reachabilityProbeURLs->empty()) return Refusal{"reachability_probe_urls", "must name at least one URL"};
        for (std::size_t i = 0; i < f.reachabilityProbeURLs->size(); ++i) {
            if (!https((*f.reachabilityProbeURLs)[i])) {
                return Refusal{"reachability_probe_urls[" + std::to_string(i) + "]", "must be an https:// URL"};
            }
        }
    }
    if (f.ruleSetBaseURL && (!https(*f.ruleSetBaseURL) || !f.ruleSetBaseURL->ends_with("/"))) {
        return Refusal{"rule_set_base_url", "must be an https:// URL ending in /"};
    }
    auto nonEmpty = [](const std::optional<std::string>& s, const char* key) -> std::optional<Refusal> {
        if (s && s->empty()) return Refusal{key, "must not be empty"};
        return std::nullopt;
    };
    if (auto r = nonEmpty(f.proxyResolverAddress, "proxy_resolver_address")) return r;
    if (auto r = nonEmpty(f.directResolverAddress, "direct_resolver_address")) return r;
    if (auto r = nonEmpty(f.directResolverTLSName, "direct_resolver_tls_name")) return r;
    if (f.directDomainSuffixes) {
        for (std::size_t i = 0; i < f.directDomainSuffixes->size(); ++i) {
            if ((*f.directDomainSuffixes)[i].empty()) {
                return Refusal{"direct_domain_suffixes[" + std::to_string(i) + "]", "must not be empty"};
            }
        }
    }
    return std::nullopt;
}

void apply(const DeploymentFile& f, Deployment& d) {
    if (f.panelURL) d.panelURL = *f.panelURL;
    if (f.urlTestProbeURL) d.urlTestProbeURL = *f.urlTestProbeURL;
    if (f.reachabilityProbeURLs) d.reachabilityProbeURLs = *f.reachabilityProbeURLs;
    if (f.ruleSetBaseURL) d.ruleSetBaseURL = *f.ruleSetBaseURL;
    if (f.proxyResolverAddress) d.proxyResolverAddress = *f.proxyResolverAddress;
    if (f.directResolverAddress) d.directResolverAddress = *f.directResolverAddress;
    if (f.directResolverTLSName) d.directResolverTLSName = *f.directResolverTLSName;
    if (f.directDomainSuffixes) d.directDomainSuffixes = *f.directDomainSuffixes;
}

}  // namespace

std::string Deployment::Problem::description() const {
    std::string text = file.string() + ": ";
    if (!key.empty()) text += key + ": ";
    return text + reason;
}

Deployment Deployment::defaults() {
    namespace values = DeploymentValues;
    return {
        .panelURL = std::string(values::defaultPanelURL),
        .urlTestProbeURL = std::string(values::urlTestProbeURL),
        .reachabilityProbeURLs = {values::reachabilityProbeURLs.begin(), values::reachabilityProbeURLs.end()},
        .ruleSetBaseURL = std::string(values::ruleSetBaseURL),
        .proxyResolverAddress = std::string(values::proxyResolverAddress),
        .directResolverAddress = std::string(values::directResolverAddress),
        .directResolverTLSName = std::string(values::directResolverTLSName),
        .directDomainSuffixes = {values::cnAppDomainSuffixes.begin(), values::cnAppDomainSuffixes.end()},
    };
}

std::filesystem::path Deployment::systemFile() { return "/etc/corvane/deployment.json"; }

std::vector<std::filesystem::path> Deployment::standardFiles() {
    return {systemFile(), xdgConfigHome() / "corvane" / "deployment.json"};
}

Deployment::Loaded Deployment::load(const std::vector<std::filesystem::path>& files) {
    Loaded loaded{.values = defaults()};
    for (const auto& file : files) {
        std::error_code ec;
        if (!std::filesystem::exists(file, ec)) {
            if (ec && ec != std::errc::no_such_file_or_directory) {
                loaded.problems.push_back({file, "", "cannot be read: " + ec.message()});
            }
            continue;
        }
        if (std::filesystem::is_directory(file, ec)) {
            loaded.problems.push_back({file, "", "cannot be read: it is a directory"});
            continue;
        }
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            loaded.problems.push_back({file, "", std::string("cannot be read: ") + std::strerror(errno)});
            continue;
        }
        std::ostringstream text;
        text << in.rdbuf();
        DeploymentFile values;
        try {
            values = decodeJSON<DeploymentFile>(std::string_view(text.str()));
        } catch (const DecodingError& e) {
            // An empty path means the document itself (not JSON, or not an object).
            loaded.problems.push_back({file, e.path(), e.reason()});
            continue;
        } catch (const std::exception& e) {
            loaded.problems.push_back({file, "", e.what()});
            continue;
        }
        if (auto refusal = checkValues(values)) {
            loaded.problems.push_back({file, refusal->key, refusal->reason});
            continue;
        }
        // Unknown keys are most likely misspelt known ones: say so, and use the rest.
        try {
            auto object = parseJSONText(text.str(), DeploymentFile::recordName).as_object();
            for (const auto& member : object) {
                std::string_view key = member.key();
                bool known = false;
                for (auto k : knownKeys) known = known || k == key;
                if (!known) loaded.problems.push_back({file, std::string(key), "unknown key, ignored", true});
            }
        } catch (const std::exception&) {
        }
        apply(values, loaded.values);
        loaded.appliedFiles.push_back(file);
    }
    return loaded;
}

}  // namespace corvane
