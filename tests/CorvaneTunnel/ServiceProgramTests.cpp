// corvane-tunnel as a program on the machine: where it keeps its state, and
// what its installation holds.
#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "CorvaneCore/Support/XDGPaths.hpp"
#include "tools/fleet/ChildProcess.hpp"
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

TEST(ServiceProgram, TheInstallationNamesNoPathOfTheCheckout) {
    TempDir dir;
    const auto prefix = dir.path() / "usr";
    ProcessResult install = runProcess({"cmake", "--install", CORVANE_BINARY_DIR, "--prefix", prefix.string()});
    ASSERT_EQ(install.exitStatus, 0) << install.err;
    const std::string program = readFile(prefix / "bin" / "corvane-tunnel");
    for (const std::string checkout : {CORVANE_SOURCE_DIR, CORVANE_BINARY_DIR}) {
        EXPECT_EQ(program.find(checkout), std::string::npos) << "the program names " << checkout;
    }

    // The accounts the service needs: its access group and the engine's own user.
    if (std::system("command -v systemd-sysusers >/dev/null") != 0) GTEST_SKIP() << "systemd-sysusers is not installed";
    const auto root = dir.path() / "root";
    std::filesystem::create_directories(root / "etc");
    ProcessResult users = runProcess({"systemd-sysusers", "--root=" + root.string(), (prefix / "lib" / "sysusers.d" / "corvane.conf").string()});
    ASSERT_EQ(users.exitStatus, 0) << users.err;
    EXPECT_NE(("\n" + readFile(root / "etc" / "group")).find("\ncorvane:x:"), std::string::npos);
    EXPECT_NE(("\n" + readFile(root / "etc" / "passwd")).find("\ncorvane-engine:x:"), std::string::npos);
}
