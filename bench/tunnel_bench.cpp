// SPDX-License-Identifier: GPL-3.0-or-later
// The tunnel service's per-line and per-start work: splitting engine output into
// log lines, serving a logs request, and preparing a configuration for the engine.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "CorvaneCore/Config/ConfigBuilder.hpp"
#include "CorvaneCore/Config/ShareUrlParser.hpp"
#include "CorvaneTunnel/EngineLog.hpp"
#include "CorvaneTunnel/SequencedLog.hpp"
#include "CorvaneTunnel/EngineProvider.hpp"
#include "CorvaneCore/Support/LoopbackListener.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace corvane;

namespace {

const auto kNow = std::chrono::system_clock::time_point(std::chrono::seconds(1748769307));

// What the engine prints at level info under load: mostly connection lines, with
// the odd routing error, its other logger's warnings and a little colour.
std::vector<std::string> engineOutput(int count) {
    std::vector<std::string> lines;
    for (int i = 0; i < count; ++i) {
        const std::string id = std::to_string(1000000000u + static_cast<unsigned>(i) * 2654435761u % 3000000000u);
        const std::string ip = "203.0.113." + std::to_string(i % 250);
        switch (i % 8) {
        case 0:
            lines.push_back("+0800 2025-06-01 09:15:07 INFO [" + id + " 0ms] inbound/tun[tun-in]: inbound connection from 172.18.0.1:" +
                            std::to_string(40000 + i % 20000));
            break;
        case 1:
            lines.push_back("+0800 2025-06-01 09:15:07 INFO [" + id + " 1ms] inbound/tun[tun-in]: inbound connection to " + ip + ":443");
            break;
        case 2:
            lines.push_back("+0800 2025-06-01 09:15:07 INFO [" + id + " 3ms] outbound/vless[proxy-1]: outbound connection to " + ip + ":443");
            break;
        case 3:
            lines.push_back("+0800 2025-06-01 09:15:08 ERROR [" + id + " 5.2s] connection: open connection to " + ip +
                            ":443 using outbound/hysteria2[proxy-0]: dial udp 198.51.100.7:443: i/o timeout");
            break;
        case 4:
            lines.push_back("+0800 2025-06-01 09:15:08 INFO [" + id + " 12ms] dns: exchanged www.example.com A 300");
            break;
        case 5:
            lines.push_back("\x1b[33mWARN\x1b[0m[0042] missing `route.default_domain_resolver` is deprecated");
            break;
        case 6:
            lines.push_back("+0800 2025-06-01 09:15:09 INFO [" + id + " 2m5s] outbound/direct[direct]: outbound packet connection to " + ip + ":53");
            break;
        default:
            lines.push_back("+0800 2025-06-01 09:15:09 INFO network: updated default interface wlp2s0, index 3");
        }
    }
    return lines;
}

void BM_ParseEngineLines(benchmark::State& state) {
    auto lines = engineOutput(1000);
    std::size_t bytes = 0;
    for (const auto& l : lines) bytes += l.size();
    for (auto _ : state) {
        for (const auto& l : lines) benchmark::DoNotOptimize(parseEngineLogLine(l, kNow));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_ParseEngineLines)->Unit(benchmark::kMicrosecond);

// A logs request: the app polls with the last number it holds (a few new lines), or asks for everything.
void BM_LogsAfter(benchmark::State& state) {
    SequencedLog log;
    for (const auto& l : engineOutput(2000)) log.append(parseEngineLogLine(l, kNow));
    const std::int64_t after = log.lastSequence() - state.range(0);
    for (auto _ : state) {
        auto reply = encodeJSON(TunnelIPC::LogsReply{log.after(after)});
        benchmark::DoNotOptimize(reply);
    }
    state.SetLabel(std::to_string(state.range(0)) + " new lines, encoded");
}
BENCHMARK(BM_LogsAfter)->Arg(10)->Arg(500)->Unit(benchmark::kMicrosecond);

void BM_PrepareConfiguration(benchmark::State& state) {
    const int servers = static_cast<int>(state.range(0));
    ConfigBuilder::Inputs inputs;
    for (int i = 0; i < servers; ++i) {
        inputs.shares.push_back(ShareUrlParser::parse("vless://0d9b5c3e-6f1a-4b8e-9c2d-7a3f5e1b9c4d@203.0." + std::to_string(i / 250) +
                                                      "." + std::to_string(i % 250) +
                                                      ":443?security=reality&sni=www.example.com&fp=chrome"
                                                      "&pbk=SRPr2hNrAl3dkYKhmY2nQXxHb6N4K5W3tBpZ9JbqL0c&sid=6ba85179e30d4fc2#S"));
    }
    const std::string config = ConfigBuilder::build(inputs).serialize();
    boost::asio::io_context io;
    EngineProvider provider(io.get_executor(), EngineProvider::Settings{.mode = ServiceMode::system});
    for (auto _ : state) {
        benchmark::DoNotOptimize(provider.prepare(config, 40000, "0123456789abcdef0123456789abcdef0123456789abcdef"));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * config.size()));
}
BENCHMARK(BM_PrepareConfiguration)->Arg(10)->Arg(1000)->Unit(benchmark::kMicrosecond);

// What every request with the engine's secret pays first: the kernel's table
// of the port's listeners, and this process's sockets (the engine's, in the
// service), among `others` listeners elsewhere.
void BM_CheckControlListener(benchmark::State& state) {
    std::vector<int> fds;
    auto listen = [&] {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof addr;
        ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(fd, 4);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
        fds.push_back(fd);
        return ntohs(addr.sin_port);
    };
    const std::uint16_t port = listen();
    for (int i = 0; i < state.range(0); ++i) listen();
    const bool withInodes = state.range(1) != 0;
    for (auto _ : state) {
        ListenerExpectation expected{.uid = static_cast<std::uint32_t>(::geteuid())};
        if (withInodes) expected.inodes = socketInodesOf(::getpid());
        benchmark::DoNotOptimize(checkLoopbackListener(port, expected));
    }
    for (int fd : fds) ::close(fd);
    state.SetLabel(std::to_string(state.range(0)) + " other listeners" + (withInodes ? ", with the process's sockets" : ""));
}
BENCHMARK(BM_CheckControlListener)->Args({0, 0})->Args({200, 0})->Args({200, 1})->Unit(benchmark::kMicrosecond);

}  // namespace
