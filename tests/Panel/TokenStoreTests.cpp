#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "CorvaneCore/Panel/TokenStore.hpp"
#include "tools/fleet/TempDir.hpp"

using namespace corvane;
using namespace corvane::fleet;

namespace {

// A D-Bus session of our own with GNOME Keyring's Secret Service on it, so the
// test never touches the user's keyring. Empty when the tools are missing.
class PrivateSecretService {
public:
    PrivateSecretService() {
        if (std::system("command -v dbus-daemon >/dev/null && command -v gnome-keyring-daemon >/dev/null") != 0) {
            reason_ = "dbus-daemon or gnome-keyring-daemon is not installed";
            return;
        }
        std::filesystem::create_directories(dir_ / "run");
        std::filesystem::permissions(dir_ / "run", std::filesystem::perms::owner_all);
        setenv("XDG_RUNTIME_DIR", (dir_ / "run").c_str(), 1);
        setenv("XDG_DATA_HOME", (dir_ / "data").c_str(), 1);
        setenv("HOME", dir_.path().c_str(), 1);
        FILE* p = popen("dbus-daemon --session --fork --nopidfile --print-address=1 --print-pid=1", "r");
        char address[512] = {0}, pid[32] = {0};
        if (!p || !fgets(address, sizeof address, p) || !fgets(pid, sizeof pid, p)) {
            if (p) pclose(p);
            reason_ = "cannot start a private D-Bus session";
            return;
        }
        pclose(p);
        address[strcspn(address, "\n")] = 0;
        busPid_ = std::atoi(pid);
        setenv("DBUS_SESSION_BUS_ADDRESS", address, 1);
        // A password on standard input creates and unlocks the login keyring without a prompt.
        if (std::system("printf 'corvane-test' | gnome-keyring-daemon --replace --unlock --components=secrets --daemonize"
                        " >/dev/null 2>&1") != 0) {
            reason_ = "gnome-keyring-daemon did not start";
            return;
        }
        if (!SecretServiceCredentialBackend::isAvailable()) reason_ = "the private Secret Service does not answer";
    }
    ~PrivateSecretService() {
        std::system("pkill -u $(id -u) -f 'gnome-keyring-daemon --replace --unlock --components=secrets' >/dev/null 2>&1");
        if (busPid_ > 0) kill(busPid_, SIGTERM);
    }
    const std::string& unavailableReason() const { return reason_; }

private:
    TempDir dir_;
    pid_t busPid_ = 0;
    std::string reason_;
};

// The same behaviour is asked of every store.
enum class Kind { memory, file, secretService };

class TokenStoreTest : public ::testing::TestWithParam<Kind> {
protected:
    void SetUp() override {
        switch (GetParam()) {
        case Kind::memory: store = std::make_unique<InMemoryTokenStore>(); break;
        case Kind::file: store = std::make_unique<KeychainTokenStore>(std::nullopt, fileBackend()); break;
        case Kind::secretService:
            service = std::make_unique<PrivateSecretService>();
            if (!service->unavailableReason().empty()) GTEST_SKIP() << "Secret Service test skipped: " << service->unavailableReason();
            store = std::make_unique<KeychainTokenStore>(std::nullopt, std::make_shared<SecretServiceCredentialBackend>());
            break;
        }
    }
    std::shared_ptr<FileCredentialBackend> fileBackend() {
        return std::make_shared<FileCredentialBackend>(dir.path() / "corvane" / "credentials.json");
    }

    TempDir dir;
    std::unique_ptr<PrivateSecretService> service;
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

    store->clear();
    EXPECT_EQ(store->panelURL(), std::nullopt);
    EXPECT_EQ(store->token("https://other.example.com"), std::nullopt);
    store->clear();  // clearing an empty store is fine
}

INSTANTIATE_TEST_SUITE_P(Stores, TokenStoreTest, ::testing::Values(Kind::memory, Kind::file, Kind::secretService),
                         [](const auto& info) {
                             switch (info.param) {
                             case Kind::memory: return std::string("InMemory");
                             case Kind::file: return std::string("File");
                             default: return std::string("SecretService");
                             }
                         });

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
    for (const auto& entry : std::filesystem::directory_iterator(path.parent_path())) {
        EXPECT_NE(entry.path().filename().string().rfind(".tmp-", 0), 0u) << entry.path();
    }
}

TEST(FileCredentialBackend, DamagedDataIsReportedAndKept) {
    TempDir dir;
    auto path = dir.path() / "credentials.json";
    auto backend = std::make_shared<FileCredentialBackend>(path);
    KeychainTokenStore store(std::nullopt, backend);

    // Stored bytes that are not UTF-8.
    ASSERT_EQ(backend->add({TokenStoreKeys::service, TokenStoreKeys::accountPanelURL, std::nullopt}, "\xff\xfe"), 0);
    EXPECT_EQ(backend->add({TokenStoreKeys::service, TokenStoreKeys::accountPanelURL, std::nullopt}, "x"),
              CredentialStatus::duplicateItem);
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
