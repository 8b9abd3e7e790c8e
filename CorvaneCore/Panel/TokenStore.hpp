// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "CorvaneCore/Panel/CredentialBackend.hpp"

namespace corvane {

namespace TokenStoreKeys {
inline constexpr std::string_view service = "com.corvane.client";
inline constexpr std::string_view accountJWT = "panel_jwt";
inline constexpr std::string_view accountPanelURL = "panel_url";
}  // namespace TokenStoreKeys

class TokenStoreError : public std::exception {
public:
    enum class Case { keychain, malformedData };

    static TokenStoreError keychain(std::int32_t status) { return TokenStoreError(Case::keychain, status); }
    static TokenStoreError malformedData() { return TokenStoreError(Case::malformedData, 0); }

    Case kind() const noexcept { return case_; }
    std::int32_t status() const noexcept { return status_; }
    const std::string& description() const noexcept { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }
    bool operator==(const TokenStoreError& o) const noexcept { return case_ == o.case_ && status_ == o.status_; }

private:
    TokenStoreError(Case c, std::int32_t status);
    Case case_;
    std::int32_t status_;
    std::string description_;
};

// Keeps the panel's bearer token together with the panel address it was issued
// for. Addresses are compared in their canonical form.
class TokenStoring {
public:
    virtual ~TokenStoring() = default;
    virtual void save(const std::string& token, const std::string& panelURL) = 0;
    // Nothing when no token is stored or it belongs to another panel.
    virtual std::optional<std::string> token(const std::string& panelURL) = 0;
    virtual std::optional<std::string> panelURL() = 0;
    virtual void clear() = 0;
};

class InMemoryTokenStore final : public TokenStoring {
public:
    void save(const std::string& token, const std::string& panelURL) override;
    std::optional<std::string> token(const std::string& panelURL) override;
    std::optional<std::string> panelURL() override;
    void clear() override;

private:
    std::mutex mutex_;
    std::optional<std::string> jwt_;
    std::optional<std::string> url_;
};

// The token store over the system's credential storage (the Secret Service, or
// an owner-only file where none answers).
class KeychainTokenStore final : public TokenStoring {
public:
    explicit KeychainTokenStore(std::optional<std::string> accessGroup = {},
                                std::shared_ptr<CredentialBackend> backend = CredentialBackend::systemDefault());

    void save(const std::string& token, const std::string& panelURL) override;
    std::optional<std::string> token(const std::string& panelURL) override;
    std::optional<std::string> panelURL() override;
    void clear() override;

    const std::optional<std::string>& accessGroup() const noexcept { return accessGroup_; }

private:
    void write(std::string_view account, std::string_view bytes);
    std::optional<std::string> read(std::string_view account);
    std::optional<std::string> readText(std::string_view account);

    std::optional<std::string> accessGroup_;
    std::shared_ptr<CredentialBackend> backend_;
};

}  // namespace corvane
