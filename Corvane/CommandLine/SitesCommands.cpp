// corvanectl sites and site: the private sites and their switches.
#include <algorithm>
#include <charconv>
#include <iostream>

#include "Corvane/CommandLine/Commands.hpp"
#include "Corvane/CommandLine/HeadlessModel.hpp"
#include "Corvane/CommandLine/ModelJSON.hpp"
#include "CorvaneCore/Config/SitePrep.hpp"
#include "CorvaneCore/Support/JSONWriter.hpp"

namespace corvane::cli {

namespace {

namespace json = boost::json;
using namespace std::chrono_literals;

std::string statusText(const SiteStatus& s) {
    switch (s.mode) {
    case SiteStatus::Mode::off: return "off";
    case SiteStatus::Mode::onSite: return "on site, reached directly";
    case SiteStatus::Mode::tunnel: break;
    }
    return "via the gateway " + s.endpoint.value_or("?") + (s.viaLocal ? " (on the local network)" : "");
}

// How each site is reached right now: the running session's view when this
// model has one, else a fresh look (the beacon asks each site's local gateways).
std::vector<PreparedSite> currentSites(HeadlessModel& headless) {
    AppModel& m = headless.model();
    if (!m.activeSites.empty()) return m.activeSites;
    return headless.run(SitePrep::prepareSites(m.sites, SitePrep::devicePrefixes(), m.disabledSiteIds));
}

int sites(CommandContext& ctx) {
    bool asJSON = false;
    if (!ctx.flags({{"--json", &asJSON}})) return ctx.usageError();
    HeadlessModel headless({});
    AppModel& model = headless.model();
    if (!headless.startSignedIn(ctx.err)) return 1;
    const auto prepared = currentSites(headless);
    const auto statuses = SitePrep::statuses(prepared);
    if (asJSON) {
        json::array list;
        for (std::size_t i = 0; i < statuses.size(); ++i) {
            json::object o = toJSON(model.sites->at(i));
            o.erase("privateKey");
            o["disabled"] = model.disabledSiteIds->contains(statuses[i].siteId);
            o["mode"] = SiteStatus::rawValue(statuses[i].mode);
            if (statuses[i].endpoint) o["endpoint"] = *statuses[i].endpoint;
            o["viaLocal"] = statuses[i].viaLocal;
            list.emplace_back(std::move(o));
        }
        json::object doc;
        doc["sites"] = std::move(list);
        ctx.out << toJSONText(doc, 2) << "\n";
        return 0;
    }
    if (statuses.empty()) {
        ctx.out << "No private networks are configured for your account.\n";
        return 0;
    }
    for (std::size_t i = 0; i < statuses.size(); ++i) {
        const SiteAccess& site = model.sites->at(i);
        std::string networks;
        for (const auto& cidr : site.cidrs) networks += (networks.empty() ? "" : ", ") + cidr;
        ctx.out << site.name << " (site " << site.siteId << "): " << statusText(statuses[i]) << "\n"
                << "  networks: " << (networks.empty() ? "-" : networks) << "\n";
    }
    return 0;
}

int site(CommandContext& ctx) {
    if (ctx.args.size() != 2 || (ctx.args[0] != "on" && ctx.args[0] != "off")) {
        return ctx.usageError();
    }
    const bool enable = ctx.args[0] == "on";
    const std::string wanted(ctx.args[1]);
    HeadlessModel headless({});
    AppModel& model = headless.model();
    if (!headless.startSignedIn(ctx.err)) return 1;
    std::int64_t number = 0;
    const bool isNumber = std::from_chars(wanted.data(), wanted.data() + wanted.size(), number).ec == std::errc() &&
                          !wanted.empty() && wanted.find_first_not_of("0123456789") == std::string::npos;
    auto match = std::find_if(model.sites->begin(), model.sites->end(), [&](const SiteAccess& s) {
        return (isNumber && s.siteId == number) || s.name == wanted;
    });
    if (match == model.sites->end()) {
        ctx.err << "corvanectl: no site \"" << wanted << "\"; see corvanectl sites\n";
        return 1;
    }
    const SiteAccess chosen = *match;

    // A running tunnel is switched at once, as long as the engine has one switch per listed site.
    if (model.tunnel.status() == NEVPNStatus::connected) {
        headless.awaitLiveValues(5s);
        headless.run(model.adoptRunningSites());
    }
    const bool running = !model.activeSites.empty();
    model.setSiteEnabled(chosen.siteId, enable);
    headless.runUntil([] { return false; }, running ? 1s : 0s);  // the switch task
    if (model.errorMessage->has_value()) return headless.finish(ctx.err);
    ctx.out << chosen.name << " is " << (enable ? "on" : "off")
            << (running ? "." : " (from the next connect).") << "\n";
    return 0;
}

const CommandRegistration sitesRegistration{"sites", "sites [--json]", &sites};
const CommandRegistration siteRegistration{"site", "site on|off SITE", &site};

}  // namespace

}  // namespace corvane::cli
