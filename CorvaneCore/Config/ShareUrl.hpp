// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace corvane {

struct Hysteria2Url {
    std::string host;  // as written: not decoded, without IPv6 brackets
    std::uint16_t port = 0;
    std::string password;
    std::optional<std::string> obfsType;
    std::optional<std::string> obfsPassword;
    std::optional<std::string> sni;
    bool insecure = false;
    std::vector<std::string> alpn{"h3"};
    std::optional<std::string> remark;
    std::optional<std::vector<std::uint8_t>> certDer;  // pinned server certificate

    // A pinned certificate always wins over the insecure flag.
    bool effectiveInsecure() const { return certDer ? false : insecure; }
    // The pinned certificate as PEM text, lines of 64 characters.
    std::optional<std::string> pinnedCertPem() const;

    bool operator==(const Hysteria2Url&) const = default;
};

struct VlessRealityUrl {
    std::string host;  // as written: not decoded, without IPv6 brackets
    std::uint16_t port = 443;
    std::string uuid;  // any text: the server decides what it accepts
    std::string sni;
    std::string publicKey;
    std::string shortId;
    std::string fingerprint = "chrome";
    std::string flow;
    std::optional<std::string> remark;

    bool operator==(const VlessRealityUrl&) const = default;
};

// A parsed share URL: Hysteria2, or VLESS with Reality.
class ShareUrl {
public:
    ShareUrl(Hysteria2Url url) : value_(std::move(url)) {}
    ShareUrl(VlessRealityUrl url) : value_(std::move(url)) {}

    const Hysteria2Url* hysteria2() const noexcept { return std::get_if<Hysteria2Url>(&value_); }
    const VlessRealityUrl* vlessReality() const noexcept { return std::get_if<VlessRealityUrl>(&value_); }

    const std::string& host() const;
    const std::optional<std::string>& remark() const;

    bool operator==(const ShareUrl&) const = default;

private:
    std::variant<Hysteria2Url, VlessRealityUrl> value_;
};

class ShareUrlError : public std::exception {
public:
    enum class Case { unsupportedScheme, malformed, missingParam };

    static ShareUrlError unsupportedScheme(std::string scheme) { return {Case::unsupportedScheme, std::move(scheme)}; }
    static ShareUrlError malformed(std::string detail) { return {Case::malformed, std::move(detail)}; }
    static ShareUrlError missingParam(std::string name) { return {Case::missingParam, std::move(name)}; }

    Case kind() const noexcept { return case_; }
    // The scheme, the detail or the parameter name.
    const std::string& payload() const noexcept { return payload_; }
    const std::string& description() const noexcept { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }
    bool operator==(const ShareUrlError& other) const noexcept {
        return case_ == other.case_ && payload_ == other.payload_;
    }

private:
    ShareUrlError(Case c, std::string payload);

    Case case_;
    std::string payload_;
    std::string description_;
};

}  // namespace corvane
