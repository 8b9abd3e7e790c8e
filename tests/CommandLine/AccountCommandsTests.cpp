// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <boost/json/parse.hpp>

#include "CorvaneCore/Panel/CredentialBackend.hpp"
#include "CorvaneCore/Panel/TokenStore.hpp"
#include "Model/ModelFixture.hpp"
#include "TestSupport/PrivateHome.hpp"
#include "TestSupport/PrivateSessionBus.hpp"
#include "tools/fleet/ChildProcess.hpp"

using namespace corvane;
using namespace corvane::testing;
using namespace corvane::fleet;
namespace fs = std::filesystem;
namespace json = boost::json;

namespace {

std::string lastLine(std::string text) {
    while (!text.empty() && text.back() == '\n') text.pop_back();
    auto newline = text.rfind('\n');
    return newline == std::string::npos ? text : text.substr(newline + 1);
}

const std::string kFleet =
    R"({"servers":[)" + serverJSON(1, "Tokyo") + "," + serverJSON(2, "Osaka") + "," + serverJSON(1, "Tokyo again") +
    R"(],"exits":[{"exit_id":5,"vps_id":1,"name":"Seoul","metered":true,"ready":true,"reality_url":"vless://secret@203.0.113.9:443",)"
    R"("traffic":{"provider":"p","status":"low","remaining_gb":3.456,"low_threshold_gb":5,"stale":false,)"
    R"("fallback_on_exhaustion":true,"using_original":false}}],)"
    R"("sites":[{"site_id":9,"name":"Office","endpoint_host":"198.51.100.7","endpoint_port":51820,)"
    R"("server_public_key":"pub","cidrs":["10.20.0.0/16"],"address":"10.99.0.2/32","private_key":"very-secret"}]})";

// corvanectl in a home of its own: settings, token file and (absent) tunnel
// service all under a temporary folder, trusting the test panel's CA.
class AccountCommands : public ::testing::Test, protected PanelOnLoopback {
protected:
    void SetUp() override {
        panel.setHandler([this](const RecordedRequest& r) { return script.reply(r); });
        home_.emplace(home);
        home_->set("CORVANE_CA_FILE", certs.caFile.string());
    }
    void TearDown() override {
        panel.stop();
        home_.reset();
    }

    ProcessResult ctl(std::vector<std::string> args, const std::string& input = {}) {
        args.insert(args.begin(), CORVANECTL_PATH);
        return runProcess(args, input);
    }
    ProcessResult login(const std::string& password = "pw") {
        return ctl({"login", "--panel", panel.url(""), "--email", "a@b.c", "--password-stdin"}, password + "\n");
    }
    std::optional<std::string> storedToken() {
        KeychainTokenStore store({}, std::make_shared<FileCredentialBackend>(home / "data" / "corvane" / "credentials.json"));
        return store.token(panel.url(""));
    }

    PanelScript script;
    fs::path home = dir.path() / "home";
    std::optional<PrivateHome> home_;
};

}  // namespace

TEST_F(AccountCommands, LoginServersLogoutAsANewUserWouldUseThem) {
    script.set(kLoginPath, ScriptedReply::json(200, kLogin));
    script.set(kServersPath, ScriptedReply::json(200, kFleet));
    script.set(kVersionPath, ScriptedReply::json(200, versionJSON("9.0.0", "https://panel.example/9.deb", "8.0.0")));

    auto signedIn = login();
    EXPECT_EQ(signedIn.exitStatus, 0) << signedIn.err;
    EXPECT_EQ(signedIn.out, "Signed in to " + panel.url("") + " as a@b.c. 2 servers.\n");
    EXPECT_EQ(storedToken(), "jwt-1");
    struct stat st {};
    ASSERT_EQ(::stat((home / "data" / "corvane" / "credentials.json").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    auto login = panel.requests().at(0);
    EXPECT_EQ(json::parse(login.body).at("password").as_string(), "pw");

    auto listed = ctl({"servers", "--json"});
    ASSERT_EQ(listed.exitStatus, 0) << listed.err;
    EXPECT_EQ(panel.requests().back().header("Authorization"), "Bearer jwt-1");
    auto doc = json::parse(listed.out).as_object();
    EXPECT_EQ(doc.at("panelURL").as_string(), panel.url(""));
    const auto& servers = doc.at("servers").as_array();
    ASSERT_EQ(servers.size(), 2u);  // one per VPS
    const auto& tokyo = servers[0].as_object();
    EXPECT_EQ(tokyo.at("vpsId").as_int64(), 1);
    EXPECT_EQ(tokyo.at("name").as_string(), "Tokyo");
    EXPECT_EQ(tokyo.at("publicIp").as_string(), "203.0.113.1");
    EXPECT_EQ(tokyo.at("configVersion").as_int64(), 1);
    EXPECT_EQ(tokyo.at("protocols"), json::parse(R"(["Reality","Hysteria2"])"));
    EXPECT_FALSE(tokyo.contains("region"));
    EXPECT_FALSE(tokyo.contains("realityUrl"));  // share URLs carry credentials
    EXPECT_EQ(servers[1].at("name").as_string(), "Osaka");
    const auto& exit = doc.at("exits").as_array().at(0).as_object();
    EXPECT_EQ(exit.at("exitId").as_int64(), 5);
    EXPECT_EQ(exit.at("vpsId").as_int64(), 1);
    EXPECT_EQ(exit.at("name").as_string(), "Seoul");
    EXPECT_EQ(exit.at("metered").as_bool(), true);
    EXPECT_EQ(exit.at("ready").as_bool(), true);
    EXPECT_FALSE(exit.contains("realityUrl"));
    const auto& traffic = exit.at("traffic").as_object();
    EXPECT_EQ(traffic.at("status").as_string(), "low");
    EXPECT_EQ(traffic.at("remainingGb").as_double(), 3.456);
    EXPECT_EQ(traffic.at("summary").as_string(), "3.46 GB remaining \u00b7 running low");
    EXPECT_EQ(traffic.at("fallbackOnExhaustion").as_bool(), true);
    const auto& site = doc.at("sites").as_array().at(0).as_object();
    EXPECT_EQ(site.at("siteId").as_int64(), 9);
    EXPECT_EQ(site.at("name").as_string(), "Office");
    EXPECT_EQ(site.at("cidrs"), json::parse(R"(["10.20.0.0/16"])"));
    EXPECT_EQ(listed.out.find("very-secret"), std::string::npos);
    EXPECT_EQ(listed.out.find("vless://"), std::string::npos);

    auto table = ctl({"servers"});
    ASSERT_EQ(table.exitStatus, 0) << table.err;
    EXPECT_NE(table.out.find("NAME   VPS  PROTOCOLS           EXITS"), std::string::npos) << table.out;
    EXPECT_NE(table.out.find("Tokyo  1    Reality, Hysteria2  Seoul (exit 5): 3.46 GB remaining \u00b7 running low"),
              std::string::npos) << table.out;
    EXPECT_NE(table.out.find("Osaka  2    Reality, Hysteria2  -"), std::string::npos) << table.out;
    EXPECT_NE(table.out.find("Office  10.20.0.0/16"), std::string::npos) << table.out;

    auto update = ctl({"update", "--json"});
    ASSERT_EQ(update.exitStatus, 0) << update.err;
    auto u = json::parse(update.out).as_object();
    EXPECT_EQ(u.at("update").at("latest").as_string(), "9.0.0");
    EXPECT_EQ(u.at("update").at("blocking").as_bool(), true);
    EXPECT_EQ(u.at("updateURL").as_string(), "https://panel.example/9.deb");
    EXPECT_EQ(u.at("updateBlocksConnecting").as_bool(), true);

    auto out = ctl({"logout"});
    EXPECT_EQ(out.exitStatus, 0) << out.err;
    EXPECT_EQ(storedToken(), std::nullopt);
    for (const auto& args : {std::vector<std::string>{"servers"}, std::vector<std::string>{"update"}}) {
        auto refused = ctl(args);
        EXPECT_EQ(refused.exitStatus, 1);
        EXPECT_EQ(lastLine(refused.err), "Not signed in. Run corvanectl login.");
    }
}

TEST_F(AccountCommands, FailuresEndWithTheModelsMessageAndWrongArgumentsWithUsage) {
    script.set(kLoginPath, ScriptedReply::json(401, R"({"error":"invalid_credentials"})"));
    auto wrong = login("nope");
    EXPECT_EQ(wrong.exitStatus, 1);
    EXPECT_EQ(lastLine(wrong.err), "Wrong email or password.");
    EXPECT_EQ(storedToken(), std::nullopt);

    auto plain = ctl({"login", "--panel", "http://127.0.0.1:1", "--email", "a@b.c", "--password-stdin"}, "pw\n");
    EXPECT_EQ(plain.exitStatus, 1);
    EXPECT_EQ(lastLine(plain.err), "The panel address must be an https:// URL.");

    for (const auto& args : {std::vector<std::string>{"login", "--bogus"},
                             std::vector<std::string>{"login", "--panel", panel.url(""), "--password-stdin"},  // no e-mail
                             std::vector<std::string>{"login", "--panel", panel.url(""), "--email", "a@b.c"},  // no terminal
                             std::vector<std::string>{"login", "--password", "pw"},
                             std::vector<std::string>{"servers", "--all"}, std::vector<std::string>{"logout", "now"},
                             std::vector<std::string>{"update", "-j"}}) {
        auto r = ctl(args, "pw\n");
        EXPECT_EQ(r.exitStatus, 2) << ::testing::PrintToString(args) << r.err;
        EXPECT_TRUE(r.out.empty());
    }
    EXPECT_EQ(panel.requestCount(), 1u);
}

TEST_F(AccountCommands, LoginWaitsOutARecoveryAndEndsWithItsLastWord) {
    ScriptedReply unreachable;
    unreachable.drop = true;
    panel.enqueue(unreachable);  // the first attempt finds no panel; the retry does
    script.set(kLoginPath, ScriptedReply::json(200, kLogin));
    script.set(kServersPath, ScriptedReply::json(200, kFleet));

    auto r = login();
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err, "Can't reach the panel. Signing in continues by itself when the network returns.\n");
    EXPECT_EQ(r.out, "Signed in to " + panel.url("") + " as a@b.c. 2 servers.\n");
    EXPECT_EQ(storedToken(), "jwt-1");
}

TEST_F(AccountCommands, HelpListsEveryCommandOnOneLine) {
    auto help = ctl({"--help"});
    EXPECT_EQ(help.exitStatus, 0);
    for (const char* line : {"  corvanectl login [--panel URL] [--email EMAIL] [--password-stdin] [--file-store]\n",
                             "  corvanectl logout\n", "  corvanectl servers [--json]\n", "  corvanectl update [--json]\n",
                             "  CORVANE_TUNNEL_SOCKET  the tunnel service's socket"}) {
        EXPECT_NE(help.out.find(line), std::string::npos) << line;
    }
    // Each command's own help is no error either, and asks nobody.
    for (const auto& [args, usage] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"servers", "--help"}, "usage: corvanectl servers [--json]\n"},
             {{"site", "off", "-h"}, "usage: corvanectl site on|off SITE\n"},
             {{"share", "--help"}, "usage: corvanectl share on|off|new-password|show [--json]\n"},
             {{"report", "--help"}, "usage: corvanectl report [--preview]\n"},
             {{"logs", "--follow", "--help"}, "usage: corvanectl logs [--follow] [--level all|warn|error]\n"},
             {{"login", "--help"}, "usage: corvanectl login [--panel URL] [--email EMAIL] [--password-stdin] [--file-store]\n"},
         }) {
        auto r = ctl(args);
        EXPECT_EQ(r.exitStatus, 0) << ::testing::PrintToString(args);
        EXPECT_EQ(r.out, usage);
        EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(panel.requestCount(), 0u);
}

// A panel's texts are printed, never obeyed: escape sequences in a name or a
// refusal could retitle the terminal, clear it or fake lines of output.
TEST_F(AccountCommands, PanelTextCannotControlTheTerminal) {
    auto hasControl = [](const std::string& text) {
        for (std::size_t i = 0; i < text.size(); ++i) {
            const auto c = static_cast<unsigned char>(text[i]);
            if ((c < 0x20 && c != '\n') || c == 0x7F) return true;
            if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) <= 0x9F &&
                static_cast<unsigned char>(text[i + 1]) >= 0x80) {
                return true;
            }
        }
        return false;
    };
    const std::string evil = R"(Evil\u001b]0;pwned\u0007\u001b[2J\r\nSigned out.\u009b31m)";
    script.set(kLoginPath, ScriptedReply::json(200, kLogin));
    script.set(kServersPath, ScriptedReply::json(200, R"({"servers":[)" + serverJSON(1, evil) +
                                                           R"(],"exits":[],"sites":[{"site_id":9,"name":")" + evil +
                                                           R"(","endpoint_host":"h","endpoint_port":1,"server_public_key":"k",)"
                                                           R"("cidrs":["10.0.0.0/8"],"address":"10.9.0.2/32","private_key":"p"}]})"));
    script.set(kVersionPath, ScriptedReply::json(200, versionJSON(R"(9.0.0\u001b[2J)", "https://panel.example/9.deb", "8.0.0")));
    ASSERT_EQ(login().exitStatus, 0);

    auto table = ctl({"servers"});
    EXPECT_EQ(table.exitStatus, 0) << table.err;
    EXPECT_FALSE(hasControl(table.out)) << table.out;
    EXPECT_NE(table.out.find("Evil\xEF\xBF\xBD]0;pwned"), std::string::npos) << table.out;
    // JSON keeps the exact text, escaped.
    auto doc = json::parse(ctl({"servers", "--json"}).out).as_object();
    EXPECT_EQ(doc.at("servers").as_array().at(0).at("name").as_string(), "Evil\x1b]0;pwned\a\x1b[2J\r\nSigned out.\xC2\x9B" "31m");

    auto update = ctl({"update"});
    EXPECT_FALSE(hasControl(update.out)) << update.out;

    script.set(kServersPath, ScriptedReply::json(422, R"({"error":"bad","message":")" + evil + R"("})"));
    // A new agent has no list yet and must ask the panel.
    ASSERT_EQ(ctl({"agent", "stop"}).exitStatus, 0);
    auto refused = ctl({"servers"});
    EXPECT_EQ(refused.exitStatus, 1);
    EXPECT_FALSE(hasControl(refused.err)) << refused.err;
    EXPECT_NE(refused.err.find("Evil"), std::string::npos) << refused.err;
}

// A change that cannot be saved (the settings file is a folder here) is no success:
// the command ends with status 1 and the reason as its last line.
TEST_F(AccountCommands, ASettingThatCannotBeSavedFailsTheCommandWithTheReason) {
    script.set(kLoginPath, ScriptedReply::json(200, kLogin));
    script.set(kServersPath, ScriptedReply::json(200, kFleet));
    ASSERT_EQ(login().exitStatus, 0);
    const fs::path file = home / "config" / "corvane" / "settings.json";
    fs::remove(file);
    fs::create_directory(file);
    const std::string reason = "Could not save settings to " + file.string() + ": Is a directory";
    for (const auto& args : std::vector<std::vector<std::string>>{{"smart-routing", "off"},
                                                                  {"site", "off", "9"},
                                                                  {"pin", "Osaka", "reality"},
                                                                  {"share", "on"},
                                                                  {"share", "new-password"}}) {
        auto r = ctl(args);
        EXPECT_EQ(r.exitStatus, 1) << ::testing::PrintToString(args) << r.err;
        EXPECT_EQ(lastLine(r.err), reason) << ::testing::PrintToString(args);
        EXPECT_EQ(r.out, "") << ::testing::PrintToString(args);
    }
    EXPECT_TRUE(fs::is_empty(file));
}

// Two `site off` at once, each a process with a model of its own that read the settings
// before the other wrote: both sites end up off, and two `site on` at once turn both on.
TEST_F(AccountCommands, TwoSiteSwitchesAtOnceAreBothKept) {
    auto siteJSON = [](int id, const std::string& name) {
        return R"({"site_id":)" + std::to_string(id) + R"(,"name":")" + name +
               R"(","endpoint_host":"198.51.100.7","endpoint_port":51820,"server_public_key":"pub",)"
               R"("cidrs":["10.)" + std::to_string(id) + R"(.0.0/16"],"address":"10.99.0.2/32","private_key":"k"})";
    };
    script.set(kLoginPath, ScriptedReply::json(200, kLogin));
    script.set(kServersPath, ScriptedReply::json(200, R"({"servers":[)" + serverJSON(1, "Tokyo") + R"(],"sites":[)" +
                                                          siteJSON(5, "Office") + "," + siteJSON(6, "Lab") + "]}"));
    ASSERT_EQ(login().exitStatus, 0);
    auto disabled = [&] {
        std::set<std::int64_t> ids;
        const auto stored = json::parse(readFile(home / "config" / "corvane" / "settings.json")).as_object();
        if (const auto* list = stored.if_contains("disabled_site_ids")) {
            for (const auto& id : list->as_array()) ids.insert(id.as_int64());
        }
        return ids;
    };
    for (int round = 1; round <= 3; ++round) {
        for (const std::string action : {"off", "on"}) {
            SCOPED_TRACE("round " + std::to_string(round) + ", " + action);
            ProcessResult office, lab;
            std::thread first([&] { office = ctl({"site", action, "5"}); });
            std::thread second([&] { lab = ctl({"site", action, "6"}); });
            first.join();
            second.join();
            EXPECT_EQ(office.exitStatus, 0) << office.err;
            EXPECT_EQ(office.out, "Office is " + action + " (from the next connect).\n");
            EXPECT_EQ(lab.exitStatus, 0) << lab.err;
            EXPECT_EQ(lab.out, "Lab is " + action + " (from the next connect).\n");
            const std::set<std::int64_t> expected = action == "off" ? std::set<std::int64_t>{5, 6} : std::set<std::int64_t>{};
            EXPECT_EQ(disabled(), expected);
        }
    }
}

// Interrupted at the password prompt, login leaves the terminal echoing, as it found it.
TEST_F(AccountCommands, AnInterruptedPasswordPromptGivesTheEchoBack) {
    const std::string url = panel.url("");  // nothing allocates between fork and exec
    for (const char* key : {"\x03", "\x1c"}) {  // Ctrl-C, Ctrl-\ on the terminal
        int terminal = -1;
        const pid_t child = ::forkpty(&terminal, nullptr, nullptr, nullptr);
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::execl(CORVANECTL_PATH, CORVANECTL_PATH, "login", "--panel", url.c_str(), "--email", "a@b.c",
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        std::string seen;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (seen.find("Password: ") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            pollfd p{terminal, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            char chunk[256];
            const ssize_t n = ::read(terminal, chunk, sizeof chunk);
            if (n <= 0) break;
            seen.append(chunk, static_cast<std::size_t>(n));
        }
        ASSERT_NE(seen.find("Password: "), std::string::npos) << seen;
        termios prompting{};
        ASSERT_EQ(::tcgetattr(terminal, &prompting), 0);
        EXPECT_FALSE(prompting.c_lflag & ECHO);
        ASSERT_EQ(::write(terminal, key, 1), 1);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status)) << status;
        termios after{};
        ASSERT_EQ(::tcgetattr(terminal, &after), 0);
        EXPECT_TRUE(after.c_lflag & ECHO) << "echo stays off after " << (key[0] == '\x03' ? "Ctrl-C" : "Ctrl-\\");
        ::close(terminal);
    }
    EXPECT_EQ(panel.requestCount(), 0u);
}

// Signing in as a new user would in a session whose keyring does not exist yet:
// the desktop asks to create one and the user cancels; or the keyring is locked
// and its unlock prompt cancelled; or the Secret Service went away. A Secret
// Service on a private bus that dismisses every prompt stands in for the
// desktop's (a real prompter needs a person); the sign-in goes through the real
// libsecret client. corvanectl says what happened and what to do, never a
// status number, and --file-store keeps the sign-in in the private file.
TEST_F(AccountCommands, AKeyringThatWillNotKeepTheSignInIsExplainedAndTheFileOffered) {
    PrivateSessionBus bus(dir.path() / "bus");
    if (!bus.unavailableReason().empty()) GTEST_SKIP() << bus.unavailableReason();
    home_->set("DBUS_SESSION_BUS_ADDRESS", bus.address());
    script.set(kLoginPath, ScriptedReply::json(200, kLogin));
    script.set(kServersPath, ScriptedReply::json(200, kFleet));

    struct Case {
        const char* mode;  // of the stand-in keyring; "gone": it answers at start, then goes away
        const char* says;
    };
    for (const Case& c : {Case{"nokeyring", "creating one was cancelled"}, Case{"locked", "your keyring is locked"},
                          Case{"gone", "no keyring (Secret Service) answers"}}) {
        SCOPED_TRACE(c.mode);
        bus.startService("Panel/dismissing_secret_service.py",
                         {std::string(c.mode) == "gone" ? "nokeyring" : c.mode});
        ASSERT_EQ(ctl({"agent", "status"}).exitStatus, 3);  // a new agent for each: it picks its store at start
        ASSERT_EQ(ctl({"notifications"}).exitStatus, 0);  // started with the keyring there
        if (std::string(c.mode) == "gone") bus.stopService();

        auto refused = login();
        EXPECT_EQ(refused.exitStatus, 1) << refused.err;
        EXPECT_NE(refused.err.find(c.says), std::string::npos) << refused.err;
        EXPECT_NE(refused.err.find("corvanectl login --file-store"), std::string::npos) << refused.err;
        EXPECT_EQ(refused.err.find("-25"), std::string::npos) << refused.err;
        EXPECT_EQ(refused.err.find("keychain"), std::string::npos) << refused.err;
        if (std::string(c.mode) != "gone") {
            EXPECT_NE(bus.serviceLog().find("prompt"), std::string::npos) << "the keyring never asked";
        }
        EXPECT_EQ(storedToken(), std::nullopt);
        EXPECT_EQ(ctl({"agent", "stop"}).exitStatus, 0);
        bus.stopService();
    }

    // The private file instead: signed in, the token in the 0600 file, and kept there by the next agent.
    bus.startService("Panel/dismissing_secret_service.py", {"nokeyring"});
    auto kept = ctl({"login", "--panel", panel.url(""), "--email", "a@b.c", "--password-stdin", "--file-store"}, "pw\n");
    EXPECT_EQ(kept.exitStatus, 0) << kept.err;
    EXPECT_NE(kept.out.find("Signed in to"), std::string::npos) << kept.out;
    EXPECT_EQ(storedToken(), std::optional<std::string>("jwt-1"));
    EXPECT_EQ(ctl({"agent", "stop"}).exitStatus, 0);
    auto servers = ctl({"servers"});
    EXPECT_EQ(servers.exitStatus, 0) << servers.err;  // signed in, from the file
    ctl({"agent", "stop"});
}

// corvanectl's desktop settings: the autostart entry in the user's config
// folder, and the agent's notifications setting, each switched and shown.
TEST_F(AccountCommands, AutostartAndNotificationsAreSwitchedAndShown) {
    const fs::path entry = home / "config" / "autostart" / "corvane.desktop";
    EXPECT_EQ(ctl({"autostart"}).out, "Corvane does not start at login.\n");
    auto on = ctl({"autostart", "on"});
    EXPECT_EQ(on.exitStatus, 0) << on.err;
    EXPECT_EQ(on.out, "Corvane starts in the tray at login (" + entry.string() + ").\n");
    EXPECT_NE(readFile(entry).find("Exec=corvane --background"), std::string::npos) << readFile(entry);
    const auto shown = json::parse(ctl({"autostart", "--json"}).out).as_object();
    EXPECT_EQ(shown, (json::object{{"enabled", true}, {"edited", false}, {"path", entry.string()}}));
    EXPECT_EQ(ctl({"autostart", "off"}).exitStatus, 0);
    EXPECT_FALSE(fs::exists(entry));
    EXPECT_EQ(ctl({"autostart", "maybe"}).exitStatus, 2);

    EXPECT_EQ(ctl({"notifications", "off"}).out, "Desktop notifications off.\n");
    EXPECT_EQ(ctl({"notifications"}).out, "Desktop notifications off.\n");
    EXPECT_FALSE(json::parse(readFile(home / "config" / "corvane" / "settings.json")).at("notifications").as_bool());
    EXPECT_NE(ctl({"notifications", "on"}).out.find("Desktop notifications on"), std::string::npos);
    EXPECT_EQ(ctl({"notifications", "loud"}).exitStatus, 2);
    ctl({"agent", "stop"});
}
