#include "CorvaneCore/Panel/TokenStore.hpp"

#include "CorvaneCore/Panel/PanelClient.hpp"

namespace corvane {

namespace {

bool isUTF8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        std::size_t extra;
        std::uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1, cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, cp = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= s.size()) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        static constexpr std::uint32_t minimum[] = {0, 0x80, 0x800, 0x10000};
        if (cp < minimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

}  // namespace

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
    if (bytes && !isUTF8(*bytes)) throw TokenStoreError::malformedData();
    return bytes;
}

void KeychainTokenStore::save(const std::string& token, const std::string& panelURL) {
    write(TokenStoreKeys::accountJWT, token);
    write(TokenStoreKeys::accountPanelURL, canonicalPanelURL(panelURL));
}

std::optional<std::string> KeychainTokenStore::token(const std::string& panelURL) {
    auto stored = readText(TokenStoreKeys::accountPanelURL);
    if (!stored || *stored != canonicalPanelURL(panelURL)) return std::nullopt;
    return readText(TokenStoreKeys::accountJWT);
}

std::optional<std::string> KeychainTokenStore::panelURL() { return readText(TokenStoreKeys::accountPanelURL); }

void KeychainTokenStore::clear() {
    for (auto account : {TokenStoreKeys::accountJWT, TokenStoreKeys::accountPanelURL}) {
        std::int32_t status = backend_->remove({TokenStoreKeys::service, account, accessGroup_});
        if (status != CredentialStatus::success && status != CredentialStatus::itemNotFound) {
            throw TokenStoreError::keychain(status);
        }
    }
}

}  // namespace corvane
