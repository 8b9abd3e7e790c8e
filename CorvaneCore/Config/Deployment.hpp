// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace corvane {

// The operator's deployment values: the build's defaults
// (DeploymentValues.hpp), overridden key by key by deployment.json files.
struct Deployment {
    std::string panelURL;
    // The URL-test group's connectivity check (must answer 204 over https).
    std::string urlTestProbeURL;
    // Whether one outbound reaches the internet: tried in order.
    std::vector<std::string> reachabilityProbeURLs;
    // Where <repo>/rule-set/<tag>.srs files are served; ends with "/".
    std::string ruleSetBaseURL;
    std::string proxyResolverAddress;
    std::string directResolverAddress;
    std::string directResolverTLSName;
    std::vector<std::string> directDomainSuffixes;

    bool operator==(const Deployment&) const = default;

    // A file that could not be used, or a key in it that was not.
    struct Problem {
        std::filesystem::path file;
        std::string key;  // empty when the problem concerns the whole file
        std::string reason;
        bool ignoredKeyOnly = false;  // an unknown key: the rest of the file applies

        // "/etc/corvane/deployment.json: rule_set_base_url: must be an https:// URL ending in /"
        std::string description() const;
        bool operator==(const Problem&) const = default;
    };

    struct Loaded;

    // The build's defaults.
    static Deployment defaults();
    // /etc/corvane/deployment.json: the operator's, and the only one a service
    // that serves several users reads.
    static std::filesystem::path systemFile();
    // systemFile(), then $XDG_CONFIG_HOME/corvane/deployment.json.
    static std::vector<std::filesystem::path> standardFiles();
    // Starts from the defaults and applies each file in order; a later file
    // wins. An absent file is skipped. A file that cannot be read, is not a JSON
    // object, or holds a key of the wrong type or value is reported and applies
    // nothing, so the values before it stay in force. Never throws.
    static Loaded load(const std::vector<std::filesystem::path>& files);
};

struct Deployment::Loaded {
    Deployment values;
    std::vector<Problem> problems;
    std::vector<std::filesystem::path> appliedFiles;
};

}  // namespace corvane
