// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/any_io_executor.hpp>

#include "CorvaneCore/Config/DeploymentValues.hpp"
#include "CorvaneCore/Support/JSONValue.hpp"
#include "CorvaneCore/Tunnel/TunnelServiceLifecycle.hpp"
#include "CorvaneTunnel/SequencedLog.hpp"
#include "CorvaneTunnel/EngineProcess.hpp"
#include "CorvaneTunnel/EngineService.hpp"
#include "CorvaneTunnel/KillSwitch.hpp"
#include "CorvaneTunnel/PeerCredentials.hpp"
#include "CorvaneTunnel/TunnelProvider.hpp"

namespace corvane {

// The tunnel provider of corvane-tunnel: prepares the configuration it is
// started with, runs sing-box under a TunnelServiceLifecycle, numbers the
// engine's log lines and answers the app's TunnelIPC requests. Lives on the
// service's executor; the engine's own threads only post to it.
class EngineProvider final : public TunnelProvider {
public:
    struct Settings {
        std::filesystem::path engine;            // the sing-box executable
        std::filesystem::path workingDirectory;  // the engine's -D folder
        ServiceMode mode = ServiceMode::user;
        // Accept only configurations of the shape the app builds (always so in system mode).
        bool strict = false;
        // Where those may fetch remote rule sets from: the operator's rule_set_base_url.
        std::string ruleSetBaseURL{DeploymentValues::ruleSetBaseURL};
        // Run the engine as this account, with only the capabilities a TUN tunnel needs (system mode).
        std::optional<std::string> engineAccount;
        std::uint16_t proxyPort = 2080;          // user mode's local proxy
        // Blocks traffic outside the tunnel from each start on (system mode);
        // the engine's own connections carry its mark. None: no block.
        KillSwitch* killSwitch = nullptr;
        std::chrono::milliseconds startTimeout{60'000};  // remote rule sets are fetched during the start
        // Also told every line the service itself logs (level, text), e.g. for its own output.
        std::function<void(const std::string&, const std::string&)> onServiceLine;
    };

    EngineProvider(boost::asio::any_io_executor executor, Settings settings);
    ~EngineProvider() override;

    Async<void> start(std::map<std::string, std::string> options, std::uint64_t generation) override;
    Async<void> stop(std::uint64_t generation) override;
    Async<std::optional<std::string>> handleMessage(std::string message) override;

    // The numbered lines of the engine and of the service itself.
    SequencedLog& log() noexcept { return *log_; }
    // The configuration the engine gets for `config`: the control API on
    // 127.0.0.1:`controlPort` with `secret`, a LAN share on an address the
    // device no longer has left out, and the Linux step for `mode`. Throws
    // std::exception with a sentence for people when the text is not a configuration.
    std::string prepare(const std::string& config, std::uint16_t controlPort, const std::string& secret);
    // What the kill switch lets through for a prepared configuration: the
    // engine's mark and the LAN share's replies from the engine's account.
    static KillSwitchRules blockRulesFor(const JSONValue& prepared, std::optional<std::uint32_t> engineUID = std::nullopt);

private:
    JSONValue prepareDocument(const std::string& config, std::uint16_t controlPort, const std::string& secret);
    // User mode: the configured proxy port, or, when another program holds it,
    // the one used last or a free one (said in the log and the status reply).
    std::uint16_t chooseProxyPort();

    // The engine of one start, from the start until a stop, a later start or its own end.
    struct Run {
        std::uint64_t generation = 0;
        std::uint16_t port = 0;
        std::string secret;
        std::uint32_t owner = 0;                    // whose listener the control port must be
        std::optional<std::uint16_t> proxyPort;     // user mode's local proxy
        std::optional<std::int64_t> startedAtUnix;  // once its control API answered
        std::optional<std::string> endedWith;       // it ended on its own before its start was through
        std::optional<std::uint64_t> oomKillsBefore;  // the service's cgroup's OOM kills when it started
    };

    TunnelIPC::StatusReply statusReply() const;
    void note(std::string level, std::string message);
    void engineExited(std::uint64_t generation, int exitStatus, std::string lastError);

    boost::asio::any_io_executor executor_;
    Settings settings_;
    std::shared_ptr<SequencedLog> log_ = std::make_shared<SequencedLog>();
    TunnelServiceLifecycle<EngineService> lifecycle_;
    // All of this is touched on the executor only; the engine's threads post to it.
    std::uint64_t generation_ = 0;  // of the latest start or stop
    std::optional<Run> run_;         // belongs to generation_ whenever it is set
    std::optional<std::string> lastError_;
    std::uint16_t proxyPort_ = 0;  // where the local proxy went last
    // Posted work holds this weakly, so it does nothing once the provider is gone.
    std::shared_ptr<EngineProvider*> self_;
};

}  // namespace corvane
