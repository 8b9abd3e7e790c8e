// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "CorvaneTunnel/ProfileStore.hpp"
#include "tools/fleet/TempDir.hpp"

using namespace corvane;
using namespace corvane::fleet;

TEST(ProfileStore, SavesReloadsAndRemoves) {
    TempDir dir;
    const auto file = dir.path() / "state" / "profiles.json";
    TunnelProfile saved;
    {
        ProfileStore store(file);
        saved = store.save(TunnelProfile{.providerBundleIdentifier = "com.corvane.client.tunnel", .serverAddress = "panel",
                                         .localizedDescription = "Corvane", .enabled = true});
        EXPECT_FALSE(saved.identifier.empty());
        saved.serverAddress = "panel.example.com";
        EXPECT_EQ(store.save(saved), saved);  // same identifier: replaced, not added
    }
    ProfileStore reloaded(file);
    EXPECT_EQ(reloaded.all(), std::vector<TunnelProfile>{saved});
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(reloaded.remove(saved.identifier));
    EXPECT_FALSE(reloaded.remove(saved.identifier));
    EXPECT_TRUE(ProfileStore(file).all().empty());
}

TEST(ProfileStore, ADamagedFileIsKeptAsideAndTheStoreStartsEmpty) {
    for (const char* damaged : {"not json at all", R"({"profiles":5})", R"({"profiles":[{"identifier":7}]})", "[]"}) {
        TempDir dir;
        const auto file = dir.path() / "profiles.json";
        writeFile(file, damaged);
        ProfileStore store(file);
        EXPECT_TRUE(store.all().empty()) << damaged;
        EXPECT_EQ(readFile(dir.path() / "profiles.json.damaged"), damaged) << "nothing is lost";
        EXPECT_EQ(store.damagedCopy(), dir.path() / "profiles.json.damaged");
        store.save(TunnelProfile{.serverAddress = "panel"});
        EXPECT_EQ(ProfileStore(file).all().size(), 1u) << damaged;
    }
}

TEST(ProfileStore, AFailedWriteChangesNothing) {
    TempDir dir;
    const auto folder = dir.path() / "state";
    const auto file = folder / "profiles.json";
    ProfileStore store(file);
    auto kept = store.save(TunnelProfile{.serverAddress = "panel"});
    // A file where the folder should be: no write can succeed, not even root's.
    std::filesystem::rename(folder, dir.path() / "moved");
    writeFile(folder, "in the way");
    EXPECT_THROW(store.save(TunnelProfile{.serverAddress = "other"}), std::exception);
    EXPECT_THROW(store.remove(kept.identifier), std::exception);
    EXPECT_EQ(store.all(), std::vector<TunnelProfile>{kept});
    std::filesystem::remove(folder);
    std::filesystem::rename(dir.path() / "moved", folder);
    EXPECT_EQ(ProfileStore(file).all(), std::vector<TunnelProfile>{kept});
}
