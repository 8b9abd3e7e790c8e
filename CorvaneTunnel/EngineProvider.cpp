// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneTunnel/EngineProvider.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <system_error>
#include <utility>

#include <boost/asio/post.hpp>

#include "CorvaneCore/Config/ConfigAllowList.hpp"
#include "CorvaneCore/Config/LocalAddresses.hpp"
#include "CorvaneCore/Config/TunnelConfig.hpp"
#include "CorvaneCore/Support/AtomicFile.hpp"
#include "CorvaneCore/Support/FileDescriptor.hpp"
#include "CorvaneCore/Support/JSONValue.hpp"
#include "CorvaneCore/Support/LoopbackListener.hpp"
#include "CorvaneTunnel/EngineLog.hpp"
#include "CorvaneTunnel/LinuxTunnelMode.hpp"
#include "CorvaneTunnel/MemoryEvents.hpp"

namespace corvane {

namespace {

constexpr std::string_view kTarget = "tunnel";

// A port on 127.0.0.1 that nobody listens on right now, chosen by the kernel.
std::uint16_t freeLoopbackPort() {
    FileDescriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (!fd.valid() || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        throw std::system_error(errno, std::generic_category(), "cannot find a free port for the control API");
    }
    return ntohs(addr.sin_port);
}

// Whether a listener could have 127.0.0.1:`port` now (as the engine's would:
// a connection in TIME_WAIT does not count).
bool loopbackPortIsFree(std::uint16_t port) {
    FileDescriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int on = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return fd.valid() && ::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

// 192 bits from the CSPRNG, as hex.
std::string freshSecret() {
    unsigned char bytes[24];
    randomBytes(bytes, sizeof bytes);
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

// "FATAL[0000] start service: ..." reads better without the logger's prefix.
std::string describeEngineError(const std::string& line) {
    LogLine parsed = parseEngineLogLine(line, std::chrono::system_clock::now());
    if (parsed.message.empty()) return line;
    return parsed.target.empty() ? parsed.message : parsed.target + ": " + parsed.message;
}

}  // namespace

EngineProvider::EngineProvider(boost::asio::any_io_executor executor, Settings settings)
    : executor_(std::move(executor)),
      settings_(std::move(settings)),
      lifecycle_([log = log_](std::exception_ptr error) {
          try {
              std::rethrow_exception(error);
          } catch (const std::exception& e) {
              log->append("WARN", std::string(kTarget), std::string("stopping the engine failed: ") + e.what());
          } catch (...) {
          }
      }),
      self_(std::make_shared<EngineProvider*>(this)) {}

EngineProvider::~EngineProvider() = default;

std::string EngineProvider::prepare(const std::string& config, std::uint16_t controlPort, const std::string& secret) {
    return prepareDocument(config, controlPort, secret).serialize();
}

KillSwitchRules EngineProvider::blockRulesFor(const JSONValue& prepared, std::optional<std::uint32_t> engineUID) {
    KillSwitchRules rules;
    rules.engineUID = engineUID;
    if (const JSONValue* inbounds = prepared.find("inbounds"); inbounds && inbounds->array()) {
        for (const JSONValue& inbound : *inbounds->array()) {
            const JSONValue* tag = inbound.find("tag");
            const JSONValue* listen = inbound.find("listen");
            const JSONValue* port = inbound.find("listen_port");
            if (!tag || !tag->string() || *tag->string() != "lan-share" || !listen || !listen->string() || !port ||
                !port->number()) {
                continue;
            }
            rules.lanShareAddress = *listen->string();
            rules.lanSharePort = static_cast<std::uint16_t>(*port->number());
        }
    }
    return rules;
}

JSONValue EngineProvider::prepareDocument(const std::string& config, std::uint16_t controlPort, const std::string& secret) {
    const std::string* text = &config;
    std::string accepted;
    if (settings_.strict || settings_.mode == ServiceMode::system) {
        // From here on only the shape the app builds, written anew, is used: never the client's text.
        try {
            accepted = ConfigAllowList::checkText(config, {.ruleSetBaseURL = settings_.ruleSetBaseURL});
            text = &accepted;
        } catch (const ConfigAllowList::Refusal& e) {
            throw std::runtime_error("the service accepts only configurations the app builds: " + e.description());
        }
    }
    std::string withAPI = TunnelConfig::withClashAPI(*text, controlPort, secret);
    std::set<std::string> addresses;
    for (const auto& a : LocalAddresses::ipv4Interfaces()) addresses.insert(a.address);
    auto checked = TunnelConfig::droppingStaleLanShare(withAPI, addresses);
    if (checked.dropped) {
        note("WARN", "LAN sharing is off: " + *checked.dropped + " is no longer an address of this device");
    }
    JSONValue document = JSONValue::parse(checked.config);
    confineEngineFiles(document);
    applyLinuxTunnelMode(document, settings_.mode, proxyPort_ != 0 ? proxyPort_ : settings_.proxyPort);
    // The kill switch lets the engine's own connections out by this mark.
    if (settings_.killSwitch) document["route"]["default_mark"] = KillSwitchRules{}.engineMark;
    return document;
}

std::uint16_t EngineProvider::chooseProxyPort() {
    const std::uint16_t wanted = settings_.proxyPort;
    if (loopbackPortIsFree(wanted)) return wanted;
    // Another program has it (and would receive what this user's programs send
    // to the proxy): keep to the port used last while it is free, else a new one.
    const std::uint16_t chosen = proxyPort_ != 0 && proxyPort_ != wanted && loopbackPortIsFree(proxyPort_) ? proxyPort_
                                                                                                          : freeLoopbackPort();
    std::string holder;
    try {
        if (auto listeners = loopbackListeners(wanted); !listeners.empty()) holder = " by uid " + std::to_string(listeners.front().uid);
    } catch (const std::system_error&) {
        // Who holds it only adds to the message.
    }
    note("WARN", "127.0.0.1:" + std::to_string(wanted) + " is taken" + holder + "; the local proxy is on 127.0.0.1:" +
                     std::to_string(chosen) + " instead");
    return chosen;
}

void EngineProvider::note(std::string level, std::string message) {
    if (settings_.onServiceLine) settings_.onServiceLine(level, message);
    log_->append(std::move(level), std::string(kTarget), std::move(message));
}

Async<void> EngineProvider::start(std::map<std::string, std::string> options, std::uint64_t generation) {
    generation_ = generation;
    run_.reset();
    lastError_.reset();
    // A start that a later start or stop superseded failed on purpose: not an error to report.
    auto fail = [this, generation](std::string text) {
        const bool current = generation == generation_;
        if (current) {
            lastError_ = text;
            run_.reset();
        }
        note(current ? "ERROR" : "INFO", (current ? "the tunnel did not start: " : "the start was called off: ") + text);
        return TunnelStartError(PlatformError{std::string(EngineErrorDomain), EngineErrorCode::startFailed, std::move(text)});
    };

    auto config = options.find(std::string(TunnelIPC::StartOption::config));
    if (config == options.end()) throw fail("the start options carry no engine configuration");
    // The account first: the kill switch lets only its LAN share replies out.
    EngineProcess::Options engine;
    if (settings_.engineAccount) {
        try {
            engine.account = findEngineAccount(*settings_.engineAccount);
            if (!engine.account) {
                throw std::runtime_error("the engine's account " + *settings_.engineAccount +
                                         " does not exist (the package's sysusers.d file creates it)");
            }
            prepareEngineFolder(settings_.workingDirectory, *engine.account);
        } catch (const std::exception& e) {
            throw fail(std::string("the engine cannot run unprivileged: ") + e.what());
        }
    }
    const std::uint32_t owner = engine.account ? engine.account->uid : static_cast<std::uint32_t>(::geteuid());
    std::uint16_t port = 0;
    std::string secret = freshSecret(), prepared;
    KillSwitchRules block;
    try {
        port = freeLoopbackPort();
        if (settings_.mode == ServiceMode::user) proxyPort_ = chooseProxyPort();
        JSONValue document = prepareDocument(config->second, port, secret);
        block = blockRulesFor(document, owner);
        if (settings_.killSwitch) block.allowLAN = settings_.killSwitch->lockdown().enabled && settings_.killSwitch->lockdown().allowLAN;
        prepared = document.serialize();
    } catch (const std::exception& e) {
        throw fail(std::string("the engine configuration cannot be used: ") + e.what());
    }
    if (settings_.killSwitch) {
        // Before the engine starts, so nothing leaves outside the tunnel while it
        // connects; a start that cannot block fails rather than leak.
        std::optional<std::string> failure;
        try {
            if (settings_.killSwitch->rules() != block || !settings_.killSwitch->engaged()) {
                settings_.killSwitch->engage(block);
                note("INFO", "traffic outside the tunnel is blocked until you disconnect");
            }
        } catch (const std::exception& e) {
            failure = std::string("traffic outside the tunnel cannot be blocked: ") + e.what();
        }
        if (failure) throw fail(std::move(*failure));
    }

    if (engine.account) {
        struct stat tun {};
        if (::stat("/dev/net/tun", &tun) == 0 && (tun.st_mode & 0006) != 0006 && tun.st_uid != engine.account->uid) {
            note("WARN", "the engine's account " + engine.account->name +
                             " may not open /dev/net/tun, so the TUN interface will fail (udev usually makes it 0666)");
        }
    }
    engine.executable = settings_.engine;
    engine.workingDirectory = settings_.workingDirectory;
    engine.configuration = std::move(prepared);
    engine.controlPort = port;
    engine.controlSecret = secret;
    engine.startTimeout = settings_.startTimeout;
    engine.onLine = [log = log_](std::string line) { log->append(parseEngineLogLine(line, std::chrono::system_clock::now())); };
    engine.onUnexpectedExit = [weak = std::weak_ptr(self_), executor = executor_, generation](int status, std::string lastError) {
        boost::asio::post(executor, [weak, generation, status, lastError = std::move(lastError)]() mutable {
            if (auto self = weak.lock()) (*self)->engineExited(generation, status, std::move(lastError));
        });
    };

    const auto oomKillsBefore = MemoryEvents::oomKills();
    run_ = Run{.generation = generation, .port = port, .secret = secret, .owner = owner, .oomKillsBefore = oomKillsBefore};
    if (settings_.mode == ServiceMode::user) run_->proxyPort = proxyPort_;
    note("INFO", "starting the engine");
    TunnelServiceLifecycle<EngineService>::Make make = [engine = std::move(engine)] { return std::make_shared<EngineService>(engine); };
    TunnelServiceLifecycle<EngineService>::DidStart didStart = [](const auto&) {};
    std::optional<std::string> failure;
    try {
        co_await lifecycle_.start(std::move(make), std::move(didStart));
    } catch (const TunnelStartCancelled&) {
        failure = "the start was overtaken by a stop or another start";
    } catch (const EngineStartError& e) {
        const bool outOfMemory = e.exitStatus() && MemoryEvents::killedForMemory(*e.exitStatus(), oomKillsBefore);
        failure = outOfMemory ? std::string(MemoryEvents::engineKilledForMemory) : describeEngineError(e.what());
    } catch (const std::exception& e) {
        failure = e.what();
    }
    if (!failure && generation != generation_) failure = "the start was overtaken by a stop or another start";
    // The engine may have ended between answering and this point; it is then a failed start.
    if (!failure && (!run_ || run_->endedWith)) failure = run_ ? *run_->endedWith : "the engine exited";
    if (failure) throw fail(std::move(*failure));
    run_->startedAtUnix =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    note("INFO", "the engine is up; its control API is on 127.0.0.1:" + std::to_string(port));
}

Async<void> EngineProvider::stop(std::uint64_t generation) {
    generation_ = generation;
    const bool held = std::exchange(run_, std::nullopt).has_value();
    co_await lifecycle_.stop();
    if (held) note("INFO", "the engine stopped");
}

void EngineProvider::engineExited(std::uint64_t generation, int exitStatus, std::string lastError) {
    if (!run_ || run_->generation != generation) return;  // a stop or a newer start came first
    std::string text;
    if (MemoryEvents::killedForMemory(exitStatus, run_->oomKillsBefore)) {
        text = MemoryEvents::engineKilledForMemory;
    } else if (!lastError.empty()) {
        text = describeEngineError(lastError);
    } else if (exitStatus > 128) {
        text = "the engine was ended by signal " + std::to_string(exitStatus - 128) + " (" + ::strsignal(exitStatus - 128) + ")";
    } else {
        text = "the engine exited with status " + std::to_string(exitStatus);
    }
    if (!run_->startedAtUnix) {
        run_->endedWith = std::move(text);  // its start is still being finished and fails with this
        return;
    }
    run_.reset();
    lastError_ = text;
    note("ERROR", "the engine stopped unexpectedly: " + text);
    if (onUnexpectedStop) {
        onUnexpectedStop(generation, PlatformError{std::string(EngineErrorDomain), EngineErrorCode::exited, std::move(text)});
    }
}

TunnelIPC::StatusReply EngineProvider::statusReply() const {
    TunnelIPC::StatusReply reply;
    if (run_ && run_->startedAtUnix) {
        reply.clashPort = run_->port;
        reply.clashSecret = run_->secret;
        reply.startedAtUnix = run_->startedAtUnix;
        reply.clashOwnerUID = run_->owner;
        if (run_->proxyPort) reply.localProxy = "127.0.0.1:" + std::to_string(*run_->proxyPort);
    }
    reply.lastError = lastError_;
    return reply;
}

Async<std::optional<std::string>> EngineProvider::handleMessage(std::string message) {
    std::optional<TunnelIPC::Request> request;
    try {
        request = decodeJSON<TunnelIPC::Request>(std::string_view(message));
    } catch (const std::exception& e) {
        // As the system does with a message the provider cannot read: no reply.
        note("WARN", std::string("an unreadable request was ignored: ") + e.what());
        co_return std::nullopt;
    }
    if (request->as<TunnelIPC::Request::Status>()) co_return encodeJSON(statusReply());
    if (const auto* logs = request->as<TunnelIPC::Request::Logs>()) {
        co_return encodeJSON(TunnelIPC::LogsReply{log_->after(logs->after)});
    }
    const bool performed = co_await lifecycle_.resetNetwork();
    note("INFO", performed ? "closed every connection to recover the network" : "no engine runs: nothing to recover");
    co_return encodeJSON(TunnelIPC::ActionReply{performed});
}

}  // namespace corvane
