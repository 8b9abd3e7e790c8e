// SPDX-License-Identifier: GPL-3.0-or-later
#include "CorvaneCore/Config/ShareUrlParser.hpp"

#include <algorithm>
#include <string>

#include "CorvaneCore/Config/PercentCoding.hpp"
#include "CorvaneCore/Config/Splitter.hpp"
#include "CorvaneCore/Support/Base64.hpp"

namespace corvane::ShareUrlParser {

namespace {

std::string_view trimSpacesAndTabs(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

std::string lowercased(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : static_cast<char>(c); });
    return out;
}

std::vector<std::string> alpnList(std::string_view value) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= value.size()) {
        std::size_t comma = value.find(',', start);
        if (comma == std::string_view::npos) comma = value.size();
        std::string_view piece = trimSpacesAndTabs(value.substr(start, comma - start));
        if (!piece.empty()) out.emplace_back(piece);
        start = comma + 1;
    }
    return out;
}

ShareUrl readHysteria2(Splitter::Parts parts) {
    if (parts.host.empty()) throw ShareUrlError::malformed("missing host");
    if (!parts.port) throw ShareUrlError::malformed("missing port");
    if (parts.rawUserinfo.empty()) throw ShareUrlError::missingParam("password");
    Hysteria2Url url;
    url.host = std::move(parts.host);
    url.port = *parts.port;
    for (auto& [key, value] : parts.queryPairs) {
        if (key == "obfs") {
            url.obfsType = value;
        } else if (key == "obfs-password" || key == "obfsParam") {
            url.obfsPassword = value;
        } else if (key == "sni" || key == "peer") {
            url.sni = value;
        } else if (key == "insecure") {
            url.insecure = value == "1" || lowercased(value) == "true";
        } else if (key == "alpn") {
            url.alpn = alpnList(value);
        } else if (key == "cert") {
            url.certDer = parseCertParam(value);
        }
    }
    if (url.alpn.empty()) url.alpn = {"h3"};
    url.password = PercentCoding::decode(parts.rawUserinfo);
    if (parts.fragment) url.remark = PercentCoding::decode(*parts.fragment);
    return url;
}

ShareUrl readVless(Splitter::Parts parts) {
    if (parts.host.empty()) throw ShareUrlError::malformed("missing host");
    if (parts.rawUserinfo.empty()) throw ShareUrlError::missingParam("uuid");
    VlessRealityUrl url;
    url.host = std::move(parts.host);
    url.port = parts.port.value_or(443);
    std::optional<std::string> sni, publicKey, shortId;
    std::string security;
    for (auto& [key, value] : parts.queryPairs) {
        if (key == "sni") sni = value;
        else if (key == "pbk") publicKey = value;
        else if (key == "sid") shortId = value;
        else if (key == "fp") url.fingerprint = value;
        else if (key == "flow") url.flow = value;
        else if (key == "security") security = value;
    }
    if (security != "reality") throw ShareUrlError::malformed("expected security=reality, got security=\"" + security + "\"");
    if (!sni) throw ShareUrlError::missingParam("sni");
    if (!publicKey) throw ShareUrlError::missingParam("pbk");
    if (!shortId) throw ShareUrlError::missingParam("sid");
    url.sni = std::move(*sni);
    url.publicKey = std::move(*publicKey);
    url.shortId = std::move(*shortId);
    url.uuid = PercentCoding::decode(parts.rawUserinfo);
    if (parts.fragment) url.remark = PercentCoding::decode(*parts.fragment);
    return url;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> parseCertParam(std::string_view value) {
    std::string text(trimSpacesAndTabs(value));
    std::replace(text.begin(), text.end(), '-', '+');
    std::replace(text.begin(), text.end(), '_', '/');
    if (text.empty()) return std::nullopt;
    while (text.size() % 4 != 0) text += '=';
    // Strict: padding only as the last one or two characters of the text.
    std::size_t firstPad = text.find('=');
    if (firstPad != std::string::npos) {
        if (firstPad < text.size() - 2) return std::nullopt;
        if (text.find_first_not_of('=', firstPad) != std::string::npos) return std::nullopt;
    }
    auto bytes = base64Decode(text);
    if (!bytes || bytes->size() < 128 || bytes->size() > 8192) return std::nullopt;
    if (static_cast<unsigned char>(bytes->front()) != 0x30) return std::nullopt;
    return std::vector<std::uint8_t>(bytes->begin(), bytes->end());
}

ShareUrl parse(std::string_view text) {
    Splitter::Parts parts = Splitter::split(text);
    if (parts.scheme == "hysteria2" || parts.scheme == "hy2") return readHysteria2(std::move(parts));
    if (parts.scheme == "vless") return readVless(std::move(parts));
    throw ShareUrlError::unsupportedScheme(parts.scheme);
}

}  // namespace corvane::ShareUrlParser
