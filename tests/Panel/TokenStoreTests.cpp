// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <libsecret/secret.h>

#include "TestSupport/WithoutPrivileges.hpp"
#include "CorvaneCore/Panel/TokenStore.hpp"
#include "TestSupport/ScopedEnv.hpp"
#include "tools/fleet/BackgroundProcess.hpp"
#include "tools/fleet/ChildProcess.hpp"
#include "tools/fleet/TempDir.hpp"

using namespace corvane;
using namespace corvane::fleet;
using namespace corvane::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::string programPath(const std::string& name) {
    auto found = runProcess({"/bin/sh", "-c", "command -v " + name});
    if (found.exitStatus != 0) return {};
    return std::string(found.out.substr(0, found.out.find('\n')));
}

// A D-Bus session of our own, listening where the desktop's would ($XDG_RUNTIME_DIR/bus),
// with GNOME Keyring's Secret Service on it, so the tests never touch the user's keyring.
// Started once for the whole suite: GLib keeps its bus connection for the life of the process.
class PrivateSecretService {
public:
    static PrivateSecretService& shared() {
        static PrivateSecretService service;
        return service;
    }

    const std::string& unavailableReason() const { return reason_; }
    fs::path runtimeDir() const { return dir_ / "run"; }
    std::string address() const { return "unix:path=" + (runtimeDir() / "bus").string(); }

private:
    PrivateSecretService() {
        const std::string dbus = programPath("dbus-daemon"), keyring = programPath("gnome-keyring-daemon");
        if (dbus.empty() || keyring.empty()) {
            reason_ = "dbus-daemon or gnome-keyring-daemon is not installed";
            return;
        }
        fs::create_directories(runtimeDir());
        fs::permissions(runtimeDir(), fs::perms::owner_all);
        setenv("XDG_RUNTIME_DIR", runtimeDir().c_str(), 1);
        setenv("HOME", dir_.path().c_str(), 1);
        setenv("XDG_DATA_HOME", (dir_ / "data").c_str(), 1);  // the keyring's own files
        // No service directories: nothing is started on demand, so our keyring is the only one.
        writeFile(dir_ / "bus.conf", R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>)" + address() + R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)");
        bus_.emplace(std::vector<std::string>{dbus, "--config-file=" + (dir_ / "bus.conf").string(), "--nofork", "--nopidfile"},
                     dir_ / "dbus.log");
        for (auto deadline = std::chrono::steady_clock::now() + 10s;
             !fs::exists(runtimeDir() / "bus") && std::chrono::steady_clock::now() < deadline;) {
            std::this_thread::sleep_for(20ms);
        }
        if (!fs::exists(runtimeDir() / "bus")) {
            reason_ = "cannot start a private D-Bus session: " + bus_->log();
            return;
        }
        setenv("DBUS_SESSION_BUS_ADDRESS", address().c_str(), 1);
        // A password on standard input creates and unlocks the login keyring without a prompt.
        writeFile(dir_ / "password", "corvane-test");
        keyring_.emplace(std::vector<std::string>{"/bin/sh", "-c",
                                                  "exec '" + keyring + "' --foreground --unlock --components=secrets < '" +
                                                      (dir_ / "password").string() + "'"},
                         dir_ / "keyring.log");
        for (auto deadline = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < deadline;) {
            if (SecretServiceCredentialBackend::isAvailable()) {
                // The bus goes away before the process does: that must not end the process.
                if (GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr)) {
                    g_dbus_connection_set_exit_on_close(bus, FALSE);
                    g_object_unref(bus);
                }
                return;
            }
            std::this_thread::sleep_for(50ms);
        }
        reason_ = "the private Secret Service does not answer: " + keyring_->log();
    }

    TempDir dir_;
    std::optional<BackgroundProcess> bus_;
    std::optional<BackgroundProcess> keyring_;
    std::string reason_;
};

#define REQUIRE_SECRET_SERVICE()                                                                           \
    if (const auto& reason = PrivateSecretService::shared().unavailableReason(); !reason.empty()) {        \
        GTEST_SKIP() << "Secret Service test skipped: " << reason;                                       \
    }

const CredentialQuery jwtItem{TokenStoreKeys::service, TokenStoreKeys::accountJWT, std::nullopt};
const CredentialQuery urlItem{TokenStoreKeys::service, TokenStoreKeys::accountPanelURL, std::nullopt};

// How many items the Secret Service holds for an account of ours, asked over
// D-Bus itself (libsecret's search leaks a little per item it makes).
int secretServiceItems(std::string_view account) {
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!bus) {
        ADD_FAILURE() << error->message;
        g_error_free(error);
        return -1;
    }
    GVariantBuilder attributes;
    g_variant_builder_init(&attributes, G_VARIANT_TYPE("a{ss}"));
    g_variant_builder_add(&attributes, "{ss}", "service", std::string(TokenStoreKeys::service).c_str());
    g_variant_builder_add(&attributes, "{ss}", "account", std::string(account).c_str());
    GVariant* reply = g_dbus_connection_call_sync(bus, "org.freedesktop.secrets", "/org/freedesktop/secrets",
                                                  "org.freedesktop.Secret.Service", "SearchItems",
                                                  g_variant_new("(a{ss})", &attributes), G_VARIANT_TYPE("(aoao)"),
                                                  G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, &error);
    g_object_unref(bus);
    if (!reply) {
        ADD_FAILURE() << error->message;
        g_error_free(error);
        return -1;
    }
    GVariant* unlocked = g_variant_get_child_value(reply, 0);
    GVariant* locked = g_variant_get_child_value(reply, 1);
    const int count = static_cast<int>(g_variant_n_children(unlocked) + g_variant_n_children(locked));
    g_variant_unref(unlocked);
    g_variant_unref(locked);
    g_variant_unref(reply);
    return count;
}

// Forgets whatever an earlier test left in the shared Secret Service.
void emptySecretService() {
    SecretServiceCredentialBackend backend;
    backend.remove(jwtItem);
    backend.remove(urlItem);
}

// The same behaviour is asked of every store.
enum class Kind { memory, file, secretService, systemWithSecretService, systemWithoutSecretService };

class TokenStoreTest : public ::testing::TestWithParam<Kind> {
protected:
    void SetUp() override {
        auto file = std::make_shared<FileCredentialBackend>(dir.path() / "corvane" / "credentials.json");
        switch (GetParam()) {
        case Kind::memory: store = std::make_unique<InMemoryTokenStore>(); return;
        case Kind::file: store = std::make_unique<KeychainTokenStore>(std::nullopt, file); return;
        case Kind::systemWithoutSecretService:
            store = std::make_unique<KeychainTokenStore>(std::nullopt, std::make_shared<SystemCredentialBackend>(nullptr, file));
            return;
        default: break;
        }
        REQUIRE_SECRET_SERVICE();
        emptySecretService();
        std::shared_ptr<CredentialBackend> secretService = std::make_shared<SecretServiceCredentialBackend>();
        if (GetParam() == Kind::systemWithSecretService) {
            secretService = std::make_shared<SystemCredentialBackend>(secretService, file);
        }
        store = std::make_unique<KeychainTokenStore>(std::nullopt, secretService);
    }

    TempDir dir;
    std::unique_ptr<TokenStoring> store;
};

}  // namespace

TEST_P(TokenStoreTest, TheTokenBelongsToItsPanel) {
    EXPECT_EQ(store->panelURL(), std::nullopt);
    EXPECT_EQ(store->token("https://panel.example.com"), std::nullopt);
    store->save("jwt-1", "HTTPS://Panel.Example.com/");
    EXPECT_EQ(store->panelURL(), "https://panel.example.com");
    EXPECT_EQ(store->token("https://panel.example.COM///"), "jwt-1");
    EXPECT_EQ(store->token("https://other.example.com"), std::nullopt);

    store->save("jwt-2", "https://other.example.com");  // both items replaced, none added
    EXPECT_EQ(store->token("https://other.example.com"), "jwt-2");
    EXPECT_EQ(store->token("https://panel.example.com"), std::nullopt);
    if (GetParam() == Kind::secretService || GetParam() == Kind::systemWithSecretService) {
        EXPECT_EQ(secretServiceItems(TokenStoreKeys::accountJWT), 1);
        EXPECT_EQ(secretServiceItems(TokenStoreKeys::accountPanelURL), 1);
    }

    store->clear();
    EXPECT_EQ(store->panelURL(), std::nullopt);
    EXPECT_EQ(store->token("https://other.example.com"), std::nullopt);
    store->clear();  // clearing an empty store is fine
}

INSTANTIATE_TEST_SUITE_P(Stores, TokenStoreTest,
                         ::testing::Values(Kind::memory, Kind::file, Kind::secretService, Kind::systemWithSecretService,
                                           Kind::systemWithoutSecretService),
                         [](const auto& info) {
                             switch (info.param) {
                             case Kind::memory: return std::string("InMemory");
                             case Kind::file: return std::string("File");
                             case Kind::secretService: return std::string("SecretService");
                             case Kind::systemWithSecretService: return std::string("SystemWithSecretService");
                             default: return std::string("SystemWithoutSecretService");
                             }
                         });

// Whether a process finds a keyring is decided when it starts; the user's sign-in
// and sign-out may well happen in processes that decided differently.
TEST(SystemCredentials, SigningOutForgetsTheTokenWhereverItWasKept) {
    REQUIRE_SECRET_SERVICE();
    emptySecretService();
    TempDir dir;
    ScopedEnv data("XDG_DATA_HOME", dir.path().string());
    const std::string panel = "https://panel.example.com";
    // Neither variable leads to a bus: the file is used.
    auto withoutKeyring = [&] {
        ScopedEnv noBus("DBUS_SESSION_BUS_ADDRESS", std::nullopt);
        ScopedEnv noRuntime("XDG_RUNTIME_DIR", dir.path().string());
        return KeychainTokenStore();
    };
    auto withKeyring = [] { return KeychainTokenStore(); };

    // Signed in without a keyring, signed out with one.
    withoutKeyring().save("file-token", panel);
    ASSERT_TRUE(fs::exists(FileCredentialBackend::defaultPath()));
    EXPECT_EQ(withKeyring().token(panel), std::nullopt) << "a process with a keyring reads the keyring";
    withKeyring().clear();
    EXPECT_EQ(withoutKeyring().token(panel), std::nullopt) << "the file's token outlived the sign-out";
    EXPECT_EQ(withoutKeyring().panelURL(), std::nullopt);

    // Signed in with a keyring, signed out without one: that process cannot reach the
    // keyring, so the next one that can removes the keyring's items before reading.
    withKeyring().save("keyring-token", panel);
    EXPECT_EQ(secretServiceItems(TokenStoreKeys::accountJWT), 1);
    withoutKeyring().clear();
    EXPECT_EQ(withKeyring().token(panel), std::nullopt) << "the keyring's token outlived the sign-out";
    EXPECT_EQ(withKeyring().panelURL(), std::nullopt);
    EXPECT_EQ(secretServiceItems(TokenStoreKeys::accountJWT), 0);

    // A sign-in without a keyring makes an older keyring sign-in stale too; a sign-in
    // with one leaves no copy in the file.
    withKeyring().save("old-token", "https://old.example.com");
    withoutKeyring().save("new-token", panel);
    EXPECT_EQ(withKeyring().token("https://old.example.com"), std::nullopt);
    withKeyring().save("keyring-token", panel);
    EXPECT_EQ(withoutKeyring().token(panel), std::nullopt);
    EXPECT_EQ(withKeyring().token(panel), "keyring-token");
    withKeyring().clear();
}

TEST(SystemCredentials, FindsTheSessionBusInTheRuntimeDirectory) {
    REQUIRE_SECRET_SERVICE();
    emptySecretService();
    TempDir dir;
    ScopedEnv data("XDG_DATA_HOME", dir.path().string());
    ScopedEnv noAddress("DBUS_SESSION_BUS_ADDRESS", std::nullopt);
    ASSERT_TRUE(fs::exists(PrivateSecretService::shared().runtimeDir() / "bus"));
    EXPECT_TRUE(SecretServiceCredentialBackend::isAvailable());
    KeychainTokenStore store;
    store.save("t", "https://p");
    std::string stored;
    EXPECT_EQ(SecretServiceCredentialBackend().read(jwtItem, stored), CredentialStatus::success);
    EXPECT_EQ(stored, "t");
    EXPECT_FALSE(fs::exists(FileCredentialBackend::defaultPath()));
    store.clear();

    // Without a socket there, no bus is started for us: the file is used.
    ScopedEnv elsewhere("XDG_RUNTIME_DIR", dir.path().string());
    EXPECT_FALSE(SecretServiceCredentialBackend::isAvailable());
    ScopedEnv noRuntime("XDG_RUNTIME_DIR", std::nullopt);
    EXPECT_FALSE(SecretServiceCredentialBackend::isAvailable());
}

TEST(FileCredentialBackend, KeepsItemsPrivateAndGroupsApart) {
    TempDir dir;
    auto path = dir.path() / "corvane" / "credentials.json";
    auto backend = std::make_shared<FileCredentialBackend>(path);
    KeychainTokenStore plain(std::nullopt, backend);
    KeychainTokenStore grouped(std::string("TEAM.com.corvane.shared"), backend);
    plain.save("a", "https://p");
    grouped.save("b", "https://p");
    EXPECT_EQ(plain.token("https://p"), "a");
    EXPECT_EQ(grouped.token("https://p"), "b");

    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat(path.parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(readFile(path).find("\"a\""), std::string::npos) << "values are not stored as plain JSON strings of the token";
    // Nothing half-written is left behind.
    for (const auto& entry : fs::directory_iterator(path.parent_path())) {
        EXPECT_NE(entry.path().filename().string().rfind(".tmp-", 0), 0u) << entry.path();
    }
}

TEST(FileCredentialBackend, DamagedDataIsReportedKeptBySavingAndGoneAfterClearing) {
    TempDir dir;
    auto path = dir.path() / "credentials.json";
    auto backend = std::make_shared<FileCredentialBackend>(path);
    KeychainTokenStore store(std::nullopt, backend);

    // Stored bytes that are not UTF-8.
    ASSERT_EQ(backend->add(urlItem, "\xff\xfe"), 0);
    EXPECT_EQ(backend->add(urlItem, "x"), CredentialStatus::duplicateItem);
    EXPECT_THROW(store.panelURL(), TokenStoreError);
    try {
        store.token("https://p");
        ADD_FAILURE();
    } catch (const TokenStoreError& e) {
        EXPECT_EQ(e, TokenStoreError::malformedData());
        EXPECT_EQ(e.description(), "keychain returned data that is not UTF-8");
    }

    // A file that is not ours to read is an error with a status, and is not overwritten until a save.
    writeFile(path, "{not json");
    try {
        store.panelURL();
        ADD_FAILURE();
    } catch (const TokenStoreError& e) {
        EXPECT_EQ(e, TokenStoreError::keychain(CredentialStatus::decode));
        EXPECT_EQ(e.description(), "keychain error -26275");
    }
    EXPECT_EQ(readFile(path), "{not json");
    store.save("t", "https://p");
    EXPECT_EQ(store.token("https://p"), "t");
    auto aside = path;
    aside += ".damaged";
    EXPECT_EQ(readFile(aside), "{not json");

    // Signing out of a damaged file succeeds and leaves nothing of it in the store,
    // neither the bytes that may still hold the token nor a way back in.
    const std::string damaged = R"({"com.corvane.client/panel_jwt": "dG9rZW4=", "com.corvane.client/panel_url": )";
    writeFile(path, damaged);
    EXPECT_NO_THROW(store.clear());
    EXPECT_FALSE(fs::exists(path) && readFile(path) == damaged);
    EXPECT_EQ(store.panelURL(), std::nullopt);
    EXPECT_EQ(store.token("https://p"), std::nullopt);
}

TEST(FileCredentialBackend, AFolderThatCannotBeMadeFailsWithAStatus) {
    TempDir dir;
    writeFile(dir / "blocker", "a file where the folder should be");
    KeychainTokenStore store(std::nullopt, std::make_shared<FileCredentialBackend>(dir / "blocker" / "credentials.json"));
    try {
        store.save("t", "https://p");
        ADD_FAILURE() << "saved";
    } catch (const TokenStoreError& e) {
        EXPECT_EQ(e, TokenStoreError::keychain(CredentialStatus::io));
    }
    EXPECT_EQ(store.panelURL(), std::nullopt);  // reading a store that cannot exist finds nothing
}

TEST(FileCredentialBackend, EveryFailureIsATokenStoreError) {
    TempDir dir;
    const auto locked = dir / "locked";
    fs::create_directories(locked / "corvane");
    KeychainTokenStore(std::nullopt, std::make_shared<FileCredentialBackend>(locked / "corvane" / "credentials.json"))
        .save("t", "https://p");
    fs::permissions(locked, fs::perms::none);

    // 0: a TokenStoreError with the permission status; 1: another status; 2: no error; 3: another exception.
    auto outcome = [&](const std::function<void(KeychainTokenStore&)>& operation) {
        return withoutPrivileges([&] {
            KeychainTokenStore store(std::nullopt,
                                     std::make_shared<FileCredentialBackend>(locked / "corvane" / "credentials.json"));
            try {
                operation(store);
            } catch (const TokenStoreError& e) {
                return e == TokenStoreError::keychain(CredentialStatus::writePermission) ? 0 : 1;
            } catch (...) {
                return 3;
            }
            return 2;
        });
    };
    EXPECT_EQ(outcome([](auto& s) { s.clear(); }), 0) << "clear";
    EXPECT_EQ(outcome([](auto& s) { s.save("u", "https://p"); }), 0) << "save";
    EXPECT_EQ(outcome([](auto& s) { s.token("https://p"); }), 0) << "token";
    EXPECT_EQ(outcome([](auto& s) { s.panelURL(); }), 0) << "panelURL";
    fs::permissions(locked, fs::perms::owner_all);
}

namespace {

// A real file store whose operations on one account fail with `status`: the
// store's rules about what a failure leaves behind can only be seen this way.
class FailingOneAccount final : public CredentialBackend {
public:
    FailingOneAccount(std::shared_ptr<CredentialBackend> inner, std::string account, std::int32_t status)
        : inner_(std::move(inner)), account_(std::move(account)), status_(status) {}
    bool failing = false;

    std::int32_t update(const CredentialQuery& q, std::string_view bytes) override {
        return fails(q) ? status_ : inner_->update(q, bytes);
    }
    std::int32_t add(const CredentialQuery& q, std::string_view bytes) override {
        return fails(q) ? status_ : inner_->add(q, bytes);
    }
    std::int32_t read(const CredentialQuery& q, std::string& bytes) override { return inner_->read(q, bytes); }
    std::int32_t remove(const CredentialQuery& q) override { return fails(q) ? status_ : inner_->remove(q); }
    std::string name() const override { return "failing"; }

private:
    bool fails(const CredentialQuery& q) const { return failing && q.account == account_; }
    std::shared_ptr<CredentialBackend> inner_;
    std::string account_;
    std::int32_t status_;
};

}  // namespace

TEST(KeychainTokenStore, AFailureLeavesTheOtherItemAsItWas) {
    TempDir dir;
    auto file = std::make_shared<FileCredentialBackend>(dir / "credentials.json");
    auto backend = std::make_shared<FailingOneAccount>(file, std::string(TokenStoreKeys::accountJWT),
                                                       CredentialStatus::interactionNotAllowed);
    KeychainTokenStore store(std::nullopt, backend);
    store.save("old", "https://old.example.com");
    backend->failing = true;

    // The token cannot be written: the address still names the panel of the old token.
    EXPECT_THROW(store.save("new", "https://new.example.com"), TokenStoreError);
    EXPECT_EQ(store.panelURL(), "https://old.example.com");
    EXPECT_EQ(store.token("https://old.example.com"), "old");

    // The token cannot be removed: clearing stops there and keeps the address.
    try {
        store.clear();
        ADD_FAILURE() << "cleared";
    } catch (const TokenStoreError& e) {
        EXPECT_EQ(e, TokenStoreError::keychain(CredentialStatus::interactionNotAllowed));
        EXPECT_EQ(e.description(), "keychain error -25308");
    }
    EXPECT_EQ(store.panelURL(), "https://old.example.com");
    backend->failing = false;
    store.clear();
    EXPECT_EQ(store.panelURL(), std::nullopt);
}
