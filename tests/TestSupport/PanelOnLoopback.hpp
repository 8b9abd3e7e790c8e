// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

#include "CorvaneCore/Panel/PanelClient.hpp"
#include "CorvaneCore/Support/HttpClient.hpp"
#include "tools/fleet/TempDir.hpp"
#include "tools/fleet/Certificates.hpp"
#include "tools/fleet/HttpServer.hpp"

namespace corvane::testing {

// A scripted HTTPS panel on 127.0.0.1 with a certificate from a test CA, and a
// PanelClient signed in with the token "tok" that trusts that CA.
struct PanelOnLoopback {
    fleet::TempDir dir;
    fleet::Certificates certs = fleet::Certificates::make(dir.path());
    fleet::HttpServer panel{certs};
    HttpClient http{HttpClientOptions{.extraCAFile = certs.caFile.string()}};
    PanelClient client{panel.url(""), std::string("tok"), &http};
};

}  // namespace corvane::testing
