// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include "CorvaneCore/Config/Deployment.hpp"
#include "CorvaneCore/Config/DeploymentValues.hpp"
#include "tools/fleet/TempDir.hpp"

using namespace corvane;
using corvane::fleet::TempDir;
using corvane::fleet::writeFile;

namespace {

struct FileCase {
    const char* name;
    const char* system;  // text of the first file; nullptr: absent
    const char* user;    // text of the second file
    // Expected: panel address and rule-set location after loading, and the problems' descriptions
    // with the folder left out ("system: …", "user: …").
    const char* panelURL;
    const char* ruleSetBaseURL;
    std::vector<std::string> problems;
};

const std::string defaultPanel(DeploymentValues::defaultPanelURL);
const std::string defaultRules(DeploymentValues::ruleSetBaseURL);

}  // namespace

TEST(Deployment, FilesOverrideTheDefaultsKeyByKeyAndABadFileChangesNothing) {
    const FileCase cases[] = {
        {"no files", nullptr, nullptr, defaultPanel.c_str(), defaultRules.c_str(), {}},
        {"a partial system file", R"({"panel_url": "https://panel.op.example"})", nullptr, "https://panel.op.example",
         defaultRules.c_str(), {}},
        {"the user's file wins over the system's",
         R"({"panel_url": "https://a.example", "rule_set_base_url": "https://rules.example/"})",
         R"({"panel_url": "https://b.example"})", "https://b.example", "https://rules.example/", {}},
        {"a wrong type: the whole file is left out",
         R"({"panel_url": "https://a.example"})", R"({"rule_set_base_url": "https://r.example/", "panel_url": 5})",
         "https://a.example", defaultRules.c_str(), {"user: panel_url: expected a string, found a number"}},
        {"a wrong element type", nullptr, R"({"reachability_probe_urls": ["https://t.example/trace", 3]})",
         defaultPanel.c_str(), defaultRules.c_str(), {"user: reachability_probe_urls[1]: expected a string, found a number"}},
        {"a value that cannot work", nullptr, R"({"panel_url": "http://panel.example"})", defaultPanel.c_str(),
         defaultRules.c_str(), {"user: panel_url: must be an https:// URL"}},
        {"a rule-set location without its slash", nullptr, R"({"rule_set_base_url": "https://r.example"})",
         defaultPanel.c_str(), defaultRules.c_str(), {"user: rule_set_base_url: must be an https:// URL ending in /"}},
        {"an unknown key is named, the rest applies", nullptr,
         R"({"panel_ur": "https://typo.example", "rule_set_base_url": "https://r.example/"})", defaultPanel.c_str(),
         "https://r.example/", {"user: panel_ur: unknown key, ignored"}},
        {"not JSON", R"({"panel_url": )", nullptr, defaultPanel.c_str(), defaultRules.c_str(), {"system: "}},
        {"not an object", "[1, 2]", nullptr, defaultPanel.c_str(), defaultRules.c_str(),
         {"system: expected an object, found an array"}},
        {"null keeps the value before it", R"({"panel_url": "https://a.example"})", R"({"panel_url": null})",
         "https://a.example", defaultRules.c_str(), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        if (c.system) writeFile(dir / "system", c.system);
        if (c.user) writeFile(dir / "user", c.user);
        auto loaded = Deployment::load({dir / "system", dir / "user"});
        EXPECT_EQ(loaded.values.panelURL, c.panelURL);
        EXPECT_EQ(loaded.values.ruleSetBaseURL, c.ruleSetBaseURL);
        ASSERT_EQ(loaded.problems.size(), c.problems.size());
        for (std::size_t i = 0; i < c.problems.size(); ++i) {
            std::string text = loaded.problems[i].description();
            ASSERT_TRUE(text.starts_with(dir.path().string() + "/")) << text;
            text.erase(0, dir.path().string().size() + 1);
            // "not JSON": the parser's own words follow.
            EXPECT_TRUE(text.starts_with(c.problems[i])) << text;
        }
    }
}

TEST(Deployment, AnUnreadableFileIsReportedAndTheDefaultsStay) {
    TempDir dir;
    std::filesystem::create_directory(dir / "deployment.json");
    auto loaded = Deployment::load({dir / "deployment.json"});
    EXPECT_EQ(loaded.values, Deployment::defaults());
    ASSERT_EQ(loaded.problems.size(), 1u);
    EXPECT_EQ(loaded.problems[0].description(), (dir / "deployment.json").string() + ": cannot be read: it is a directory");
    EXPECT_TRUE(loaded.appliedFiles.empty());
}

TEST(Deployment, EveryKeyReachesItsValue) {
    TempDir dir;
    writeFile(dir / "d.json", R"({
        "panel_url": "https://panel.op.example", "url_test_probe_url": "https://probe.op.example/generate_204",
        "reachability_probe_urls": ["https://t1.op.example/trace", "https://t2.op.example/trace"],
        "rule_set_base_url": "https://rules.op.example/", "proxy_resolver_address": "127.0.0.53",
        "direct_resolver_address": "127.0.0.54", "direct_resolver_tls_name": "dns.op.example",
        "direct_domain_suffixes": ["op.example", "cdn.op.example"]})");
    auto loaded = Deployment::load({dir / "d.json"});
    EXPECT_TRUE(loaded.problems.empty());
    EXPECT_EQ(loaded.values, (Deployment{
                                 .panelURL = "https://panel.op.example",
                                 .urlTestProbeURL = "https://probe.op.example/generate_204",
                                 .reachabilityProbeURLs = {"https://t1.op.example/trace", "https://t2.op.example/trace"},
                                 .ruleSetBaseURL = "https://rules.op.example/",
                                 .proxyResolverAddress = "127.0.0.53",
                                 .directResolverAddress = "127.0.0.54",
                                 .directResolverTLSName = "dns.op.example",
                                 .directDomainSuffixes = {"op.example", "cdn.op.example"},
                             }));
    auto defaults = Deployment::defaults();
    EXPECT_EQ(defaults.directDomainSuffixes.size(), 48u);
    EXPECT_EQ(defaults.urlTestProbeURL, DeploymentValues::urlTestProbeURL);
}

TEST(Deployment, TheStandardFilesAreTheSystemsThenTheUsers) {
    ::setenv("XDG_CONFIG_HOME", "/tmp/corvane-xdg-config", 1);
    auto files = Deployment::standardFiles();
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(files, (std::vector<std::filesystem::path>{"/etc/corvane/deployment.json",
                                                         "/tmp/corvane-xdg-config/corvane/deployment.json"}));
}
