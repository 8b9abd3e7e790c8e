// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// Status codes of credential operations, numbered like the keychain's so that
// callers and messages read the same on every platform.
namespace CredentialStatus {
inline constexpr std::int32_t success = 0;
inline constexpr std::int32_t io = -36;                        // the backing file could not be read or written
inline constexpr std::int32_t writePermission = -61;           // no permission to the backing store
inline constexpr std::int32_t param = -50;                     // bad arguments
inline constexpr std::int32_t notAvailable = -25291;           // no credential service answers
inline constexpr std::int32_t authFailed = -25293;             // the store refused access
inline constexpr std::int32_t userCanceled = -128;             // the user cancelled the store's prompt
inline constexpr std::int32_t noSuchKeychain = -25294;         // no keyring exists (and none was made)
inline constexpr std::int32_t duplicateItem = -25299;
inline constexpr std::int32_t itemNotFound = -25300;
inline constexpr std::int32_t interactionNotAllowed = -25308;  // the store is locked
inline constexpr std::int32_t decode = -26275;                 // the stored data is damaged
}  // namespace CredentialStatus

// Generic-password items addressed by (access group, service, account).
struct CredentialQuery {
    std::string_view service;
    std::string_view account;
    std::optional<std::string_view> accessGroup;
};

class CredentialBackend {
public:
    virtual ~CredentialBackend() = default;
    // itemNotFound when there is no such item.
    virtual std::int32_t update(const CredentialQuery& query, std::string_view bytes) = 0;
    // duplicateItem when the item exists.
    virtual std::int32_t add(const CredentialQuery& query, std::string_view bytes) = 0;
    // success with the bytes, or itemNotFound, or another failure.
    virtual std::int32_t read(const CredentialQuery& query, std::string& bytes) = 0;
    virtual std::int32_t remove(const CredentialQuery& query) = 0;
    virtual std::string name() const = 0;

    // The Secret Service when one answers on the session bus, else the file
    // store; either way items are also removed from the one not in use (see
    // SystemCredentialBackend).
    static std::shared_ptr<CredentialBackend> systemDefault();
};

// Items in the Secret Service (GNOME Keyring, KWallet…) through libsecret.
class SecretServiceCredentialBackend final : public CredentialBackend {
public:
    // True when a Secret Service answers on the session bus. The bus is the one
    // DBUS_SESSION_BUS_ADDRESS names, else $XDG_RUNTIME_DIR/bus; no bus is ever
    // started for the purpose.
    static bool isAvailable();

    std::int32_t update(const CredentialQuery& query, std::string_view bytes) override;
    std::int32_t add(const CredentialQuery& query, std::string_view bytes) override;
    std::int32_t read(const CredentialQuery& query, std::string& bytes) override;
    std::int32_t remove(const CredentialQuery& query) override;
    std::string name() const override { return "secret-service"; }
};

// Items in one JSON file readable only by its owner (0600 in a 0700 folder),
// replaced atomically on every change. A change waits at most `lockWait` for
// another process's lock on the file (one stopped, say), then fails with
// interactionNotAllowed instead of hanging its caller.
class FileCredentialBackend final : public CredentialBackend {
public:
    static constexpr std::chrono::milliseconds defaultLockWait{5000};

    explicit FileCredentialBackend(std::filesystem::path file, std::chrono::milliseconds lockWait = defaultLockWait);
    // $XDG_DATA_HOME/corvane/credentials.json (default ~/.local/share).
    static std::filesystem::path defaultPath();

    std::int32_t update(const CredentialQuery& query, std::string_view bytes) override;
    std::int32_t add(const CredentialQuery& query, std::string_view bytes) override;
    std::int32_t read(const CredentialQuery& query, std::string& bytes) override;
    std::int32_t remove(const CredentialQuery& query) override;
    std::string name() const override { return "file"; }

    const std::filesystem::path& path() const noexcept { return file_; }

private:
    std::filesystem::path file_;
    std::chrono::milliseconds lockWait_;
};

// The storage a process picks at start depends on whether a Secret Service
// answers then, so the same user's items may sit in either. This backend keeps
// them in the Secret Service when there is one (`secretService` not null), else
// in the file, and makes sure no other copy outlives a change:
// - with the Secret Service, a write or removal also removes the file's copy;
// - without it, a write or removal records in the file that the Secret
//   Service's copy is out of date, and the next process that has the Secret
//   Service removes every copy so recorded before it touches an item of the
//   same service.
class SystemCredentialBackend final : public CredentialBackend {
public:
    SystemCredentialBackend(std::shared_ptr<CredentialBackend> secretService, std::shared_ptr<CredentialBackend> file);

    std::int32_t update(const CredentialQuery& query, std::string_view bytes) override;
    std::int32_t add(const CredentialQuery& query, std::string_view bytes) override;
    std::int32_t read(const CredentialQuery& query, std::string& bytes) override;
    // Removes the item from both storages: success when either held it.
    std::int32_t remove(const CredentialQuery& query) override;
    std::string name() const override { return secretService_ ? secretService_->name() : file_->name(); }

private:
    template <class Write>
    std::int32_t write(const CredentialQuery& query, Write&& write);
    // Removes the Secret Service's copies that the file says are out of date.
    std::int32_t settle(const CredentialQuery& query);
    std::int32_t markOutdated(const CredentialQuery& query);

    std::shared_ptr<CredentialBackend> secretService_;
    std::shared_ptr<CredentialBackend> file_;
};

}  // namespace corvane
