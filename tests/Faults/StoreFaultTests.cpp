// SPDX-License-Identifier: GPL-3.0-or-later
// The stores that keep the user's state on disk (settings, the panel token, the
// diagnostic queue, the tunnel service's profiles) under the faults a real
// machine throws at them: a full disk, a writer killed mid-write, a writer
// stopped while it holds the lock.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include "Corvane/Platform/FileSettingsStore.hpp"
#include "CorvaneCore/Diagnostics/DiagnosticQueue.hpp"
#include "CorvaneCore/Panel/CredentialBackend.hpp"
#include "CorvaneCore/Panel/TokenStore.hpp"
#include "CorvaneTunnel/ProfileStore.hpp"
#include "tools/fleet/TempDir.hpp"

using namespace corvane;
using namespace corvane::fleet;
namespace fs = std::filesystem;

namespace {

// Version `n` of a stored value: long enough that a write takes a while, and
// recognisable as whole.
std::string payload(int n, std::size_t size) {
    std::string text = "v" + std::to_string(n) + ":";
    text.append(size - std::min(size, text.size()), static_cast<char>('a' + n % 26));
    return text;
}

// The version a payload holds; throws when it is not a whole one.
int versionOf(const std::string& text, std::size_t size) {
    const auto colon = text.find(':');
    if (!text.starts_with("v") || colon == std::string::npos) throw std::runtime_error("not a stored value: " + text.substr(0, 40));
    const int n = std::stoi(text.substr(1, colon - 1));
    if (text != payload(n, size)) throw std::runtime_error("version " + std::to_string(n) + " is not whole");
    return n;
}

// One store as the programs use it. `open` starts it in `dir` as a program does
// and returns a writer of version n (throwing what the store throws);
// `versions` starts it again and reads back every version kept, throwing when
// anything kept is damaged.
struct Store {
    const char* name;
    std::size_t size;  // of one stored value
    std::function<std::function<void(int)>(const fs::path& dir, std::size_t size)> open;
    std::function<std::vector<int>(const fs::path& dir, std::size_t size)> versions;
};

constexpr const char* panelURL = "https://panel.example.test";

std::vector<Store> stores() {
    return {
        {"settings", 256 * 1024,
         [](const fs::path& dir, std::size_t size) -> std::function<void(int)> {
             auto store = std::make_shared<FileSettingsStore>(dir / "corvane" / "settings.json");
             return [store, size](int n) { store->update([&](boost::json::object& o) { o["note"] = payload(n, size); }); };
         },
         [](const fs::path& dir, std::size_t size) -> std::vector<int> {
             const auto values = FileSettingsStore(dir / "corvane" / "settings.json").values();
             if (fs::exists(dir / "corvane" / "settings.json.damaged")) throw std::runtime_error("the file was set aside as damaged");
             if (!values.contains("note")) return {};
             return {versionOf(std::string(values.at("note").as_string()), size)};
         }},
        {"token", 256 * 1024,
         [](const fs::path& dir, std::size_t size) -> std::function<void(int)> {
             auto store = std::make_shared<KeychainTokenStore>(
                 std::nullopt, std::make_shared<FileCredentialBackend>(dir / "corvane" / "credentials.json"));
             return [store, size](int n) { store->save(payload(n, size), panelURL); };
         },
         [](const fs::path& dir, std::size_t size) -> std::vector<int> {
             KeychainTokenStore store(std::nullopt, std::make_shared<FileCredentialBackend>(dir / "corvane" / "credentials.json"));
             const auto token = store.token(panelURL);  // throws when the file is damaged
             if (!token) return {};
             return {versionOf(*token, size)};
         }},
        {"report", 256 * 1024,
         [](const fs::path& dir, std::size_t size) -> std::function<void(int)> {
             auto queue = std::make_shared<DiagnosticQueue>(dir / "queue");
             return [queue, size](int n) {
                 DiagnosticReport report;
                 report.triggerReason = "manual";
                 report.userDescription = payload(n, size);
                 queue->enqueue(std::move(report), true);
             };
         },
         [](const fs::path& dir, std::size_t size) -> std::vector<int> {
             DiagnosticQueue queue(dir / "queue");
             std::vector<int> kept;
             for (const auto& file : queue.queuedFiles()) {
                 const auto bundle = decodeJSON<QueuedBundle>(std::string_view(readFile(file)));
                 kept.push_back(versionOf(bundle.report.userDescription.value_or(""), size));
             }
             return kept;
         }},
        {"profile", TunnelServiceEndpoint::maxProfileFieldBytes,
         [](const fs::path& dir, std::size_t size) -> std::function<void(int)> {
             auto store = std::make_shared<ProfileStore>(dir / "tunnel" / "profiles.json");
             return [store, size](int n) {
                 store->save(TunnelProfile{"", "com.corvane.client.tunnel", "127.0.0.1", payload(n, size), true});
             };
         },
         [](const fs::path& dir, std::size_t size) -> std::vector<int> {
             ProfileStore store(dir / "tunnel" / "profiles.json");
             if (store.damagedCopy()) throw std::runtime_error("the file was set aside as damaged");
             std::vector<int> kept;
             for (const auto& profile : store.all()) kept.push_back(versionOf(profile.localizedDescription, size));
             return kept;
         }},
    };
}

// Every file under `dir` but `except`, by path, with its contents.
std::map<fs::path, std::string> snapshot(const fs::path& dir, const fs::path& except = {}) {
    std::map<fs::path, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file() && entry.path() != except) files[entry.path()] = readFile(entry.path());
    }
    return files;
}

std::size_t leftovers(const fs::path& dir) {
    std::size_t count = 0;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (entry.path().filename().string().starts_with(".tmp-")) ++count;
    }
    return count;
}

std::string join(const std::vector<int>& versions) {
    std::string text;
    for (int v : versions) text += (text.empty() ? "" : ",") + std::to_string(v);
    return "[" + text + "]";
}

// Runs `body` in a child process and returns what it returned (empty: all
// held), so that a child's findings show in the test's output. A child that
// has not ended within `limit` counts as hung.
std::string inChild(const std::function<std::string()>& body, unsigned limit = 30) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return "no pipe";
    const pid_t pid = ::fork();
    if (pid < 0) return "no child";
    if (pid == 0) {
        ::close(fds[0]);
        ::alarm(limit);
        std::string report;
        try {
            report = body();
        } catch (const std::exception& e) {
            report = std::string("threw: ") + e.what();
        }
        for (std::size_t done = 0; done < report.size();) {
            const ssize_t n = ::write(fds[1], report.data() + done, report.size() - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
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
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) return report + " (hung: still running after " + std::to_string(limit) + " s)";
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) report += " (the child ended abnormally)";
    return report;
}

void PrintTo(const Store& store, std::ostream* out) { *out << store.name; }

class StoreFaults : public ::testing::TestWithParam<Store> {};

std::string storeName(const ::testing::TestParamInfo<Store>& info) { return info.param.name; }

}  // namespace

// A full disk (a small file system of the test's own, in a mount namespace of a
// child, filled up): the write fails with the reason, every file is as it was
// and no temporary file is left; once there is room again, writes go through.
TEST_P(StoreFaults, AFullDiskFailsTheWriteAndLosesNothing) {
    const Store& store = GetParam();
    TempDir dir;
    const fs::path small = dir / "small";
    fs::create_directories(small);
    const std::string report = inChild([&]() -> std::string {
        if (::unshare(CLONE_NEWNS) != 0) return "skip: no mount namespace here (needs root or CAP_SYS_ADMIN)";
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("corvane-faults", small.c_str(), "tmpfs", 0, "size=1m") != 0) {
            return "skip: a small file system cannot be mounted here";
        }
        auto write = store.open(small, store.size);
        write(1);
        const auto before = snapshot(small);
        const fs::path filler = small / "filler";
        {
            const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
            const std::string block(4096, 'x');
            while (::write(fd, block.data(), block.size()) > 0) {
            }
            ::close(fd);
        }
        try {
            write(2);
            return "the write on a full disk did not fail";
        } catch (const std::exception& e) {
            const std::string why = e.what();
            // The token store reports its backend's status: -36 is "the file could not be written".
            if (why.find("No space left on device") == std::string::npos && why != "keychain error -36") {
                return "failed with \"" + why + "\", which does not say the disk is full";
            }
        }
        if (snapshot(small, filler) != before) return "the files changed (or a temporary file was left)";
        if (const auto kept = store.versions(small, store.size); kept != std::vector<int>{1}) {
            return "read back " + join(kept) + " after the failed write, not [1]";
        }
        fs::remove(filler);
        write(3);
        if (const auto kept = store.versions(small, store.size); std::find(kept.begin(), kept.end(), 3) == kept.end()) {
            return "read back " + join(kept) + " once there was room, without the last write";
        }
        return {};
    });
    if (report.starts_with("skip: ")) GTEST_SKIP() << report.substr(6);
    EXPECT_EQ(report, "");
}

// A writer killed (SIGKILL) at random points of writing in a loop: what a start
// reads afterwards is always a whole version, never a damaged file, and the
// temporary files the killed writers left are gone after that start.
TEST_P(StoreFaults, AWriterKilledMidWriteLeavesAWholeFileAndTheNextStartCleansUp) {
    const Store& store = GetParam();
    TempDir dir;
    std::mt19937 random(std::random_device{}());
    std::size_t killedMidWrite = 0;  // kills that left a temporary file
    int round = 0;
    for (; round < 80 && killedMidWrite < 4; ++round) {
        const pid_t writer = ::fork();
        ASSERT_GE(writer, 0);
        if (writer == 0) {
            try {
                auto write = store.open(dir.path(), store.size);
                for (int n = round * 100000 + 1;; ++n) write(n);
            } catch (...) {
            }
            ::_exit(1);
        }
        ::usleep(std::uniform_int_distribution<useconds_t>(2000, 40000)(random));
        ::kill(writer, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(writer, &status, 0), writer);
        ASSERT_TRUE(WIFSIGNALED(status)) << store.name << ": the writer failed before it was killed";
        if (leftovers(dir.path()) > 0) ++killedMidWrite;
        std::vector<int> kept;
        try {
            kept = store.versions(dir.path(), store.size);
        } catch (const std::exception& e) {
            FAIL() << store.name << ": after kill " << round + 1 << " the store reads back damaged: " << e.what();
        }
        EXPECT_EQ(leftovers(dir.path()), 0u) << store.name << ": a start left the killed writer's temporary files";
        for (int v : kept) EXPECT_LE(v / 100000, round) << store.name << ": version " << v << " was never written";
    }
    // Otherwise every kill fell between writes, and the cleaning went untried.
    EXPECT_GT(killedMidWrite, 0u) << store.name << ": no kill in " << round << " landed mid-write";
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreFaults, ::testing::ValuesIn(stores()), storeName);

// A process stopped (SIGSTOP, as by a debugger or a suspended terminal job)
// while it holds a store's lock: another writer does not hang but fails after
// its wait with a clear error, reading goes on, and once the holder is gone the
// write goes through.
TEST(StoppedLockHolder, OthersFailTheirChangeInTimeAndStillRead) {
    struct Case {
        const char* name;
        std::function<void(const fs::path& dir)> holdAndStop;  // in a child: take the lock, then stop
        std::function<void(const fs::path& dir, int n)> change;   // another process's change, with a short wait
        std::function<std::string(const fs::path& dir)> read;
        std::string expectedError;
    };
    const auto settingsFile = [](const fs::path& dir) { return dir / "corvane" / "settings.json"; };
    const auto tokenStore = [](const fs::path& dir) {
        return KeychainTokenStore(std::nullopt, std::make_shared<FileCredentialBackend>(dir / "corvane" / "credentials.json",
                                                                                         std::chrono::milliseconds(300)));
    };
    const std::vector<Case> cases = {
        // The settings' own writer, stopped in the middle of its change.
        {"settings",
         [&](const fs::path& dir) {
             FileSettingsStore(settingsFile(dir)).update([](boost::json::object& o) {
                 ::raise(SIGSTOP);
                 o["note"] = "from the stopped writer";
             });
         },
         [&](const fs::path& dir, int n) { FileSettingsStore(settingsFile(dir), std::chrono::milliseconds(300)).set("note", boost::json::string(payload(n, 16))); },
         [&](const fs::path& dir) { return std::string(FileSettingsStore(settingsFile(dir)).values().at("note").as_string()); },
         ""},
        // The token file's lock, taken as its writer takes it.
        {"token",
         [&](const fs::path& dir) {
             const int fd = ::open((dir / "corvane" / "credentials.json.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
             if (fd < 0 || ::flock(fd, LOCK_EX) != 0) ::_exit(1);
             ::raise(SIGSTOP);
         },
         [&](const fs::path& dir, int n) { tokenStore(dir).save(payload(n, 16), panelURL); },
         [&](const fs::path& dir) { return tokenStore(dir).token(panelURL).value_or("(none)"); },
         "keychain error -25308"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        c.change(dir.path(), 1);
        const pid_t holder = ::fork();
        ASSERT_GE(holder, 0);
        if (holder == 0) {
            c.holdAndStop(dir.path());
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(holder, &status, WUNTRACED), holder);
        ASSERT_TRUE(WIFSTOPPED(status)) << "the holder ended before it stopped";

        const std::string report = inChild([&]() -> std::string {
            try {
                c.change(dir.path(), 2);
                return "the change went through while another process held the lock";
            } catch (const std::exception& e) {
                const std::string why = e.what();
                if (!c.expectedError.empty() ? why != c.expectedError
                                             : why.find("another process has held it locked") == std::string::npos) {
                    return "failed with \"" + why + "\"";
                }
            }
            if (c.read(dir.path()) != payload(1, 16)) return "reading did not give the value before";
            return {};
        }, 20);
        EXPECT_EQ(report, "");

        ::kill(holder, SIGKILL);
        ASSERT_EQ(::waitpid(holder, &status, 0), holder);
        c.change(dir.path(), 3);
        EXPECT_EQ(c.read(dir.path()), payload(3, 16));
    }
}
