// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The engine configurations the system tunnel service accepts: exactly the
// shape ConfigBuilder produces. The service runs for every member of its
// access group, and the engine reads keys without regard to case, so a
// deny-list of keys cannot be made safe; instead the text is decoded into the
// known shape, and only that shape, written anew, ever reaches the engine.

#include <exception>
#include <string>
#include <string_view>

#include "CorvaneCore/Config/DeploymentValues.hpp"
#include "CorvaneCore/Support/JSONValue.hpp"

namespace corvane::ConfigAllowList {

// A configuration outside the accepted shape. `path` names the first offending
// key from the top, e.g. "outbounds[2].tls.certificate_path".
class Refusal : public std::exception {
public:
    Refusal(std::string path, std::string reason);

    const std::string& path() const noexcept { return path_; }
    const std::string& reason() const noexcept { return reason_; }
    // "outbounds[2].tls.certificate_path: not allowed here"
    const std::string& description() const noexcept { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }
    bool operator==(const Refusal& other) const noexcept { return description_ == other.description_; }

private:
    std::string path_, reason_, description_;
};

// What the accepted shape depends on beyond the app's own code.
struct Options {
    // Remote rule sets are fetched only from below this URL (the operator's
    // rule_set_base_url): the engine holds a downloaded rule set whole in
    // memory, so a member must not point it at a file of any size.
    std::string ruleSetBaseURL{DeploymentValues::ruleSetBaseURL};
};

// The accepted shape of `document`, built anew from checked values only.
// Throws Refusal.
JSONValue check(const JSONValue& document, const Options& options = {});
// The same for a configuration text, returned as compact text. Throws
// Refusal, or JSONError when the text is not JSON.
std::string checkText(std::string_view text, const Options& options = {});

// Limits of the accepted shape.
inline constexpr int lowestLanSharePort = 1024;
inline constexpr std::size_t maxStringBytes = 64 * 1024;  // a pinned certificate is the longest value

}  // namespace corvane::ConfigAllowList
