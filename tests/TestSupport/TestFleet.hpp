#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CorvaneCore/Panel/PanelRecords.hpp"
#include "TestSupport/TempDir.hpp"
#include "TestSupport/TestCertificates.hpp"
#include "TestSupport/TestEngine.hpp"
#include "TestSupport/TestHttpServer.hpp"

namespace corvane::testing {

// A small, real fleet on loopback: one sing-box server with a VLESS-Reality
// inbound (its handshake target a local TLS 1.3 server) and a Hysteria2
// inbound, plus local HTTP and HTTPS targets to reach through it and a probe
// endpoint for latency tests. The server refuses every destination but
// loopback and the networks the test names, so no probe or lookup of a client
// engine leaves the machine. Everything is ready when the constructor returns.
class TestFleet {
public:
    // The servers listen on `listenAddress`, which the share URLs name; the
    // targets and the handshake server stay on 127.0.0.1. `reachableNetworks`
    // (CIDRs, e.g. of the test's network namespaces) may be reached besides loopback.
    explicit TestFleet(std::string listenAddress = "127.0.0.1", std::vector<std::string> reachableNetworks = {});
    ~TestFleet();
    TestFleet(const TestFleet&) = delete;
    TestFleet& operator=(const TestFleet&) = delete;

    std::uint16_t realityPort() const { return realityPort_; }
    std::uint16_t hysteria2Port() const { return hysteria2Port_; }
    const std::string& uuid() const { return uuid_; }
    const std::string& realityPublicKey() const { return publicKey_; }
    const std::string& realityShortId() const { return shortId_; }
    const std::string& realityServerName() const { return realityServerName_; }
    const std::string& hysteria2Password() const { return hysteria2Password_; }
    // The Hysteria2 server name; the certificates are made for it and for 127.0.0.1.
    const std::string& hysteria2ServerName() const { return hysteria2ServerName_; }
    // The CA (caFile) that clients trust for the Hysteria2 inbound and the HTTPS target.
    const TestCertificates& certificates() const { return certificates_; }

    // Plain HTTP on 127.0.0.1; answers 200 "fleet" until a test scripts it.
    TestHttpServer& httpTarget() { return *httpTarget_; }
    // HTTPS on 127.0.0.1 with `certificates()`; answers 204 a few milliseconds
    // late (an engine counts a latency of 0 ms as a failure) until a test scripts it.
    TestHttpServer& httpsTarget() { return *httpsTarget_; }
    // The fleet's probe endpoint: HTTPS on 127.0.0.1 with `certificates()`,
    // answering 204 a few milliseconds late on every path. Every client engine
    // a test starts uses it as its probe URL (https: the engine replaces an
    // http:// latency-test URL with a public one).
    std::string probeURL() const;
    TestHttpServer& probeEndpoint() { return *probeEndpoint_; }

    // Share URLs in the panel's format.
    std::string realityUrl(const std::string& remark = "Fleet Reality") const;
    // With `pinCertificate` the server certificate travels in "cert"; without, "insecure=1".
    std::string hysteria2Url(const std::string& remark = "Fleet Hysteria2", bool pinCertificate = true) const;
    // A server-list entry for this fleet, as the panel lists a VPS.
    ServerListEntry serverListEntry(std::int64_t vpsId = 1, const std::string& name = "Fleet") const;

    TestEngine& server() { return *server_; }
    const std::filesystem::path& directory() const { return dir_.path(); }

private:
    std::string listenAddress_;
    TempDir dir_;
    TestCertificates certificates_;
    std::string uuid_;
    std::string publicKey_;
    std::string privateKey_;
    std::string shortId_;
    std::string realityServerName_ = "reality.test";
    std::string hysteria2ServerName_ = "localhost";
    std::string hysteria2Password_;
    std::uint16_t realityPort_ = 0;
    std::uint16_t hysteria2Port_ = 0;
    std::unique_ptr<TestHttpServer> handshakeTarget_;
    std::unique_ptr<TestHttpServer> httpTarget_;
    std::unique_ptr<TestHttpServer> httpsTarget_;
    std::unique_ptr<TestHttpServer> probeEndpoint_;
    std::unique_ptr<TestEngine> server_;
};

}  // namespace corvane::testing
