// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Panel/TokenStore.hpp"

#include <cerrno>
#include <system_error>

#include "CorvaneCore/Panel/PanelClient.hpp"
#include "CorvaneCore/Support/UTF8.hpp"

namespace corvane {

TokenStoreError::TokenStoreError(Case c, std::int32_t status) : case_(c), status_(status) {
    description_ = c == Case::keychain ? "keychain error " + std::to_string(status)
                                       : "keychain returned data that is not UTF-8";
}

void InMemoryTokenStore::save(const std::string& token, const std::string& panelURL) {
    std::lock_guard lock(mutex_);
    jwt_ = token;
    url_ = canonicalPanelURL(panelURL);
}

std::optional<std::string> InMemoryTokenStore::token(const std::string& panelURL) {
    std::lock_guard lock(mutex_);
    if (url_ && *url_ == canonicalPanelURL(panelURL)) return jwt_;
    return std::nullopt;
}

std::optional<std::string> InMemoryTokenStore::panelURL() {
    std::lock_guard lock(mutex_);
    return url_;
}

void InMemoryTokenStore::clear() {
    std::lock_guard lock(mutex_);
    jwt_.reset();
    url_.reset();
}

namespace {

// Every failure of the store is a TokenStoreError, whatever the storage below throws.
template <class F>
auto guarded(F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (const TokenStoreError&) {
        throw;
    } catch (const std::system_error& e) {
        const int error = e.code().value();
        throw TokenStoreError::keychain(error == EACCES || error == EPERM || error == EROFS ? CredentialStatus::writePermission
                                                                                           : CredentialStatus::io);
    } catch (const std::exception&) {
        throw TokenStoreError::keychain(CredentialStatus::io);
    }
}

}  // namespace

KeychainTokenStore::KeychainTokenStore(std::optional<std::string> accessGroup, std::shared_ptr<CredentialBackend> backend)
    : accessGroup_(std::move(accessGroup)), backend_(std::move(backend)) {}

void KeychainTokenStore::write(std::string_view account, std::string_view bytes) {
    CredentialQuery query{TokenStoreKeys::service, account, accessGroup_};
    std::int32_t status = backend_->update(query, bytes);
    if (status == CredentialStatus::itemNotFound) {
        status = backend_->add(query, bytes);
        if (status != CredentialStatus::success) throw TokenStoreError::keychain(status);
        return;
    }
    if (status != CredentialStatus::success) throw TokenStoreError::keychain(status);
}

std::optional<std::string> KeychainTokenStore::read(std::string_view account) {
    std::string bytes;
    std::int32_t status = backend_->read({TokenStoreKeys::service, account, accessGroup_}, bytes);
    if (status == CredentialStatus::itemNotFound) return std::nullopt;
    if (status != CredentialStatus::success) throw TokenStoreError::keychain(status);
    return bytes;
}

std::optional<std::string> KeychainTokenStore::readText(std::string_view account) {
    auto bytes = read(account);
    if (bytes && !isValidUTF8(*bytes)) throw TokenStoreError::malformedData();
    return bytes;
}

void KeychainTokenStore::save(const std::string& token, const std::string& panelURL) {
    guarded([&] {
        write(TokenStoreKeys::accountJWT, token);
        // Only after the token is stored: a failure leaves the address as it was.
        write(TokenStoreKeys::accountPanelURL, canonicalPanelURL(panelURL));
    });
}

std::optional<std::string> KeychainTokenStore::token(const std::string& panelURL) {
    return guarded([&]() -> std::optional<std::string> {
        auto stored = readText(TokenStoreKeys::accountPanelURL);
        if (!stored || *stored != canonicalPanelURL(panelURL)) return std::nullopt;
        return readText(TokenStoreKeys::accountJWT);
    });
}

std::optional<std::string> KeychainTokenStore::panelURL() {
    return guarded([&] { return readText(TokenStoreKeys::accountPanelURL); });
}

void KeychainTokenStore::clear() {
    guarded([&] {
        // The token first: a failure stops here and leaves the address item as it was.
        for (auto account : {TokenStoreKeys::accountJWT, TokenStoreKeys::accountPanelURL}) {
            std::int32_t status = backend_->remove({TokenStoreKeys::service, account, accessGroup_});
            if (status != CredentialStatus::success && status != CredentialStatus::itemNotFound) {
                throw TokenStoreError::keychain(status);
            }
        }
    });
}

}  // namespace corvane
