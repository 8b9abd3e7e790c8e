// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace corvane::fleet {

// A certificate authority made on the spot and a server certificate it signed.
struct Certificates {
    std::string caPem;
    std::string certPem;  // server certificate
    std::string keyPem;   // server private key
    std::filesystem::path caFile;
    std::filesystem::path certFile;
    std::filesystem::path keyFile;

    // `names` become the server certificate's subject alternative names
    // (IP addresses are recognised); the files are written into `directory`.
    static Certificates make(const std::filesystem::path& directory,
                                 const std::vector<std::string>& names = {"localhost", "127.0.0.1"});
};

}  // namespace corvane::fleet
