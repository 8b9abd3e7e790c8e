// SPDX-License-Identifier: GPL-3.0-or-later
// corvane-tunnel as a program on the machine: where it keeps its state, which
// engine it runs, and what its installation holds.
#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>

#include "CorvaneCore/Support/XDGPaths.hpp"
#include "tools/fleet/ChildProcess.hpp"
#include "tools/fleet/Engine.hpp"
#include "TestSupport/ScopedEnv.hpp"
#include "tools/fleet/TempDir.hpp"

using namespace corvane;
using namespace corvane::testing;
using namespace corvane::fleet;

namespace {

// corvane-tunnel --user with `arguments`, run until it ends by itself (it does when it refuses to start).
ProcessResult runService(std::vector<std::string> prefix, const std::vector<std::string>& arguments) {
    prefix.push_back(CORVANE_TUNNEL_PATH);
    prefix.push_back("--user");
    prefix.insert(prefix.end(), arguments.begin(), arguments.end());
    // A service that did start is stopped by the time limit: that counts as not refused.
    prefix.insert(prefix.begin(), {"timeout", "5"});
    return runProcess(prefix);
}

}  // namespace

TEST(ServiceProgram, AStateFolderThatIsNotTheServicesOwnIsRefused) {
    TempDir dir;
    const auto state = dir.path() / "state";
    std::filesystem::create_directories(state);
    std::filesystem::permissions(state, std::filesystem::perms(0777));
    ProcessResult open = runService({}, {"--socket", (dir.path() / "a.sock").string(), "--state-dir", state.string()});
    EXPECT_EQ(open.exitStatus, 1) << open.err;
    EXPECT_NE(open.err.find("others may write to the state folder " + state.string()), std::string::npos) << open.err;

    if (::geteuid() != 0) GTEST_SKIP() << "a folder of another user needs root to make";
    std::filesystem::permissions(state, std::filesystem::perms(0700));
    ASSERT_EQ(::chown(state.c_str(), 65534, 65534), 0);
    ProcessResult foreign = runService({}, {"--socket", (dir.path() / "b.sock").string(), "--state-dir", state.string()});
    EXPECT_EQ(foreign.exitStatus, 1) << foreign.err;
    EXPECT_NE(foreign.err.find("the state folder " + state.string() + " belongs to another user (uid 65534)"), std::string::npos)
        << foreign.err;
}

TEST(ServiceProgram, ASocketPathThatHoldsSomethingElseIsLeftAlone) {
    TempDir dir;
    const auto file = dir.path() / "notes.txt", folder = dir.path() / "folder", link = dir.path() / "link";
    std::filesystem::create_directories(folder);
    std::ofstream(file) << "keep me";
    std::filesystem::create_symlink(file, link);
    for (const auto& path : {file, folder, link}) {
        ProcessResult refused = runService({}, {"--socket", path.string(), "--state-dir", (dir.path() / "state").string()});
        EXPECT_EQ(refused.exitStatus, 1) << refused.err;
        EXPECT_NE(refused.err.find(path.string() + " exists and is not a socket"), std::string::npos) << refused.err;
    }
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    std::ifstream kept(file);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "keep me");
}

TEST(ServiceProgram, WithoutHOMETheStateLivesInTheAccountsHome) {
    std::filesystem::path found;
    {
        ScopedEnv home("HOME", std::nullopt), state("XDG_STATE_HOME", std::nullopt);
        found = xdgStateHome();
    }
    const passwd* account = ::getpwuid(::getuid());
    ASSERT_NE(account, nullptr);
    EXPECT_EQ(found, std::filesystem::path(account->pw_dir) / ".local" / "state");

    // The service itself, as an account whose home it cannot write to (nobody's is /nonexistent).
    if (::geteuid() != 0) GTEST_SKIP() << "acting as another account needs root";
    const passwd* nobody = ::getpwuid(65534);
    if (!nobody || ::access(nobody->pw_dir, F_OK) == 0) GTEST_SKIP() << "nobody has a home here";
    TempDir dir;
    std::filesystem::permissions(dir.path(), std::filesystem::perms(0777));
    ProcessResult result = runService({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "env", "-u", "HOME", "-u",
                                       "XDG_STATE_HOME"},
                                      {"--socket", (dir.path() / "s.sock").string()});
    EXPECT_EQ(result.exitStatus, 1) << result.err;
    EXPECT_NE(result.err.find(std::string(nobody->pw_dir) + "/.local/state/corvane/tunnel"), std::string::npos) << result.err;
}

// One installation for the suite (below a prefix of its own), as `cmake --install --prefix` makes it.
class Installation : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        ProcessResult install = runProcess({"cmake", "--install", CORVANE_BINARY_DIR, "--prefix", prefix().string()});
        if (install.exitStatus != 0) failure_ = new std::string(install.out + install.err);
    }
    static void TearDownTestSuite() {
        delete dir_;
        delete failure_;
        dir_ = nullptr;
        failure_ = nullptr;
    }
    void SetUp() override {
        ASSERT_EQ(failure_, nullptr) << *failure_;
    }
    static std::filesystem::path prefix() { return dir_->path() / "usr"; }
    static std::filesystem::path work() { return dir_->path(); }

private:
    static inline TempDir* dir_ = nullptr;
    static inline std::string* failure_ = nullptr;
};

TEST_F(Installation, ItNamesNoPathOfTheCheckoutAndItsUnitsNameItsPrefix) {
    const std::string program = readFile(prefix() / "bin" / "corvane-tunnel");
    for (const std::string checkout : {CORVANE_SOURCE_DIR, CORVANE_BINARY_DIR}) {
        EXPECT_EQ(program.find(checkout), std::string::npos) << "the program names " << checkout;
    }
    // Named when installing: a prefix other than the system's gets systemd's folders below it.
    const std::string unit = readFile(prefix() / "lib" / "systemd" / "system" / "corvane-tunnel.service");
    EXPECT_NE(unit.find("\nExecStart=" + (prefix() / "bin" / "corvane-tunnel").string() + " --system\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("file://" + (prefix() / "share" / "doc" / "corvane" / "README.md").string()), std::string::npos) << unit;
    const std::string agent = readFile(prefix() / "lib" / "systemd" / "user" / "corvane-agent.service");
    EXPECT_NE(agent.find("\nExecStart=" + (prefix() / "bin" / "corvane-agent").string() + "\n"), std::string::npos) << agent;

    // The accounts the service needs: its access group and the engine's own user.
    if (std::system("command -v systemd-sysusers >/dev/null") != 0) GTEST_SKIP() << "systemd-sysusers is not installed";
    const auto root = work() / "root";
    std::filesystem::create_directories(root / "etc");
    ProcessResult users = runProcess({"systemd-sysusers", "--root=" + root.string(), (prefix() / "lib" / "sysusers.d" / "corvane.conf").string()});
    ASSERT_EQ(users.exitStatus, 0) << users.err;
    EXPECT_NE(("\n" + readFile(root / "etc" / "group")).find("\ncorvane:x:"), std::string::npos);
    EXPECT_NE(("\n" + readFile(root / "etc" / "passwd")).find("\ncorvane-engine:x:"), std::string::npos);
}

namespace {

// A stand-in engine that answers the version check with `script`.
std::filesystem::path standIn(const std::filesystem::path& path, const std::string& script) {
    std::filesystem::create_directories(path.parent_path());
    writeFile(path, "#!/bin/sh\n" + script);
    std::filesystem::permissions(path, std::filesystem::perms(0755));
    return path;
}

}  // namespace

TEST_F(Installation, TheInstalledEngineComesBeforeOneBesideTheProgramOrOnPath) {
    // Another package's sing-box on PATH, and one beside the program, both of the series.
    const auto onPath = standIn(work() / "path" / "sing-box", "echo 'sing-box version 1.12.97'\n");
    const auto beside = standIn(prefix() / "bin" / "sing-box", "echo 'sing-box version 1.12.98'\n");
    const auto installed = prefix() / "libexec" / "corvane" / "sing-box";
    const std::vector<std::string> run{"env", "-u", "CORVANE_ENGINE", "PATH=" + onPath.parent_path().string() + ":/usr/bin:/bin",
                                       "timeout", "5", (prefix() / "bin" / "corvane-tunnel").string(), "--user",
                                       "--socket", (work() / "s.sock").string(), "--state-dir", (work() / "state").string()};
    struct Step {
        std::filesystem::path removedBefore;
        std::string said;
    };
    const std::vector<Step> steps{
        {{}, "INFO engine " + installed.string() + ": sing-box 1.12.23 (the installed engine)"},
        {installed, "INFO engine " + beside.string() + ": sing-box 1.12.98 (from beside the program)"},
        {beside, "INFO engine " + onPath.string() + ": sing-box 1.12.97 (from PATH)"},
        {onPath, "ERROR no engine to run (looked for " + installed.string() + ", " + beside.string() + ", sing-box on PATH)"},
    };
    for (const auto& step : steps) {
        if (!step.removedBefore.empty()) std::filesystem::remove(step.removedBefore);
        ProcessResult result = runProcess(run);
        EXPECT_NE(result.err.find(step.said), std::string::npos) << result.err;
        // A service that found its engine runs until the time limit stops it; one without refuses to start.
        EXPECT_EQ(result.exitStatus, std::filesystem::exists(onPath) ? 124 : 78) << result.err;
    }
}

TEST(ServiceProgram, ItRefusesToStartWithoutAnEngineOfItsSeries) {
    TempDir dir;
    const auto engine = dir.path() / "engine";
    struct Case {
        std::string what;
        std::optional<std::string> script;  // none: no file at all
        std::string said;
    };
    const std::vector<Case> cases{
        {"missing", std::nullopt, engine.string() + " is not an executable file"},
        {"another program", "echo hello\n",
         engine.string() + " is not the sing-box engine (\"" + engine.string() + " version\" ended with status 0 and said \"hello\")"},
        {"a broken engine", "echo 'cannot load' >&2\nexit 3\n",
         engine.string() + " is not the sing-box engine (\"" + engine.string() + " version\" ended with status 3 and said \"cannot load\")"},
        {"an older series", "echo 'sing-box version 1.11.15'\n", engine.string() + " is sing-box 1.11.15; this service runs sing-box 1.12.x only"},
        {"a newer series", "echo 'sing-box version 1.13.0-beta.2'\n", engine.string() + " is sing-box 1.13.0-beta.2; this service runs"},
        {"one that hangs", "exec sleep 60\n", engine.string() + " did not say its version within 10 s"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(engine);
        if (c.script) standIn(engine, *c.script);
        const auto socket = dir.path() / "s.sock";
        ProcessResult refused = runProcess({"timeout", "20", CORVANE_TUNNEL_PATH, "--user", "--socket", socket.string(), "--state-dir",
                                            (dir.path() / "state").string(), "--engine", engine.string()});
        EXPECT_EQ(refused.exitStatus, 78) << c.what << ": " << refused.err;
        EXPECT_NE(refused.err.find("ERROR the engine cannot be used: " + c.said), std::string::npos) << c.what << ": " << refused.err;
        EXPECT_NE(refused.err.find("reinstall the package, or name a sing-box 1.12.x with --engine"), std::string::npos) << refused.err;
        EXPECT_FALSE(std::filesystem::exists(socket)) << c.what << ": a refused service listened";
    }

    // The engine it runs, said before anything else can happen.
    if (::access(enginePath().c_str(), X_OK) != 0) GTEST_SKIP() << "sing-box is not installed at " << enginePath();
    ProcessResult started = runService({}, {"--socket", (dir.path() / "s.sock").string(), "--state-dir", (dir.path() / "state").string(),
                                            "--engine", enginePath().string()});
    EXPECT_NE(started.err.find("INFO engine " + enginePath().string() + ": sing-box 1.12."), std::string::npos) << started.err;
    EXPECT_NE(started.err.find(" (from --engine)"), std::string::npos) << started.err;
}

TEST(ServiceProgram, AnInstallationWithoutAnEngineOfTheSeriesFails) {
    // The installation's own step (packaging/InstallEngine.cmake), with what it would be given.
    TempDir dir;
    struct Case {
        std::string what;
        std::optional<std::string> script;
        std::string said;
    };
    const std::vector<Case> cases{
        {"missing", std::nullopt, "is missing: run scripts/install-engine.sh"},
        {"an older series", "echo 'sing-box version 1.11.15'\n", "is not sing-box 1.12 (it says \"sing-box version 1.11.15\""},
        {"another program", "exit 1\n", "is not sing-box 1.12 (it says \"\", exit status 1)"},
    };
    for (const auto& c : cases) {
        const auto engine = dir.path() / "engine";
        std::filesystem::remove(engine);
        if (c.script) standIn(engine, *c.script);
        ProcessResult install = runProcess({"cmake", "-DCORVANE_ENGINE_BINARY=" + engine.string(), "-DCORVANE_ENGINE_SERIES=1.12",
                                            "-DCORVANE_LIBEXECDIR=libexec", "-DCMAKE_INSTALL_PREFIX=" + (dir.path() / "usr").string(),
                                            "-P", std::string(CORVANE_SOURCE_DIR) + "/packaging/InstallEngine.cmake"});
        EXPECT_NE(install.exitStatus, 0) << c.what;
        // CMake wraps its messages: compare without the line breaks.
        std::string said = install.err;
        std::erase(said, '\n');
        for (auto at = said.find("  "); at != std::string::npos; at = said.find("  ")) said.erase(at, 1);
        EXPECT_NE(said.find(c.said), std::string::npos) << c.what << ": " << install.err;
        EXPECT_FALSE(std::filesystem::exists(dir.path() / "usr" / "libexec" / "corvane" / "sing-box")) << c.what;
    }
}
