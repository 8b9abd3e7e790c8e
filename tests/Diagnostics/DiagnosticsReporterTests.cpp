// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <sys/utsname.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include "Corvane/Diagnostics/DiagnosticsReporter.hpp"
#include "CorvaneCore/Panel/PanelClient.hpp"
#include "CorvaneCore/Support/Blocking.hpp"
#include "CorvaneCore/Support/HttpClient.hpp"
#include "TestSupport/PanelOnLoopback.hpp"
#include "TestSupport/ScopedEnv.hpp"
#include "tools/fleet/HttpServer.hpp"
#include "tools/fleet/TempDir.hpp"

using namespace corvane;
using namespace corvane::testing;
using namespace corvane::fleet;
using namespace std::chrono;
namespace fs = std::filesystem;
using Outcome = DiagnosticsReporter::Outcome;

namespace {

ScriptedReply accepted() { return ScriptedReply::json(200, R"({"report_id": 7})"); }

class DiagnosticsReporterTest : public ::testing::Test, protected PanelOnLoopback {
protected:
    // The reporter shares its panel client.
    std::shared_ptr<PanelClient> panelClient = std::make_shared<PanelClient>(panel.url(""), std::string("tok"), &http);
    fs::path queueDir = dir / "data" / "diagnostics" / "queue";
    DiagnosticsReporter reporter{queueDir};

    static ReportBuilder::Input input(std::string trigger, std::string error = "FATAL[0000] start service: boom") {
        ReportBuilder::Input in;
        in.trigger = std::move(trigger);
        in.appVersion = "0.1.0";
        in.now = system_clock::now();
        in.os = "linux";
        in.osVersion = "6.1.0";
        in.arch = "x86_64";
        in.error = std::move(error);
        in.logs = {{"09:15:12", "ERROR", "connection", "open connection to 203.0.113.50:443: i/o timeout"}};
        return in;
    }
    Outcome report(ReportBuilder::Input in, std::shared_ptr<PanelClient> via) {
        return runToCompletion(reporter.report(std::move(in), std::move(via)));
    }
    std::size_t queued() { return reporter.queue() ? reporter.queue()->depth() : 0; }

    // A client of a panel that has gone away.
    std::shared_ptr<PanelClient> offlineClient() {
        HttpServer gone{certs};
        auto offline = std::make_shared<PanelClient>(gone.url(""), std::string("tok"), &http);
        gone.stop();
        return offline;
    }
};

}  // namespace

TEST_F(DiagnosticsReporterTest, SavesWhileThePanelIsUnreachableAndDeliversLater) {
    const auto offline = offlineClient();
    EXPECT_EQ(report(input("tunnel_failed"), offline), Outcome::saved);
    EXPECT_EQ(queued(), 1u);

    panel.enqueue(accepted());
    EXPECT_EQ(runToCompletion(reporter.drain(panelClient)), 1);
    EXPECT_EQ(queued(), 0u);
    EXPECT_EQ(runToCompletion(reporter.drain(panelClient)), 0);

    // Saved without a client, then delivered together with the next report.
    EXPECT_EQ(report(input("tunnel_failed", "other failure"), nullptr), Outcome::saved);
    EXPECT_EQ(queued(), 1u);
    panel.enqueue(accepted());
    panel.enqueue(accepted());
    EXPECT_EQ(report(input("manual"), panelClient), Outcome::sent);
    EXPECT_EQ(queued(), 0u);
    EXPECT_EQ(panel.requestCount(), 3u);
}

// A locale or zone variable, an interface name or an engine line may hold bytes
// that are not UTF-8; the report must still read back from the queue and reach the panel.
TEST_F(DiagnosticsReporterTest, BytesThatAreNotUTF8DoNotCostTheReport) {
    auto in = input("tunnel_failed", "FATAL[0000] start service: interface eth\xFF is gone");
    in.locale = "de_DE\xE9";
    in.timezone = "Europe/Z\xFCrich";
    in.interfaces = {{"wl\xC3", "192.168.1.20"}};
    in.logs.push_back({"09:15:13", "WARN", "dns", "cut off \xF0\x9F"});
    EXPECT_EQ(report(in, offlineClient()), Outcome::saved);
    ASSERT_EQ(queued(), 1u);

    panel.enqueue(accepted());
    EXPECT_EQ(runToCompletion(reporter.drain(panelClient)), 1);
    ASSERT_EQ(panel.requestCount(), 1u);
    const auto posted = decodeJSON<DiagnosticReport>(std::string_view(panel.requests().at(0).body));
    ASSERT_TRUE(posted.system);
    EXPECT_EQ(posted.system->locale, "de_DE\xEF\xBF\xBD");
    EXPECT_EQ(posted.appLogs.back().message, "cut off \xEF\xBF\xBD");
}

// The panel never answers the older report; the user's own report goes out
// beside that pass instead of waiting for it to time out.
TEST_F(DiagnosticsReporterTest, AReportIsPostedAtOnceWhileAnEarlierPassIsStillPosting) {
    EXPECT_EQ(report(input("tunnel_failed", "an older failure"), nullptr), Outcome::saved);
    panel.setHandler([](const RecordedRequest& request) {
        if (request.body.find("an older failure") == std::string::npos) return accepted();
        ScriptedReply silent;
        silent.hang = true;
        return silent;
    });
    boost::asio::io_context io;
    auto earlier = spawnTask(io.get_executor(), [](DiagnosticsReporter& r, std::shared_ptr<PanelClient> p) -> Async<void> {
        co_await r.drain(std::move(p));
    }(reporter, panelClient));
    for (auto deadline = steady_clock::now() + 10s; panel.requestCount() == 0 && steady_clock::now() < deadline;) {
        io.run_for(10ms);
    }
    ASSERT_EQ(panel.requestCount(), 1u);

    std::optional<Outcome> outcome;
    boost::asio::co_spawn(io, reporter.report(input("manual"), panelClient),
                          [&](std::exception_ptr, Outcome o) { outcome = o; });
    for (auto deadline = steady_clock::now() + 10s; !outcome && steady_clock::now() < deadline;) io.run_for(10ms);
    EXPECT_EQ(outcome, Outcome::sent);
    EXPECT_EQ(queued(), 1u) << "the older report stays with the pass that is posting it";

    earlier.cancel();
    io.run();
    EXPECT_EQ(panel.requestCount(), 2u) << "each report was posted once";
    EXPECT_EQ(queued(), 1u);
}

TEST_F(DiagnosticsReporterTest, PostsTheBuiltReport) {
    panel.enqueue(accepted());
    auto in = input("manual");
    in.userDescription = "cannot connect";
    EXPECT_EQ(report(in, panelClient), Outcome::sent);
    const auto request = panel.requests().at(0);
    auto posted = decodeJSON<DiagnosticReport>(std::string_view(request.body));
    EXPECT_EQ(posted, ReportBuilder::build(in));
    EXPECT_EQ(posted.appLogs.at(0).message, "open connection to <destination>:443: i/o timeout");
    EXPECT_EQ(posted.hints.at(0).message, "boom");
}

TEST_F(DiagnosticsReporterTest, AnIdenticalReportWithinAnHourIsNotSentTwiceUnlessTheUserAsks) {
    panel.setHandler([](const RecordedRequest&) { return accepted(); });
    EXPECT_EQ(report(input("tunnel_failed", "FATAL[0000] start service: listen tcp 127.0.0.1:2080: in use"), panelClient),
              Outcome::sent);
    EXPECT_EQ(report(input("tunnel_failed", "FATAL[0000] start service: listen tcp 127.0.0.1:2081: in use"), panelClient),
              Outcome::alreadySent);
    EXPECT_EQ(queued(), 0u);
    EXPECT_EQ(panel.requestCount(), 1u);

    EXPECT_EQ(report(input("manual"), panelClient), Outcome::sent);
    EXPECT_EQ(report(input("manual"), panelClient), Outcome::sent);
    EXPECT_EQ(panel.requestCount(), 3u);
}

TEST_F(DiagnosticsReporterTest, ARefusedReportIsDroppedAndOnlySaved) {
    for (int status : {400, 401}) {
        panel.enqueue(ScriptedReply::json(status, R"({"error":"no"})"));
        EXPECT_EQ(report(input("manual"), panelClient), Outcome::saved) << status;
        EXPECT_EQ(queued(), 0u) << status;
    }
    panel.enqueue(ScriptedReply::json(503, ""));
    EXPECT_EQ(report(input("manual"), panelClient), Outcome::saved);
    EXPECT_EQ(queued(), 1u);
}

TEST_F(DiagnosticsReporterTest, WithoutAWritableQueueNothingIsSaved) {
    writeFile(dir / "blocker", "");
    DiagnosticsReporter broken(dir / "blocker" / "queue");
    EXPECT_EQ(broken.queue(), nullptr);
    EXPECT_EQ(runToCompletion(broken.report(input("manual"), panelClient)), Outcome::notSaved);
    EXPECT_EQ(runToCompletion(broken.drain(panelClient)), 0);

    // The folder disappears behind the reporter's back.
    fs::remove_all(queueDir);
    writeFile(queueDir, "");
    EXPECT_EQ(report(input("manual"), panelClient), Outcome::notSaved);
    EXPECT_EQ(runToCompletion(reporter.drain(panelClient)), 0);
    EXPECT_EQ(panel.requestCount(), 0u);
}

TEST_F(DiagnosticsReporterTest, KeepsItsQueueUnderTheUsersDataFolder) {
    {
        ScopedEnv data("XDG_DATA_HOME", (dir / "xdg").string());
        DiagnosticsReporter fromEnvironment;
        ASSERT_NE(fromEnvironment.queue(), nullptr);
        EXPECT_EQ(fromEnvironment.queue()->directory(), dir / "xdg" / "corvane" / "diagnostics" / "queue");
        EXPECT_EQ(runToCompletion(fromEnvironment.report(input("manual"), nullptr)), Outcome::saved);
        EXPECT_EQ(std::distance(fs::directory_iterator(dir / "xdg" / "corvane" / "diagnostics" / "queue"), {}), 1);
    }
    {
        ScopedEnv data("XDG_DATA_HOME", (dir / "blocker").string());
        writeFile(dir / "blocker", "");
        DiagnosticsReporter unusable;
        EXPECT_EQ(runToCompletion(unusable.report(input("manual"), nullptr)), Outcome::notSaved);
    }
}

TEST(DiagnosticsReporter, ShowsOneLinePerOutcome) {
    EXPECT_EQ(DiagnosticsReporter::message(Outcome::sent), "Report sent");
    EXPECT_EQ(DiagnosticsReporter::message(Outcome::saved), "Saved \u2014 it will be sent when the panel is reachable");
    EXPECT_EQ(DiagnosticsReporter::message(Outcome::alreadySent), "Already sent in the last hour");
    EXPECT_EQ(DiagnosticsReporter::message(Outcome::notSaved), "Could not save the report");
}

TEST(DiagnosticsReporter, DescribesTheDevice) {
    utsname info{};
    ASSERT_EQ(uname(&info), 0);
    {
        ScopedEnv all("LC_ALL", "de_DE.UTF-8@euro");
        ScopedEnv tz("TZ", ":Europe/Berlin");
        const auto device = DiagnosticsReporter::device();
        EXPECT_EQ(device.os, "linux");
        EXPECT_TRUE(std::regex_match(device.osVersion, std::regex(R"(\d+\.\d+\.\d+)"))) << device.osVersion;
        EXPECT_TRUE(std::string(info.release).starts_with(device.osVersion.substr(0, device.osVersion.rfind('.'))));
        EXPECT_EQ(device.arch, info.machine);
        EXPECT_EQ(device.locale, "de_DE");
        EXPECT_EQ(device.timezone, "Europe/Berlin");
    }
    struct Case {
        std::optional<std::string> lcAll, lang, tz;
        std::optional<std::string> locale, timezone;
    };
    const std::vector<Case> cases = {
        {std::nullopt, "fr_FR.UTF-8", "/usr/share/zoneinfo/posix/Asia/Tokyo", "fr_FR", "Asia/Tokyo"},
        {"", "C.UTF-8", "", "C", "UTC"},
        {std::nullopt, std::nullopt, "America/New_York", std::nullopt, "America/New_York"},
        {std::nullopt, std::nullopt, "/etc/nowhere", std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        ScopedEnv all("LC_ALL", c.lcAll), lang("LANG", c.lang), tz("TZ", c.tz);
        const auto device = DiagnosticsReporter::device();
        EXPECT_EQ(device.locale, c.locale);
        EXPECT_EQ(device.timezone, c.timezone);
    }
    // Without TZ the zone comes from the system's configuration.
    ScopedEnv tz("TZ", std::nullopt);
    std::error_code ec;
    const std::string localtime = fs::read_symlink("/etc/localtime", ec).string();
    if (!ec && localtime.find("zoneinfo/") != std::string::npos) {
        EXPECT_EQ(DiagnosticsReporter::device().timezone, localtime.substr(localtime.find("zoneinfo/") + 9));
    }
}

TEST_F(DiagnosticsReporterTest, UploadsOneReportToThePanel) {
    DiagnosticReport r{.triggerReason = "manual", .appVersion = "0.1.0", .collectedAtUnix = 9};
    panel.enqueue(ScriptedReply::json(201, R"({"report_id": 9007199254740993})"));
    EXPECT_EQ(runToCompletion(panelClient->uploadDiagnostics(r)), DiagnosticPostResponse{9007199254740993});
    const auto request = panel.requests().at(0);
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/api/client/diagnostics");
    EXPECT_EQ(request.header("Authorization"), "Bearer tok");
    EXPECT_EQ(request.body, encodeJSON(r));

    panel.enqueue(ScriptedReply::json(200, R"({"id": 1})"));
    try {
        runToCompletion(panelClient->uploadDiagnostics(r));
        ADD_FAILURE() << "an undecodable reply was accepted";
    } catch (const PanelError& e) {
        EXPECT_EQ(e, PanelError::malformedResponse("could not decode DiagnosticPostResponse: report_id: missing required key"));
    }

    PanelClient signedOut(panel.url(""), std::nullopt, &http);
    EXPECT_THROW(runToCompletion(signedOut.uploadDiagnostics(r)), PanelError);
    EXPECT_EQ(panel.requestCount(), 2u);
}
