#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/json/parse.hpp>

#include "Corvane/Platform/FileSettingsStore.hpp"
#include "tools/fleet/TempDir.hpp"

using namespace corvane;
using namespace corvane::fleet;
namespace fs = std::filesystem;

namespace {

std::string keyOf(char writer, int i) {
    std::string key(1, writer);
    key += std::to_string(i);
    return key;
}

}  // namespace

TEST(FileSettingsStore, MissingDamagedAndWrittenFiles) {
    TempDir dir;
    const fs::path file = dir / "corvane" / "settings.json";
    FileSettingsStore store(file);

    // Missing: everything absent, and removing a key writes nothing.
    EXPECT_TRUE(store.values().empty());
    store.remove("pin_pref");
    EXPECT_FALSE(fs::exists(file));

    // Written: only the owner can read it, and the folder is the owner's too.
    store.set("lan_share", true);
    store.set("selected_exit_id", std::int64_t{1} << 60);
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(file.parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    auto values = store.values();
    EXPECT_EQ(values.at("selected_exit_id").as_int64(), std::int64_t{1} << 60);
    store.remove("lan_share");
    EXPECT_FALSE(store.values().contains("lan_share"));
    for (const auto& entry : fs::directory_iterator(file.parent_path())) {
        EXPECT_FALSE(entry.path().filename().string().starts_with(".tmp-")) << entry.path();
    }

    // Damaged twice: both damaged files are kept, each reads as empty and is then replaced by a good one.
    for (const std::string& damage : {std::string("{\"lan_share\": tru"), std::string("[1, 2]")}) {
        writeFile(file, damage);
        EXPECT_TRUE(store.values().empty());
        EXPECT_FALSE(fs::exists(file));
    }
    EXPECT_EQ(readFile(file.string() + ".damaged"), "{\"lan_share\": tru");
    EXPECT_EQ(readFile(file.string() + ".damaged.1"), "[1, 2]");
    writeFile(file, "not json");
    store.set("smart_routing", false);
    EXPECT_EQ(store.values().size(), 1u);
    EXPECT_EQ(readFile(file.string() + ".damaged.2"), "not json");
}

TEST(FileSettingsStore, TwoProcessesWritingAtOnceKeepEachOthersKeys) {
    TempDir dir;
    const fs::path file = dir / "settings.json";
    constexpr int keysPerProcess = 150;
    std::vector<pid_t> children;
    for (char writer : {'a', 'b'}) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            FileSettingsStore store(file);
            for (int i = 0; i < keysPerProcess; ++i) store.set(keyOf(writer, i), i);
            ::_exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    auto values = FileSettingsStore(file).values();
    EXPECT_EQ(values.size(), 2u * keysPerProcess);
    for (char writer : {'a', 'b'}) {
        for (int i = 0; i < keysPerProcess; ++i) {
            auto key = keyOf(writer, i);
            ASSERT_TRUE(values.contains(key)) << key;
            EXPECT_EQ(values.at(key).as_int64(), i);
        }
    }
}

// Another process's change is told once per burst, after it settled; other files
// in the folder and a store that was dropped tell nothing.
TEST(FileSettingsStore, ChangesByAnotherProcessAreToldOncePerBurst) {
    TempDir dir;
    const fs::path file = dir / "corvane" / "settings.json";
    FileSettingsStore store(file);
    boost::asio::io_context io;
    int told = 0;
    auto watch = store.observeChanges(io.get_executor(), [&] { ++told; });
    ASSERT_NE(watch, nullptr);
    auto runFor = [&](std::chrono::milliseconds span) {
        io.run_for(span);
        io.restart();
    };

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        FileSettingsStore other(file);
        for (int i = 0; i < 5; ++i) other.set("smart_routing", i % 2 == 0);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    runFor(std::chrono::milliseconds(400));
    EXPECT_EQ(told, 1);
    EXPECT_EQ(store.values().at("smart_routing"), true);

    writeFile(dir / "corvane" / "other.json", "{}");
    runFor(std::chrono::milliseconds(300));
    EXPECT_EQ(told, 1) << "another file of the folder";

    fs::remove(file);
    runFor(std::chrono::milliseconds(300));
    EXPECT_EQ(told, 2) << "a removed file reads as empty settings";

    watch.reset();
    store.set("lan_share", true);
    runFor(std::chrono::milliseconds(300));
    EXPECT_EQ(told, 2) << "nothing once the observation ended";
}
