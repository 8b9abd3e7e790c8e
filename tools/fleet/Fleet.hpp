// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CorvaneCore/Panel/PanelRecords.hpp"
#include "tools/fleet/Certificates.hpp"
#include "tools/fleet/Engine.hpp"
#include "tools/fleet/HttpServer.hpp"
#include "tools/fleet/TempDir.hpp"
#include "tools/fleet/VpsServer.hpp"

namespace corvane::fleet {

// A small, real fleet on loopback: one entry server (VpsServer: VLESS-Reality
// and Hysteria2, its Reality handshake borrowed from a local TLS 1.3 server),
// plus local HTTP and HTTPS targets to reach through it and a probe endpoint
// for latency tests. The server refuses every destination but loopback and the
// networks the test names, so no probe or lookup of a client engine leaves the
// machine. Everything is ready when the constructor returns.
class Fleet {
public:
    // The server listens on `listenAddress`, which the share URLs name; the
    // targets and the handshake server stay on 127.0.0.1. `reachableNetworks`
    // (CIDRs, e.g. of the test's network namespaces) may be reached besides loopback.
    explicit Fleet(std::string listenAddress = "127.0.0.1", std::vector<std::string> reachableNetworks = {});
    ~Fleet();
    Fleet(const Fleet&) = delete;
    Fleet& operator=(const Fleet&) = delete;

    std::uint16_t realityPort() const { return server_->realityPort(); }
    std::uint16_t hysteria2Port() const { return server_->hysteria2Port(); }
    const std::string& uuid() const { return server_->uuid(); }
    const std::string& realityPublicKey() const { return server_->realityPublicKey(); }
    const std::string& realityShortId() const { return server_->realityShortId(); }
    const std::string& realityServerName() const { return server_->realityServerName(); }
    const std::string& hysteria2Password() const { return server_->hysteria2Password(); }
    // The Hysteria2 server name; the certificates are made for it and for 127.0.0.1.
    const std::string& hysteria2ServerName() const { return server_->hysteria2ServerName(); }
    // The CA (caFile) that clients trust for the Hysteria2 inbound and the HTTPS target.
    const Certificates& certificates() const { return certificates_; }

    // Plain HTTP on 127.0.0.1; answers 200 "fleet" until a test scripts it.
    HttpServer& httpTarget() { return *httpTarget_; }
    // HTTPS on 127.0.0.1 with `certificates()`; answers 204 a few milliseconds
    // late (an engine counts a latency of 0 ms as a failure) until a test scripts it.
    HttpServer& httpsTarget() { return *httpsTarget_; }
    // The fleet's probe endpoint: HTTPS on 127.0.0.1 with `certificates()`,
    // answering 204 a few milliseconds late on every path. Every client engine
    // a test starts uses it as its probe URL (https: the engine replaces an
    // http:// latency-test URL with a public one).
    std::string probeURL() const;
    HttpServer& probeEndpoint() { return *probeEndpoint_; }

    // Share URLs in the panel's format.
    std::string realityUrl(const std::string& remark = "Fleet Reality") const { return server_->realityUrl(remark); }
    // With `pinCertificate` the server certificate travels in "cert"; without, "insecure=1".
    std::string hysteria2Url(const std::string& remark = "Fleet Hysteria2", bool pinCertificate = true) const {
        return server_->hysteria2Url(remark, pinCertificate);
    }
    // A server-list entry for this fleet, as the panel lists a VPS.
    ServerListEntry serverListEntry(std::int64_t vpsId = 1, const std::string& name = "Fleet") const;

    Engine& server() { return server_->engine(); }
    VpsServer& vps() { return *server_; }
    const std::filesystem::path& directory() const { return dir_.path(); }

private:
    std::string listenAddress_;
    TempDir dir_;
    Certificates certificates_;
    std::unique_ptr<HttpServer> handshakeTarget_;
    std::unique_ptr<HttpServer> httpTarget_;
    std::unique_ptr<HttpServer> httpsTarget_;
    std::unique_ptr<HttpServer> probeEndpoint_;
    std::unique_ptr<VpsServer> server_;
};

}  // namespace corvane::fleet
