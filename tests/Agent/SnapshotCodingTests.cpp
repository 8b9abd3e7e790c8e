// SPDX-License-Identifier: GPL-3.0-or-later
// The snapshot as the agent streams it: whole, then as changes on top of the
// one a front end holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "Corvane/Agent/SnapshotCoding.hpp"
#include "CorvaneCore/Support/RecordCoding.hpp"

using namespace corvane;
namespace json = boost::json;

namespace {

// A snapshot with every field away from its default.
AppSnapshot everyField() {
    AppSnapshot s;
    s.version = 42;
    s.panelURL = "https://panel.example.com/";
    s.email = "ada@example.com";
    s.password = "typed";
    s.signedIn = true;
    s.busy = true;
    s.errorMessage = "Could not connect";
    s.servers = std::make_shared<const std::vector<ServerListEntry>>(std::vector<ServerListEntry>{
        {.vpsId = 101, .name = "Tokyo", .publicIp = "127.0.0.11", .hysteria2Url = "hysteria2://s@127.0.0.11:8443#Tokyo",
         .realityUrl = "vless://u@127.0.0.11:443?security=reality#Tokyo", .configVersion = 3}});
    s.exits = std::make_shared<const std::vector<ClientExit>>(std::vector<ClientExit>{{.exitId = 7, .vpsId = 101, .name = "Home"}});
    s.selectedExitId = 7;
    s.quotaNotice = "used up";
    s.sites = std::make_shared<const std::vector<SiteAccess>>(std::vector<SiteAccess>{
        {.siteId = 5, .name = "Office", .endpointHost = "127.0.0.41", .endpointPort = 51820, .serverPublicKey = "k",
         .cidrs = {"10.10.0.0/16"}, .address = "10.66.0.2/32", .privateKey = "p"}});
    s.siteStatuses = std::make_shared<const std::vector<SiteStatus>>(
        std::vector<SiteStatus>{{.siteId = 5, .name = "Office", .mode = SiteStatus::Mode::onSite, .viaLocal = true}});
    s.disabledSiteIds = std::make_shared<const std::set<std::int64_t>>(std::set<std::int64_t>{6, 9});
    s.connectedFleet = std::make_shared<const std::vector<FleetSlot>>(std::vector<FleetSlot>{{.vpsId = 101, .name = "Tokyo"}});
    s.refreshing = true;
    s.smartRouting = false;
    s.notifications = false;
    s.offerFileCredentialStore = true;
    s.pin = PinPref{.vpsId = 101, .reality = true};
    s.lanShare = true;
    s.sharingOn = "192.168.1.20";
    s.lanAddress = "192.168.1.20";
    s.lanSharePassword = "pw";
    s.delays = std::make_shared<const std::map<std::string, std::int64_t>>(std::map<std::string, std::int64_t>{{"proxy-0", 12}});
    s.delayMeasuredAt = std::make_shared<const std::map<std::string, std::chrono::system_clock::time_point>>(
        std::map<std::string, std::chrono::system_clock::time_point>{
            {"proxy-0", std::chrono::system_clock::time_point(std::chrono::seconds(1796914973))}});
    s.activeOutbound = "proxy-0";
    s.switchingTo = "proxy-1";
    s.tunnelReachable = false;
    s.trafficNow = {.up = 1, .down = 2};
    s.trafficTotal = {.up = 3, .down = 4};
    s.trafficHistory = std::make_shared<const std::vector<TrafficSample>>(std::vector<TrafficSample>{{5, 6}});
    s.update = UpdateStatus{.updateAvailable = true, .blocking = true, .latest = "0.2.0", .installed = "0.1.0"};
    s.updateDismissed = true;
    s.updateURL = "https://panel.example.com/download";
    s.diagnosticsNote = "sent";
    s.logLines = std::make_shared<const std::vector<TunnelIPC::SequencedLine>>(std::vector<TunnelIPC::SequencedLine>{
        {.seq = 3, .line = LogLine{.ts = "09:15:07", .level = "INFO", .target = "router", .message = "up"}}});
    s.connectInFlight = true;
    s.waitingForNetwork = true;
    s.status = UiStatus::reconnecting;
    s.working = true;
    s.snapshot = s.connectedFleet;
    s.updateBlocksConnecting = true;
    s.tunnelStatus = NEVPNStatus::reasserting;
    s.tunnelLastError = "the engine exited";
    s.trafficBlocked = true;
    s.killSwitch = KillSwitchState::blocking;
    s.lockdown = LockdownState{.enabled = true, .allowLAN = true};
    s.localProxy = "127.0.0.1:2080";
    s.pinChoice = "proxy-1";
    s.selectedExit = ClientExit{.exitId = 7, .vpsId = 101, .name = "Home"};
    s.entryName = "Tokyo";
    s.exitName = "Home";
    return s;
}

std::string text(const json::object& o) { return json::serialize(o); }

}  // namespace

TEST(SnapshotCoding, EveryFieldSurvivesTheWayThereAndBack) {
    const AppSnapshot original = everyField();
    const json::object encoded = SnapshotCoding::encode(original);
    const auto decoded = SnapshotCoding::decode(encoded);
    EXPECT_EQ(text(SnapshotCoding::encode(*decoded)), text(encoded));
    // Spot checks that the values, not only the keys, came back.
    EXPECT_EQ(decoded->status, UiStatus::reconnecting);
    EXPECT_EQ(decoded->tunnelStatus, NEVPNStatus::reasserting);
    EXPECT_EQ(decoded->killSwitch, KillSwitchState::blocking);
    EXPECT_EQ(decoded->lockdown, (LockdownState{.enabled = true, .allowLAN = true}));
    EXPECT_EQ(*decoded->disabledSiteIds, (std::set<std::int64_t>{6, 9}));
    EXPECT_EQ(decoded->delayMeasuredAt->at("proxy-0"), original.delayMeasuredAt->at("proxy-0"));
    EXPECT_EQ((*decoded->siteStatuses)[0], (*original.siteStatuses)[0]);
    EXPECT_EQ((*decoded->servers)[0], (*original.servers)[0]);

    // Absent values are left out, and a snapshot of defaults has every list, empty.
    const json::object empty = SnapshotCoding::encode(AppSnapshot{});
    EXPECT_FALSE(empty.contains("errorMessage"));
    EXPECT_FALSE(empty.contains("lockdown"));
    const auto defaults = SnapshotCoding::decode(empty);
    ASSERT_TRUE(defaults->servers && defaults->logLines && defaults->delayMeasuredAt);
    EXPECT_TRUE(defaults->servers->empty());
}

TEST(SnapshotCoding, ChangesOnTopOfTheHeldSnapshotGiveTheNewOneAndShareWhatStayed) {
    const AppSnapshot before = everyField();
    AppSnapshot after = before;
    after.version = 43;
    after.status = UiStatus::connected;
    after.errorMessage.reset();
    after.lockdown.reset();
    after.trafficHistory = std::make_shared<const std::vector<TrafficSample>>(std::vector<TrafficSample>{{5, 6}, {7, 8}});
    const json::object change = SnapshotCoding::changes(SnapshotCoding::encode(before), SnapshotCoding::encode(after));
    std::vector<std::string> keys;
    for (const auto& kv : change) keys.emplace_back(kv.key());
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys, (std::vector<std::string>{"errorMessage", "lockdown", "status", "trafficHistory", "version"}));
    EXPECT_TRUE(change.at("errorMessage").is_null());

    const auto applied = SnapshotCoding::decode(change, &before);
    EXPECT_EQ(text(SnapshotCoding::encode(*applied)), text(SnapshotCoding::encode(after)));
    EXPECT_EQ(applied->servers, before.servers) << "an unchanged list is shared, not copied";
    EXPECT_EQ(applied->trafficHistory->size(), 2u);
}

TEST(SnapshotCoding, AFieldOfTheWrongKindIsNamed) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"status": "sideways"})", "status"},
        {R"({"signedIn": "yes"})", "signedIn"},
        {R"({"servers": [{"vps_id": "x"}]})", "servers"},
        {R"({"siteStatuses": [{"siteId": 1, "name": "a", "mode": "floating"}]})", "siteStatuses[0].mode"},
    };
    for (const auto& [input, field] : cases) {
        try {
            SnapshotCoding::decode(json::parse(input).as_object());
            ADD_FAILURE() << input;
        } catch (const DecodingError& e) {
            EXPECT_NE(e.description().find(field), std::string::npos) << input << ": " << e.description();
        }
    }
}

// The window's state files, as the view tests feed them, read and write back unchanged.
TEST(SnapshotCoding, TheWindowsStateFilesComeBackAsTheyWere) {
    const std::filesystem::path states = std::filesystem::path(CORVANE_SOURCE_DIR) / "tests/Screens/Views/states";
    int files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(states)) {
        if (entry.path().extension() != ".json") continue;
        std::ifstream in(entry.path());
        const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const auto once = SnapshotCoding::decode(json::parse(content).as_object());
        const json::object encoded = SnapshotCoding::encode(*once);
        EXPECT_EQ(text(SnapshotCoding::encode(*SnapshotCoding::decode(encoded))), text(encoded)) << entry.path();
        ++files;
    }
    EXPECT_GT(files, 5);
}
