// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Config/ShareUrl.hpp"

#include "CorvaneCore/Support/Base64.hpp"

namespace corvane {

std::optional<std::string> Hysteria2Url::pinnedCertPem() const {
    if (!certDer) return std::nullopt;
    std::string encoded = base64Encode(std::string_view(reinterpret_cast<const char*>(certDer->data()), certDer->size()));
    std::string pem = "-----BEGIN CERTIFICATE-----\n";
    pem.reserve(pem.size() + encoded.size() + encoded.size() / 64 + 32);
    for (std::size_t i = 0; i < encoded.size(); i += 64) {
        pem.append(encoded, i, 64);
        pem += '\n';
    }
    pem += "-----END CERTIFICATE-----\n";
    return pem;
}

const std::string& ShareUrl::host() const {
    return std::visit([](const auto& url) -> const std::string& { return url.host; }, value_);
}

const std::optional<std::string>& ShareUrl::remark() const {
    return std::visit([](const auto& url) -> const std::optional<std::string>& { return url.remark; }, value_);
}

ShareUrlError::ShareUrlError(Case c, std::string payload) : case_(c), payload_(std::move(payload)) {
    switch (case_) {
    case Case::unsupportedScheme:
        description_ = "unsupported scheme: expected hysteria2:// or vless://, got " + payload_;
        break;
    case Case::malformed: description_ = "malformed URL: " + payload_; break;
    case Case::missingParam: description_ = "missing required parameter: " + payload_; break;
    }
}

}  // namespace corvane
