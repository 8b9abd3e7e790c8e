// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/panel-sim/PanelSim.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>

#include <unistd.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/json.hpp>

#include "CorvaneCore/Diagnostics/DiagnosticReport.hpp"
#include "CorvaneCore/Panel/UpdateChecker.hpp"
#include "CorvaneCore/Support/AtomicFile.hpp"
#include "CorvaneCore/Support/HttpClient.hpp"
#include "CorvaneCore/Support/RecordCoding.hpp"
#include "tools/fleet/Certificates.hpp"
#include "tools/fleet/Engine.hpp"
#include "tools/fleet/ExitServer.hpp"
#include "tools/fleet/ServerConfig.hpp"
#include "tools/fleet/VpsServer.hpp"

namespace corvane::panelsim {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr double bytesPerGb = 1e9;

std::string utcNow(std::chrono::system_clock::time_point at = std::chrono::system_clock::now()) {
    std::time_t t = std::chrono::system_clock::to_time_t(at);
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

std::string clockTime() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    ::localtime_r(&t, &tm);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &tm);
    return text;
}

std::string gb(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g GB", value);
    return text;
}

std::optional<std::int64_t> parseId(const std::string& text) {
    try {
        std::size_t used = 0;
        long long v = std::stoll(text, &used);
        if (used != text.size()) return std::nullopt;
        return v;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<double> parseNumber(const std::string& text) {
    try {
        std::size_t used = 0;
        double v = std::stod(text, &used);
        if (used != text.size() || !std::isfinite(v)) return std::nullopt;
        return v;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// "--name value" options after the positional words of an admin command.
struct Words {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;
    std::string problem;

    explicit Words(const std::vector<std::string>& args, std::size_t from) {
        for (std::size_t i = from; i < args.size(); ++i) {
            if (args[i].starts_with("--")) {
                if (i + 1 >= args.size()) {
                    problem = args[i] + " needs a value";
                    return;
                }
                options[args[i].substr(2)] = args[i + 1];
                ++i;
            } else {
                positional.push_back(args[i]);
            }
        }
    }
};

}  // namespace

struct PanelSim::VpsState {
    SimVps declared;  // as the world file (or an admin command) gives it
    std::unique_ptr<fleet::VpsServer> server;
};

struct PanelSim::ExitState {
    SimExit declared;  // as the world file gives it; the fallback follows the last selection
    std::unique_ptr<fleet::ExitServer> server;
    double remainingBytes = 0;
    std::uint64_t lastTotal = 0;
    std::optional<std::string> checkedAt;
    bool stale = false;
    // The entry server's current choice for this exit's traffic.
    std::string route;

    bool exhausted() const { return remainingBytes <= 0; }
    std::string wantedRoute() const {
        if (!exhausted()) return fleet::VpsServer::exitOutbound(declared.exitId);
        return declared.fallbackOnExhaustion ? "direct" : "block";
    }
};

struct PanelSim::Session {
    std::string email;
    std::chrono::system_clock::time_point expiresAt;
    bool revoked = false;
};

PanelSim::PanelSim(asio::io_context& context, PanelSimOptions options, World world)
    : context_(context), options_(std::move(options)), world_(std::move(world)) {
    HttpClientOptions controlOptions;
    controlOptions.maxBodyBytes = 64 * 1024 * 1024;
    control_ = std::make_unique<HttpClient>(controlOptions);
}

PanelSim::~PanelSim() { stop(); }

void PanelSim::log(const std::string& line) {
    if (options_.output) options_.output("[" + clockTime() + "] " + line);
}

std::string PanelSim::panelURL() const {
    return "https://" + options_.listenAddress + ":" + std::to_string(panel_ ? panel_->port() : options_.listenPort) + "/";
}

std::string PanelSim::webURL() const {
    return "http://" + options_.listenAddress + ":" + std::to_string(web_ ? web_->port() : 0) + "/";
}

std::filesystem::path PanelSim::caFile() const { return options_.stateDir / "tls" / "ca.pem"; }

std::filesystem::path PanelSim::caBundleFile() const { return options_.stateDir / "ca-bundle.pem"; }

void PanelSim::start() {
    namespace fs = std::filesystem;
    fs::create_directories(options_.stateDir);
    fs::permissions(options_.stateDir, fs::perms::owner_all);
    fs::create_directories(options_.stateDir / "tls");
    fs::create_directories(options_.stateDir / "diagnostics");

    // One CA for the panel, the probe endpoint and the Hysteria2 servers; made
    // fresh at every start, so a stale one never lingers.
    std::vector<std::string> names{"localhost", options_.listenAddress};
    for (const auto& v : world_.vpses) {
        if (std::find(names.begin(), names.end(), v.address) == names.end()) names.push_back(v.address);
    }
    certificates_ = std::make_unique<fleet::Certificates>(fleet::Certificates::make(options_.stateDir / "tls", names));

    // The engine's own URL tests trust only the system store: a process that
    // should trust this panel too gets SSL_CERT_FILE pointing at this bundle.
    std::string bundle;
    for (const char* system : {"/etc/ssl/certs/ca-certificates.crt", "/etc/pki/tls/certs/ca-bundle.crt"}) {
        if (auto text = readFileIfExists(system)) {
            bundle = *text;
            break;
        }
    }
    if (!bundle.empty() && bundle.back() != '\n') bundle += '\n';
    writeFileAtomically(caBundleFile(), bundle + certificates_->caPem);

    makeRuleSets();

    auto tls = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_server);
    tls->set_options(asio::ssl::context::no_tlsv1 | asio::ssl::context::no_tlsv1_1);
    tls->use_certificate_chain(asio::buffer(certificates_->certPem));
    tls->use_private_key(asio::buffer(certificates_->keyPem), asio::ssl::context::pem);
    panel_ = std::make_unique<HttpListener>(context_, options_.listenAddress, options_.listenPort, tls,
                                            [this](SimRequest r) { return handlePanel(std::move(r)); });
    web_ = std::make_unique<HttpListener>(context_, options_.listenAddress, options_.webPort, nullptr,
                                          [this](SimRequest r) { return handleWeb(std::move(r)); });
    panel_->start();
    web_->start();

    // Exits first: their entry servers dial them.
    for (const auto& exit : world_.exits) startExit(exit);
    for (const auto& vps : world_.vpses) startVps(vps);
    meter_ = spawnTask(context_.get_executor(), meterLoop());
    writeSummary();
}

void PanelSim::stop() {
    if (stopped_) return;
    stopped_ = true;
    meter_.cancel();
    if (panel_) panel_->stop();
    if (web_) web_->stop();
    vpses_.clear();
    exits_.clear();
}

void PanelSim::startExit(const SimExit& exit) {
    auto state = std::make_unique<ExitState>();
    state->declared = exit;
    state->remainingBytes = exit.allowanceGb * bytesPerGb;
    state->server = std::make_unique<fleet::ExitServer>(fleet::ExitServerOptions{
        .directory = options_.stateDir / "fleet" / ("exit-" + std::to_string(exit.exitId)),
        .sourceAddress = exit.address,
    });
    state->route = fleet::VpsServer::exitOutbound(exit.exitId);
    log("exit " + std::to_string(exit.exitId) + " \"" + exit.name + "\" started: engine on 127.0.0.1:" +
        std::to_string(state->server->port()) + ", allowance " + gb(exit.allowanceGb));
    exits_[exit.exitId] = std::move(state);
}

void PanelSim::startVps(const SimVps& vps) {
    std::vector<fleet::ExitLink> links;
    for (const auto& [id, exit] : exits_) {
        if (exit->declared.vpsId == vps.vpsId && exit->server) links.push_back(exit->server->link(id));
    }
    auto state = std::make_unique<VpsState>();
    state->declared = vps;
    state->server = std::make_unique<fleet::VpsServer>(fleet::VpsServerOptions{
        .listenAddress = vps.address,
        .directory = options_.stateDir / "fleet" / ("vps-" + std::to_string(vps.vpsId)),
        .certificates = certificates_.get(),
        // The panel's own TLS 1.3 listener lends the Reality inbound its handshake.
        .handshakePort = panel_->port(),
        .sourceAddress = vps.address,
        .exits = links,
    });
    log("vps " + std::to_string(vps.vpsId) + " \"" + vps.name + "\" started: Reality " + vps.address + ":" +
        std::to_string(state->server->realityPort()) + ", Hysteria2 " + vps.address + ":" +
        std::to_string(state->server->hysteria2Port()) + (links.empty() ? "" : ", " + std::to_string(links.size()) + " exit(s)"));
    vpses_[vps.vpsId] = std::move(state);
    // An exit that ran out while its entry server was away gets its route now.
    for (const auto& link : links) spawnRoute(link.exitId);
}

void PanelSim::makeRuleSets() {
    namespace fs = std::filesystem;
    for (const auto& [tag, set] : world_.ruleSets) {
        auto source = options_.stateDir / "rules" / "source" / (tag + ".json");
        auto target = options_.stateDir / "rules" / set.repo / "rule-set" / (tag + ".srs");
        fs::create_directories(source.parent_path());
        fs::create_directories(target.parent_path());
        JSONValue document = JSONObject{{"version", 3}, {"rules", JSONValue::Array(set.rules.begin(), set.rules.end())}};
        writeFileAtomically(source, document.serialize(2));
        fleet::runEngineTool({"rule-set", "compile", "--output", target.string(), source.string()});
    }
}

void PanelSim::writeSummary() {
    const std::string base = "https://" + options_.listenAddress + ":" + std::to_string(panel_->port());
    JSONValue summary = JSONObject{
        {"pid", static_cast<double>(::getpid())},
        {"panel_url", panelURL()},
        {"ca_file", caFile().string()},
        {"ca_bundle_file", caBundleFile().string()},
        {"admin_socket", adminSocket().string()},
        {"web_url", webURL()},
        {"probe_url", base + "/generate_204"},
        {"trace_url", base + "/cdn-cgi/trace"},
        {"rule_set_base_url", base + "/rules/"},
    };
    writeFileAtomically(options_.stateDir / "panel-sim.json", summary.serialize(2) + "\n");
    // Deployment values that keep a client of this panel on loopback.
    JSONValue deployment = JSONObject{
        {"panel_url", panelURL()},
        {"url_test_probe_url", base + "/generate_204"},
        {"reachability_probe_urls", JSONValue::Array{base + "/cdn-cgi/trace"}},
        {"rule_set_base_url", base + "/rules/"},
        {"proxy_resolver_address", "127.0.0.1"},
        {"direct_resolver_address", "127.0.0.1"},
        {"direct_resolver_tls_name", "localhost"},
    };
    writeFileAtomically(options_.stateDir / "deployment.json", deployment.serialize(2) + "\n");
}

// ---- the panel API ----

Async<SimResponse> PanelSim::handlePanel(SimRequest request) {
    const std::string path = request.path();
    // Endpoints of other services that happen to share this listener.
    if (path == "/generate_204") co_return SimResponse{204, "", ""};
    if (path == "/cdn-cgi/trace") {
        co_return SimResponse{200, "text/plain", "ip=" + request.peerAddress + "\nloc=ZZ\nh=corvane-panel-sim\n"};
    }
    if (path.starts_with("/rules/")) {
        for (const auto& [tag, set] : world_.ruleSets) {
            if (path == "/rules/" + set.repo + "/rule-set/" + tag + ".srs") {
                auto data = readFileIfExists(options_.stateDir / "rules" / set.repo / "rule-set" / (tag + ".srs"));
                if (data) co_return SimResponse{200, "application/octet-stream", *data};
            }
        }
        co_return SimResponse::refusal(404, "not_found", "No such rule set.");
    }
    if (!path.starts_with("/api/client/")) co_return SimResponse::refusal(404, "not_found", "No such endpoint.");

    // Held in short steps, so that `recover` (or a shorter stall) releases the answer at once.
    if (Clock::now() < stallUntil_) {
        ++heldRequests_;
        while (Clock::now() < stallUntil_) {
            asio::steady_timer wait(context_, std::min(stallUntil_, Clock::now() + 100ms));
            auto [ec] = co_await wait.async_wait(asio::as_tuple(asio::use_awaitable));
            if (ec) break;
        }
        --heldRequests_;
    }
    if (Clock::now() < unavailableUntil_) {
        co_return SimResponse::refusal(503, "maintenance", "The panel is down for maintenance.");
    }

    if (path == "/api/client/auth/login") {
        if (request.method != "POST") co_return SimResponse::refusal(405, "method_not_allowed", "Use POST.");
        co_return login(request);
    }
    struct Route {
        const char* path;
        const char* method;
    };
    static const Route routes[] = {{"/api/client/servers", "GET"},
                                   {"/api/client/exit-selection", "POST"},
                                   {"/api/client/version", "GET"},
                                   {"/api/client/diagnostics", "POST"}};
    auto route = std::find_if(std::begin(routes), std::end(routes), [&](const Route& r) { return path == r.path; });
    if (route == std::end(routes)) co_return SimResponse::refusal(404, "not_found", "No such endpoint.");
    if (request.method != route->method) {
        co_return SimResponse::refusal(405, "method_not_allowed", std::string("Use ") + route->method + ".");
    }
    std::string email;
    if (auto refused = rejectToken(request, email)) co_return *refused;
    if (path == "/api/client/servers") co_return serverList(request, email);
    if (path == "/api/client/exit-selection") co_return selectExit(request, email);
    if (path == "/api/client/version") co_return version(request);
    co_return diagnostics(request, email);
}

std::optional<SimResponse> PanelSim::rejectToken(const SimRequest& request, std::string& email) {
    if (!request.authorization.starts_with("Bearer ")) {
        return SimResponse::refusal(401, "unauthorized", "Sign in first.");
    }
    auto session = sessions_.find(request.authorization.substr(7));
    if (session == sessions_.end()) return SimResponse::refusal(401, "unauthorized", "Unknown token.");
    if (session->second->revoked || std::chrono::system_clock::now() >= session->second->expiresAt) {
        return SimResponse::refusal(401, "token_expired", "The session has expired; sign in again.");
    }
    email = session->second->email;
    return std::nullopt;
}

SimResponse PanelSim::login(const SimRequest& request) {
    LoginRequest credentials;
    try {
        credentials = decodeJSON<LoginRequest>(std::string_view(request.body));
    } catch (const DecodingError& e) {
        return SimResponse::refusal(422, "invalid_request", e.description());
    }
    auto user = std::find_if(world_.users.begin(), world_.users.end(), [&](const SimUser& u) {
        return u.email == credentials.email && u.password == credentials.password;
    });
    if (user == world_.users.end()) {
        log("sign-in refused for " + credentials.email);
        return SimResponse::refusal(401, "invalid_credentials", "Wrong email or password.");
    }
    const std::string token = "sim." + fleet::randomHex(24);
    auto expires = std::chrono::system_clock::now() +
                   std::chrono::duration_cast<std::chrono::system_clock::duration>(
                       std::chrono::duration<double, std::ratio<3600>>(world_.tokenLifetimeHours));
    sessions_[token] = std::make_unique<Session>(Session{user->email, expires});
    log("signed in: " + user->email + (credentials.deviceName ? " on \"" + *credentials.deviceName + "\"" : ""));
    return SimResponse::json(200, encodeJSON(LoginResponse{token, utcNow(expires)}));
}

std::string PanelSim::trafficStatus(const ExitState& exit) const {
    if (exit.exhausted()) return "exhausted";
    if (exit.remainingBytes < exit.declared.lowThresholdGb * bytesPerGb) return "low";
    return "ok";
}

SimResponse PanelSim::serverList(const SimRequest& request, const std::string& email) {
    (void)email;
    ServerListResponse list;
    for (const auto& [id, vps] : vpses_) {
        list.servers.push_back({
            .vpsId = id,
            .name = vps->declared.name,
            .region = vps->declared.region,
            .publicIp = vps->declared.address,
            .hysteria2Url = vps->server->hysteria2Url(vps->declared.name + " Hysteria2"),
            .realityUrl = vps->server->realityUrl(vps->declared.name + " Reality"),
            .configVersion = vps->declared.configVersion,
        });
    }
    // A client that does not speak exits is not offered any.
    const auto capabilities = request.query("capabilities").value_or("");
    if (("," + capabilities + ",").find(",exit-v1,") != std::string::npos) {
        for (const auto& [id, exit] : exits_) {
            auto entry = vpses_.find(exit->declared.vpsId);
            if (entry == vpses_.end()) continue;
            const bool exhausted = exit->exhausted();
            list.exits.push_back({
                .exitId = id,
                .vpsId = exit->declared.vpsId,
                .name = exit->declared.name,
                .region = exit->declared.region,
                .metered = true,
                .ready = exit->declared.ready,
                .realityUrl = entry->second->server->exitRealityUrl(id, exit->declared.name),
                .traffic = ExitTraffic{
                    .provider = exit->declared.provider,
                    .status = trafficStatus(*exit),
                    .remainingGb = exhausted ? 0.0 : exit->remainingBytes / bytesPerGb,
                    .lowThresholdGb = exit->declared.lowThresholdGb,
                    .checkedAt = exit->checkedAt,
                    .stale = exit->stale,
                    .fallbackOnExhaustion = exit->declared.fallbackOnExhaustion,
                    .usingOriginal = exhausted && exit->declared.fallbackOnExhaustion,
                },
            });
        }
    }
    list.sites = world_.sites;
    return SimResponse::json(200, encodeJSON(list));
}

SimResponse PanelSim::selectExit(const SimRequest& request, const std::string& email) {
    Selection selection;
    try {
        selection = decodeJSON<Selection>(std::string_view(request.body));
    } catch (const DecodingError& e) {
        return SimResponse::refusal(422, "invalid_request", e.description());
    }
    auto exit = exits_.find(selection.exitId);
    if (exit == exits_.end() || !vpses_.count(exit->second->declared.vpsId)) {
        return SimResponse::refusal(404, "exit_not_found", "No exit " + std::to_string(selection.exitId) + " for you.");
    }
    if (!exit->second->declared.ready) {
        return SimResponse::refusal(409, "exit_not_ready", "The exit is still being prepared.");
    }
    if (exit->second->declared.fallbackOnExhaustion != selection.fallbackOnExhaustion) {
        exit->second->declared.fallbackOnExhaustion = selection.fallbackOnExhaustion;
        spawnRoute(selection.exitId);
    }
    log(email + " chose exit " + std::to_string(selection.exitId) + " (fallback on exhaustion " +
        (selection.fallbackOnExhaustion ? "on" : "off") + ")");
    return SimResponse::json(200, R"({"ok":true})");
}

SimResponse PanelSim::version(const SimRequest& request) {
    auto platform = request.query("platform");
    if (!platform || platform->empty()) return SimResponse::refusal(422, "invalid_request", "platform is required.");
    if (!world_.version) return SimResponse::refusal(404, "no_release", "No release is published for " + *platform + ".");
    const auto& v = *world_.version;
    VersionResponse reply{
        .platform = *platform,
        .version = v.latest,
        .sha256 = v.sha256,
        .filename = v.filename,
        .sizeBytes = v.sizeBytes,
        .downloadUrl = v.downloadUrl,
        .minRequiredVersion = v.minimum,
        .uploadedAt = v.uploadedAt,
    };
    return SimResponse::json(200, encodeJSON(reply));
}

SimResponse PanelSim::diagnostics(const SimRequest& request, const std::string& email) {
    DiagnosticReport report;
    try {
        report = decodeJSON<DiagnosticReport>(std::string_view(request.body));
    } catch (const DecodingError& e) {
        return SimResponse::refusal(422, "invalid_report", e.description());
    }
    const std::int64_t id = nextReportId_++;
    char name[48];
    std::snprintf(name, sizeof name, "report-%04lld.json", static_cast<long long>(id));
    const auto file = options_.stateDir / "diagnostics" / name;
    // Kept exactly as sent, so what the client sent is what a person reads.
    writeFileAtomically(file, request.body, std::filesystem::perms(0600));
    log("diagnostic report " + std::to_string(id) + " from " + email + " (trigger " + report.triggerReason + ", app " +
        report.appVersion + ", " + std::to_string(report.appLogs.size()) + " log lines, " +
        std::to_string(report.hints.size()) + " hints): " + file.string());
    return SimResponse::json(200, encodeJSON(DiagnosticPostResponse{id}));
}

// ---- the web target ----

Async<SimResponse> PanelSim::handleWeb(SimRequest request) {
    std::string via = "directly, not through the fleet";
    for (const auto& [id, vps] : vpses_) {
        if (vps->declared.address == request.peerAddress) via = "server " + std::to_string(id) + " \"" + vps->declared.name + "\"";
    }
    for (const auto& [id, exit] : exits_) {
        if (exit->declared.address == request.peerAddress) via = "metered exit " + std::to_string(id) + " \"" + exit->declared.name + "\"";
    }
    // /bytes/N: N bytes, to move a known amount of traffic through the tunnel.
    if (request.path().starts_with("/bytes/")) {
        auto count = parseId(request.path().substr(7));
        if (!count || *count < 0 || *count > 256 * 1024 * 1024) {
            co_return SimResponse{400, "text/plain", "use /bytes/N with N up to 268435456\n"};
        }
        co_return SimResponse{200, "application/octet-stream", std::string(static_cast<std::size_t>(*count), 'x')};
    }
    co_return SimResponse{200, "text/plain; charset=utf-8",
                          "Hello from the Corvane demo fleet.\nYou reached " + request.target + " through " + via +
                              " (from " + request.peerAddress + ").\n"};
}

// ---- metered exits ----

Async<void> PanelSim::meterLoop() {
    for (;;) {
        co_await sleepFor(options_.meterInterval);
        std::vector<std::int64_t> ids;
        for (const auto& [id, exit] : exits_) ids.push_back(id);
        for (auto id : ids) co_await readMeter(id);
    }
}

Async<void> PanelSim::readMeter(std::int64_t exitId) {
    auto found = exits_.find(exitId);
    if (found == exits_.end() || !found->second->server) co_return;
    HttpRequest request{
        .url = "http://127.0.0.1:" + std::to_string(found->second->server->controlPort()) + "/connections",
        .headers = {{"Authorization", "Bearer " + found->second->server->controlSecret()}},
        .timeout = 5s,
    };
    std::optional<std::uint64_t> total;
    try {
        HttpResponse response = co_await control_->send(std::move(request));
        if (response.status == 200) {
            auto body = boost::json::parse(response.body).as_object();
            total = body.at("uploadTotal").to_number<std::uint64_t>() + body.at("downloadTotal").to_number<std::uint64_t>();
        }
    } catch (const HttpError& e) {
        if (e.kind() == HttpError::Kind::cancelled) throw;
    } catch (const std::exception&) {
    }
    // The exit may have been removed while the meter waited.
    found = exits_.find(exitId);
    if (found == exits_.end()) co_return;
    ExitState& exit = *found->second;
    if (!total) {
        if (!exit.stale) log("exit " + std::to_string(exitId) + ": its meter does not answer; the balance is the last known");
        exit.stale = true;
        co_return;
    }
    exit.stale = false;
    exit.checkedAt = utcNow();
    // The engine counts from its own start.
    const std::uint64_t used = *total >= exit.lastTotal ? *total - exit.lastTotal : *total;
    exit.lastTotal = *total;
    if (used == 0) co_return;
    const bool wasExhausted = exit.exhausted();
    exit.remainingBytes = std::max(0.0, exit.remainingBytes - static_cast<double>(used));
    if (!wasExhausted && exit.exhausted()) {
        log("exit " + std::to_string(exitId) + " \"" + exit.declared.name + "\": allowance used up" +
            (exit.declared.fallbackOnExhaustion ? "; its traffic now leaves through the entry server (original exit)"
                                            : "; its traffic is refused"));
        co_await applyRoute(exitId);
    }
}

void PanelSim::spawnRoute(std::int64_t exitId) {
    asio::co_spawn(context_, applyRoute(exitId), asio::detached);
}

Async<void> PanelSim::applyRoute(std::int64_t exitId) {
    auto exit = exits_.find(exitId);
    if (exit == exits_.end()) co_return;
    auto vps = vpses_.find(exit->second->declared.vpsId);
    if (vps == vpses_.end()) co_return;
    const std::string wanted = exit->second->wantedRoute();
    HttpRequest request{
        .method = "PUT",
        .url = "http://127.0.0.1:" + std::to_string(vps->second->server->controlPort()) + "/proxies/" +
               fleet::VpsServer::exitSelector(exitId),
        .headers = {{"Authorization", "Bearer " + vps->second->server->controlSecret()},
                    {"Content-Type", "application/json"}},
        .body = R"({"name":")" + wanted + R"("})",
        .timeout = 5s,
    };
    try {
        HttpResponse response = co_await control_->send(std::move(request));
        if (response.status != 204) {
            log("exit " + std::to_string(exitId) + ": the entry server refused the route " + wanted + ": " + response.body);
            co_return;
        }
    } catch (const std::exception& e) {
        log("exit " + std::to_string(exitId) + ": cannot reach the entry server's control API: " + e.what());
        co_return;
    }
    exit = exits_.find(exitId);
    if (exit != exits_.end()) exit->second->route = wanted;
}

// ---- admin ----

AdminReply PanelSim::status() {
    std::ostringstream out;
    out << "panel " << panelURL() << (Clock::now() < unavailableUntil_ ? " (answering 503)" : "")
        << (Clock::now() < stallUntil_ ? " (stalling, " + std::to_string(heldRequests_) + " held)" : "") << "\n";
    for (const auto& [id, vps] : vpses_) {
        out << "vps " << id << " \"" << vps->declared.name << "\" " << vps->declared.address << " reality "
            << vps->server->realityPort() << " hysteria2 " << vps->server->hysteria2Port() << "\n";
    }
    for (const auto& [id, exit] : exits_) {
        out << "exit " << id << " \"" << exit->declared.name << "\" via vps " << exit->declared.vpsId << ": "
            << gb(exit->remainingBytes / bytesPerGb) << " of " << gb(exit->declared.allowanceGb) << " left, "
            << trafficStatus(*exit) << (exit->stale ? ", stale" : "") << ", route " << exit->route << "\n";
    }
    for (const auto& site : world_.sites) out << "site " << site.siteId << " \"" << site.name << "\"\n";
    if (world_.version) {
        out << "version latest " << world_.version->latest << ", minimum " << world_.version->minimum.value_or("none") << "\n";
    } else {
        out << "version none published\n";
    }
    std::size_t live = 0;
    for (const auto& [token, session] : sessions_) {
        if (!session->revoked && std::chrono::system_clock::now() < session->expiresAt) ++live;
    }
    out << "sessions " << live << " live\n";
    return {true, out.str()};
}

AdminReply PanelSim::admin(const std::vector<std::string>& args) {
    static const char* usage =
        "commands:\n"
        "  status\n"
        "  exhaust EXIT_ID                      use up the exit's allowance\n"
        "  refill EXIT_ID [GB]                  restore it (default: the world's allowance)\n"
        "  add-vps NAME [--id N] [--region R] [--address 127.x.y.z]\n"
        "  remove-vps VPS_ID\n"
        "  add-site JSON                        a site in the panel's format\n"
        "  remove-site SITE_ID\n"
        "  version LATEST [--minimum V] [--url URL] | version --none\n"
        "  unavailable SECONDS                  answer 503 for that long\n"
        "  stall SECONDS                        hold every answer until that time has passed\n"
        "  recover                              end an outage or a stall now\n"
        "  expire-token EMAIL | expire-token --all\n";
    if (args.empty() || args[0] == "help") return {!args.empty(), usage};
    const std::string& command = args[0];
    if (command == "version" && args.size() == 2 && args[1] == "--none") {
        world_.version.reset();
        log("admin: no release published");
        return {true, "no release published\n"};
    }
    if (command == "expire-token" && args.size() == 2 && args[1] == "--all") {
        for (auto& [token, session] : sessions_) session->revoked = true;
        log("admin: expired every token");
        return {true, "expired every token\n"};
    }
    Words words(args, 1);
    if (!words.problem.empty()) return {false, words.problem};
    auto changed = [&](const std::string& what) {
        log("admin: " + what);
        return AdminReply{true, what + "\n"};
    };

    if (command == "status") return status();

    if (command == "exhaust" || command == "refill") {
        auto id = words.positional.empty() ? std::nullopt : parseId(words.positional[0]);
        if (!id) return {false, command + " needs an exit id"};
        auto exit = exits_.find(*id);
        if (exit == exits_.end()) return {false, "no exit " + words.positional[0]};
        if (command == "exhaust") {
            exit->second->remainingBytes = 0;
        } else {
            double amount = exit->second->declared.allowanceGb;
            if (words.positional.size() > 1) {
                auto given = parseNumber(words.positional[1]);
                if (!given || *given < 0 || *given > maxAllowanceGb) return {false, "refill needs a number of GB up to 1000000"};
                amount = *given;
            }
            exit->second->remainingBytes = amount * bytesPerGb;
        }
        exit->second->checkedAt = utcNow();
        spawnRoute(*id);
        return changed("exit " + std::to_string(*id) + " " + (command == "exhaust" ? "exhausted" : "refilled to " +
                       gb(exit->second->remainingBytes / bytesPerGb)));
    }

    if (command == "add-vps") {
        if (words.positional.size() != 1) return {false, "add-vps needs one NAME"};
        SimVps vps{.name = words.positional[0]};
        if (words.options.count("id")) {
            auto id = parseId(words.options["id"]);
            if (!id) return {false, "--id needs a number"};
            vps.vpsId = *id;
        } else {
            vps.vpsId = vpses_.empty() ? 1 : vpses_.rbegin()->first + 1;
        }
        if (vpses_.count(vps.vpsId)) return {false, "vps " + std::to_string(vps.vpsId) + " exists"};
        if (words.options.count("region")) vps.region = words.options["region"];
        if (words.options.count("address")) {
            vps.address = words.options["address"];
            if (!vps.address.starts_with("127.")) return {false, "--address must be a 127.x.y.z address"};
        }
        try {
            startVps(vps);
        } catch (const std::exception& e) {
            return {false, std::string("cannot start the server: ") + e.what()};
        }
        return changed("added vps " + std::to_string(vps.vpsId) + " \"" + vps.name + "\"");
    }
    if (command == "remove-vps") {
        auto id = words.positional.empty() ? std::nullopt : parseId(words.positional[0]);
        if (!id || !vpses_.count(*id)) return {false, "remove-vps needs the id of a listed vps"};
        vpses_.erase(*id);
        return changed("removed vps " + std::to_string(*id) + " (its engine stopped)");
    }

    if (command == "add-site") {
        if (words.positional.size() != 1) return {false, "add-site needs the site as one JSON argument"};
        SiteAccess site;
        try {
            site = decodeJSON<SiteAccess>(std::string_view(words.positional[0]));
        } catch (const DecodingError& e) {
            return {false, "not a site: " + e.description()};
        }
        for (const auto& s : world_.sites) {
            if (s.siteId == site.siteId) return {false, "site " + std::to_string(site.siteId) + " exists"};
        }
        world_.sites.push_back(site);
        return changed("added site " + std::to_string(site.siteId) + " \"" + site.name + "\"");
    }
    if (command == "remove-site") {
        auto id = words.positional.empty() ? std::nullopt : parseId(words.positional[0]);
        if (!id) return {false, "remove-site needs the id of a listed site"};
        auto site = std::find_if(world_.sites.begin(), world_.sites.end(), [&](const SiteAccess& s) { return s.siteId == *id; });
        if (site == world_.sites.end()) return {false, "remove-site needs the id of a listed site"};
        world_.sites.erase(site);
        return changed("removed site " + std::to_string(*id));
    }

    if (command == "version") {
        if (words.positional.size() != 1) return {false, "version needs LATEST"};
        SimRelease release = world_.version.value_or(SimRelease{});
        release.latest = words.positional[0];
        if (words.options.count("minimum")) release.minimum = words.options["minimum"];
        if (words.options.count("url")) release.downloadUrl = words.options["url"];
        if (release.filename.empty()) release.filename = "corvane-" + release.latest + ".tar.gz";
        if (release.uploadedAt.empty()) release.uploadedAt = utcNow();
        world_.version = release;
        return changed("published version " + release.latest + ", minimum " + release.minimum.value_or("none"));
    }

    if (command == "unavailable" || command == "stall") {
        auto seconds = words.positional.empty() ? std::nullopt : parseNumber(words.positional[0]);
        // A day at most: far larger numbers would overflow the clock.
        if (!seconds || *seconds <= 0 || *seconds > 86400) return {false, command + " needs a number of seconds up to 86400"};
        auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(*seconds));
        (command == "stall" ? stallUntil_ : unavailableUntil_) = until;
        return changed(command == "stall" ? "holding every answer for " + words.positional[0] + " s"
                                          : "answering 503 for " + words.positional[0] + " s");
    }
    if (command == "recover") {
        unavailableUntil_ = {};
        stallUntil_ = {};
        return changed("answering normally again");
    }

    if (command == "expire-token") {
        if (words.positional.size() != 1) return {false, "expire-token needs an EMAIL or --all"};
        std::size_t count = 0;
        for (auto& [token, session] : sessions_) {
            if (session->email == words.positional[0] && !session->revoked) {
                session->revoked = true;
                ++count;
            }
        }
        return changed("expired " + std::to_string(count) + " token(s) of " + words.positional[0]);
    }
    return {false, "unknown command " + command + "\n" + usage};
}

}  // namespace corvane::panelsim
