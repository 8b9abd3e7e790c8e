// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <exception>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace corvane {

// Adjusts the engine configuration text on the tunnel side just before the engine starts.
namespace TunnelConfig {

class PrepareError : public std::exception {
public:
    enum class Case { notAnObject };

    static PrepareError notAnObject() { return PrepareError(Case::notAnObject); }

    Case kind() const noexcept { return case_; }
    const std::string& description() const noexcept;
    const char* what() const noexcept override { return description().c_str(); }
    bool operator==(const PrepareError& other) const noexcept { return case_ == other.case_; }

private:
    explicit PrepareError(Case c) : case_(c) {}
    Case case_;
};

// Sets the control API to 127.0.0.1:port with the secret, keeping everything
// else; the result is compact with sorted keys. Throws PrepareError, or
// JSONError for text that is not JSON.
std::string withClashAPI(std::string_view config, int port, const std::string& secret);

struct LanShareCheck {
    std::string config;                  // the input unchanged, or rewritten without the inbound
    std::optional<std::string> dropped;  // the listen address of the removed inbound

    bool operator==(const LanShareCheck&) const = default;
};

// Removes the first "lan-share" inbound when its listen address is no longer
// one of the device's. Throws as withClashAPI does.
LanShareCheck droppingStaleLanShare(std::string_view config, const std::set<std::string>& localAddresses);

}  // namespace TunnelConfig

}  // namespace corvane
