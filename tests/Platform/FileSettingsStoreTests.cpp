// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/json/array.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

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

// Runs `body` in a child process; what it returns (empty: all held) comes back
// through a pipe, so that a child's failure shows in the test's output.
std::string inChild(const std::function<std::string()>& body) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return "no pipe";
    const pid_t pid = ::fork();
    if (pid < 0) return "no child";
    if (pid == 0) {
        ::close(fds[0]);
        std::string report;
        try {
            report = body();
        } catch (const std::exception& e) {
            report = std::string("threw: ") + e.what();
        }
        const char* p = report.data();
        for (std::size_t left = report.size(); left > 0;) {
            const ssize_t n = ::write(fds[1], p, left);
            if (n <= 0) break;
            p += n;
            left -= static_cast<std::size_t>(n);
        }
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string report;
    char chunk[512];
    for (ssize_t n; (n = ::read(fds[0], chunk, sizeof chunk)) > 0;) report.append(chunk, static_cast<std::size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) report += " (the child ended abnormally)";
    return report;
}

// What a write that must fail did: empty when it threw SettingsWriteError naming the
// file and with `reason`, and the stored values still read as `before`.
std::string failedWrite(FileSettingsStore& store, const std::string& reason, const boost::json::object& before) {
    try {
        store.set("smart_routing", false);
        return "the write did not fail";
    } catch (const SettingsWriteError& e) {
        const std::string expected = "Could not save settings to " + store.path().string() + ": " + reason;
        if (e.what() != expected) return std::string("said \"") + e.what() + "\", not \"" + expected + "\"";
    }
    if (store.values() != before) return "the stored values changed to " + boost::json::serialize(store.values());
    return {};
}

std::vector<std::string> leftovers(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename().string().starts_with(".tmp-")) names.push_back(entry.path().filename().string());
    }
    return names;
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

// Each process sets keys of its own and adds to one shared list, read and written
// as one step: nothing either of them wrote is lost.
TEST(FileSettingsStore, TwoProcessesChangingAtOnceKeepEachOthersChanges) {
    TempDir dir;
    const fs::path file = dir / "settings.json";
    constexpr int changesPerProcess = 150;
    std::vector<pid_t> children;
    for (char writer : {'a', 'b'}) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            FileSettingsStore store(file);
            for (int i = 0; i < changesPerProcess; ++i) {
                store.set(keyOf(writer, i), i);
                store.update([&](boost::json::object& values) {
                    auto& list = values["shared"];
                    if (!list.is_array()) list = boost::json::array();
                    list.as_array().emplace_back(keyOf(writer, i));
                });
            }
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
    EXPECT_EQ(values.size(), 2u * changesPerProcess + 1);
    std::set<std::string> shared;
    for (const auto& element : values.at("shared").as_array()) shared.emplace(element.as_string());
    EXPECT_EQ(shared.size(), 2u * changesPerProcess);
    for (char writer : {'a', 'b'}) {
        for (int i = 0; i < changesPerProcess; ++i) {
            auto key = keyOf(writer, i);
            ASSERT_TRUE(values.contains(key)) << key;
            EXPECT_EQ(values.at(key).as_int64(), i);
            EXPECT_TRUE(shared.contains(key)) << key;
        }
    }
}

// A change that cannot be written is thrown, naming the file and why, and what was
// stored stays as it was: the file is a folder, or the folder is not the user's.
TEST(FileSettingsStore, AWriteThatFailsSaysWhyAndKeepsWhatWasStored) {
    TempDir dir;
    const fs::path folder = dir / "corvane";
    {
        SCOPED_TRACE("the file is a folder");
        const fs::path file = folder / "settings.json";
        fs::create_directories(file);
        writeFile(file / "inside", "kept");
        FileSettingsStore store(file);
        EXPECT_EQ(failedWrite(store, "Is a directory", {}), "");
        EXPECT_EQ(readFile(file / "inside"), "kept");
        EXPECT_TRUE(leftovers(folder).empty());
        fs::remove_all(file);
    }
    {
        SCOPED_TRACE("the folder is another user's");
        if (::geteuid() != 0) GTEST_SKIP() << "a folder of another user needs root to make";
        // Left behind by something run as root: the folder is root's, the files are the user's (nobody's).
        const fs::path file = folder / "settings.json";
        FileSettingsStore(file).set("lan_share", true);
        const std::string before = readFile(file);
        fs::permissions(folder, fs::perms(0755));
        for (const fs::path& p : {dir.path(), file, fs::path(file.string() + ".lock")}) {
            ASSERT_EQ(::chown(p.c_str(), 65534, 65534), 0) << p;
        }
        const std::string report = inChild([&]() -> std::string {
            if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) {
                return "could not become nobody";
            }
            FileSettingsStore store(file);
            return failedWrite(store, "Permission denied", boost::json::parse(before).as_object());
        });
        EXPECT_EQ(report, "");
        EXPECT_EQ(readFile(file), before);
        EXPECT_TRUE(leftovers(folder).empty());
    }
}

// A full disk: a small file system of its own, filled up, in a mount namespace of a child.
TEST(FileSettingsStore, AFullDiskFailsTheWriteAndKeepsTheFile) {
    TempDir dir;
    const fs::path mountPoint = dir / "small";
    fs::create_directories(mountPoint);
    const fs::path file = mountPoint / "corvane" / "settings.json";
    const std::string report = inChild([&]() -> std::string {
        if (::geteuid() != 0) {
            const uid_t uid = ::geteuid();
            const gid_t gid = ::getegid();
            if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return "skip: no user and mount namespaces here";
            writeFile("/proc/self/setgroups", "deny");
            writeFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
            writeFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
        } else if (::unshare(CLONE_NEWNS) != 0) {
            return "skip: no mount namespace here";
        }
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("corvane-test", mountPoint.c_str(), "tmpfs", 0, "size=256k") != 0) {
            return "skip: a small file system cannot be mounted here";
        }
        FileSettingsStore store(file);
        store.set("lan_share", true);
        const std::string before = readFile(file);
        // Fill what is left.
        {
            const int fd = ::open((mountPoint / "filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
            const std::string block(4096, 'x');
            while (::write(fd, block.data(), block.size()) > 0) {
            }
            ::close(fd);
        }
        std::string failed = failedWrite(store, "No space left on device", boost::json::parse(before).as_object());
        if (!failed.empty()) return failed;
        if (readFile(file) != before) return "the file changed";
        if (!leftovers(file.parent_path()).empty()) return "a temporary file was left";
        // Room again: the next change is written.
        fs::remove(mountPoint / "filler");
        store.set("smart_routing", false);
        if (store.values().size() != 2) return "the change after the disk had room was not written";
        return {};
    });
    if (report.starts_with("skip: ")) GTEST_SKIP() << report.substr(6);
    EXPECT_EQ(report, "");
}

// Another process holding the lock (stuck, or stopped in a debugger) makes a change
// fail after the wait, naming the file; reading does not wait for it at all.
TEST(FileSettingsStore, ALockHeldTooLongFailsTheChangeButNotTheRead) {
    TempDir dir;
    const fs::path file = dir / "settings.json";
    FileSettingsStore store(file, std::chrono::milliseconds(300));
    store.set("lan_share", true);

    int locked[2], release[2];
    ASSERT_EQ(::pipe2(locked, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(release, O_CLOEXEC), 0);
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        ::close(release[1]);
        ::close(locked[0]);
        const int fd = ::open((file.string() + ".lock").c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0 || ::flock(fd, LOCK_EX) != 0) ::_exit(1);
        char c = 'L';
        if (::write(locked[1], &c, 1) != 1) ::_exit(1);
        [[maybe_unused]] ssize_t done = ::read(release[0], &c, 1);  // until the test closes its end
        ::_exit(0);
    }
    ::close(locked[1]);
    ::close(release[0]);
    char c = 0;
    ASSERT_EQ(::read(locked[0], &c, 1), 1);

    EXPECT_EQ(store.values().at("lan_share"), true);
    try {
        store.set("smart_routing", false);
        ADD_FAILURE() << "the change did not fail";
    } catch (const SettingsWriteError& e) {
        EXPECT_EQ(std::string(e.what()), "Could not save settings to " + file.string() +
                                             ": another process has held it locked for more than 300 ms");
    }
    EXPECT_EQ(store.values(), boost::json::parse(R"({"lan_share": true})").as_object());

    ::close(release[1]);
    int status = 0;
    ASSERT_EQ(::waitpid(holder, &status, 0), holder);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ::close(locked[0]);
    store.set("smart_routing", false);
    EXPECT_EQ(store.values().size(), 2u);
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
