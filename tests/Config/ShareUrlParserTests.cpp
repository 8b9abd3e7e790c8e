// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <algorithm>

#include "CorvaneCore/Config/PercentCoding.hpp"
#include "CorvaneCore/Config/ShareUrlParser.hpp"
#include "CorvaneCore/Config/Splitter.hpp"
#include "CorvaneCore/Support/Base64.hpp"
#include "tools/fleet/TempDir.hpp"
#include "tools/fleet/Certificates.hpp"

using namespace corvane;

namespace {

const char* kVless = "vless://6f1c2a4e-8b3d-4c5e-9a7f-0b1c2d3e4f50@vpn.example.net:8443?security=reality&sni=www.example.com"
                     "&pbk=BoyfA7zDUQj6BrJQNq1BtbYTXhgsZyc-Q65n2ktuRSE&sid=9d13&type=tcp&encryption=none#Tokyo";

VlessRealityUrl parseVless(const std::string& text) {
    ShareUrl url = ShareUrlParser::parse(text);
    EXPECT_NE(url.vlessReality(), nullptr) << text;
    return url.vlessReality() ? *url.vlessReality() : VlessRealityUrl{};
}

Hysteria2Url parseHysteria2(const std::string& text) {
    ShareUrl url = ShareUrlParser::parse(text);
    EXPECT_NE(url.hysteria2(), nullptr) << text;
    return url.hysteria2() ? *url.hysteria2() : Hysteria2Url{};
}

std::string base64url(std::string_view bytes) {
    std::string text = base64Encode(bytes);
    std::replace(text.begin(), text.end(), '+', '-');
    std::replace(text.begin(), text.end(), '/', '_');
    text.erase(std::remove(text.begin(), text.end(), '='), text.end());
    return text;
}

// The DER bytes inside a PEM certificate.
std::string derOf(const std::string& pem) {
    std::string body;
    std::size_t begin = pem.find('\n') + 1, end = pem.find("-----END");
    for (char c : pem.substr(begin, end - begin)) {
        if (c != '\n') body += c;
    }
    return *base64Decode(body);
}

}  // namespace

TEST(ShareUrlParser, VlessRealityFieldsDefaultsAndDecoding) {
    VlessRealityUrl url = parseVless(kVless);
    EXPECT_EQ(url, (VlessRealityUrl{.host = "vpn.example.net", .port = 8443, .uuid = "6f1c2a4e-8b3d-4c5e-9a7f-0b1c2d3e4f50",
                                    .sni = "www.example.com", .publicKey = "BoyfA7zDUQj6BrJQNq1BtbYTXhgsZyc-Q65n2ktuRSE",
                                    .shortId = "9d13", .fingerprint = "chrome", .flow = "", .remark = "Tokyo"}));

    struct Case { std::string text; VlessRealityUrl expected; };
    const Case cases[] = {
        // No port: 443. Scheme in capitals. Empty sni passes. Last occurrence of a key wins.
        {"VLESS://u@h?security=reality&sni=&pbk=k&sid=1&sid=2&fp=firefox&flow=xtls-rprx-vision",
         {.host = "h", .port = 443, .uuid = "u", .sni = "", .publicKey = "k", .shortId = "2", .fingerprint = "firefox",
          .flow = "xtls-rprx-vision"}},
        // The last "@" splits: the first stays in the uuid; %40 decodes; a path is dropped; the host is never decoded.
        {"vless://a@b%40c@h%41st:1/some/path?security=reality&sni=s&pbk=k&sid=#Two%20words",
         {.host = "h%41st", .port = 1, .uuid = "a@b@c", .sni = "s", .publicKey = "k", .shortId = "", .remark = "Two words"}},
        // Bracketed IPv6 with a port; "+" in a query value is a space, %2B a plus.
        {"vless://u@[2001:db8::1]:8443?security=reality&sni=a+b&pbk=x%2By&sid=s",
         {.host = "2001:db8::1", .port = 8443, .uuid = "u", .sni = "a b", .publicKey = "x+y", .shortId = "s"}},
        // Bracketed host followed by something other than ":": no port, the rest dropped.
        {"vless://u@[::1]junk?security=reality&sni=s&pbk=k&sid=s",
         {.host = "::1", .port = 443, .uuid = "u", .sni = "s", .publicKey = "k", .shortId = "s"}},
        // Unbracketed IPv6 splits at its last colon.
        {"vless://u@2001:db8::7?security=reality&sni=s&pbk=k&sid=s",
         {.host = "2001:db8:", .port = 7, .uuid = "u", .sni = "s", .publicKey = "k", .shortId = "s"}},
    };
    for (const auto& c : cases) EXPECT_EQ(parseVless(c.text), c.expected) << c.text;
}

TEST(ShareUrlParser, Hysteria2FieldsFlagsAndAlpn) {
    Hysteria2Url url = parseHysteria2("hysteria2://p%40ss@hy.example.net:8443/?obfs=salamander&obfs-password=o1&obfsParam=o2"
                                      "&sni=first&peer=second&insecure=TRUE&alpn=h3,%20h2,,#Home%20HY2");
    EXPECT_EQ(url, (Hysteria2Url{.host = "hy.example.net", .port = 8443, .password = "p@ss", .obfsType = "salamander",
                                 .obfsPassword = "o2", .sni = "second", .insecure = true, .alpn = {"h3", "h2"},
                                 .remark = "Home HY2"}));
    EXPECT_TRUE(url.effectiveInsecure());
    EXPECT_EQ(url.pinnedCertPem(), std::nullopt);

    struct Case { const char* query; bool insecure; std::vector<std::string> alpn; };
    const Case cases[] = {
        {"insecure=1", true, {"h3"}},        {"insecure=true", true, {"h3"}},  {"insecure=True", true, {"h3"}},
        {"insecure=yes", false, {"h3"}},     {"insecure=1&insecure=0", false, {"h3"}},
        {"alpn=", false, {"h3"}},            {"alpn=,,", false, {"h3"}},       {"alpn=h2", false, {"h2"}},
        {"alpn=%09h3%20,h2", false, {"h3", "h2"}},
    };
    for (const auto& c : cases) {
        Hysteria2Url u = parseHysteria2(std::string("hy2://pw@h:1?") + c.query);
        EXPECT_EQ(u.insecure, c.insecure) << c.query;
        EXPECT_EQ(u.alpn, c.alpn) << c.query;
    }
    // Port 0 and a sign are accepted by the port reader.
    EXPECT_EQ(parseHysteria2("Hy2://pw@h:0").port, 0);
    EXPECT_EQ(parseHysteria2("HYSTERIA2://pw@h:-0").port, 0);
    EXPECT_EQ(parseHysteria2("hysteria2://pw@h:+0443").port, 443);
}

TEST(ShareUrlParser, EveryFailureNamesItsDefect) {
    struct Case { std::string text; ShareUrlError error; const char* description; };
    const Case cases[] = {
        {"vless:/u@h", ShareUrlError::malformed("expected scheme://"), "malformed URL: expected scheme://"},
        {"://u@h", ShareUrlError::malformed("empty scheme"), "malformed URL: empty scheme"},
        {"vless://u@[::1:443", ShareUrlError::malformed("unterminated IPv6 literal"), "malformed URL: unterminated IPv6 literal"},
        {"vless://u@h:", ShareUrlError::malformed("bad port: "), "malformed URL: bad port: "},
        {"hy2://p@h:65536", ShareUrlError::malformed("bad port: 65536"), "malformed URL: bad port: 65536"},
        {"hy2://p@h:-1", ShareUrlError::malformed("bad port: -1"), "malformed URL: bad port: -1"},
        {"hy2://p@h:12a", ShareUrlError::malformed("bad port: 12a"), "malformed URL: bad port: 12a"},
        {"hy2://p@h:99999999999999999999", ShareUrlError::malformed("bad port: 99999999999999999999"),
         "malformed URL: bad port: 99999999999999999999"},
        // The port is read before the scheme is looked at.
        {"ss://x@h:bad", ShareUrlError::malformed("bad port: bad"), "malformed URL: bad port: bad"},
        {"Trojan://x@h:1", ShareUrlError::unsupportedScheme("trojan"),
         "unsupported scheme: expected hysteria2:// or vless://, got trojan"},
        {"hysteria2://p@:443", ShareUrlError::malformed("missing host"), "malformed URL: missing host"},
        {"vless://u@?security=reality", ShareUrlError::malformed("missing host"), "malformed URL: missing host"},
        {"hysteria2://p@h", ShareUrlError::malformed("missing port"), "malformed URL: missing port"},
        {"hysteria2://h:443", ShareUrlError::missingParam("password"), "missing required parameter: password"},
        {"vless://h:443?security=reality&sni=s&pbk=k&sid=i", ShareUrlError::missingParam("uuid"),
         "missing required parameter: uuid"},
        {"vless://u@h?sni=s&pbk=k&sid=i", ShareUrlError::malformed("expected security=reality, got security=\"\""),
         "malformed URL: expected security=reality, got security=\"\""},
        {"vless://u@h?security=Reality&sni=s&pbk=k&sid=i", ShareUrlError::malformed("expected security=reality, got security=\"Reality\""),
         "malformed URL: expected security=reality, got security=\"Reality\""},
        {"vless://u@h?security=tls", ShareUrlError::malformed("expected security=reality, got security=\"tls\""),
         "malformed URL: expected security=reality, got security=\"tls\""},
        {"vless://u@h?security=reality&pbk=k&sid=i", ShareUrlError::missingParam("sni"), "missing required parameter: sni"},
        {"vless://u@h?security=reality&sni=s&sid=i", ShareUrlError::missingParam("pbk"), "missing required parameter: pbk"},
        {"vless://u@h?security=reality&sni=s&pbk=k", ShareUrlError::missingParam("sid"), "missing required parameter: sid"},
        // No white space is trimmed.
        {" vless://u@h", ShareUrlError::unsupportedScheme(" vless"),
         "unsupported scheme: expected hysteria2:// or vless://, got  vless"},
    };
    for (const auto& c : cases) {
        try {
            ShareUrlParser::parse(c.text);
            ADD_FAILURE() << "parsed: " << c.text;
        } catch (const ShareUrlError& e) {
            EXPECT_EQ(e, c.error) << c.text;
            EXPECT_EQ(e.description(), c.description) << c.text;
        }
    }
}

TEST(ShareUrlParser, PinnedCertificateBecomesPEMAndWinsOverInsecure) {
    corvane::fleet::TempDir dir;
    auto certs = corvane::fleet::Certificates::make(dir.path(), {"hy.example.net"});
    std::string der = derOf(certs.certPem);
    ASSERT_GE(der.size(), 128u);

    Hysteria2Url url = parseHysteria2("hysteria2://pw@hy.example.net:443?insecure=1&cert=" + base64url(der));
    ASSERT_TRUE(url.certDer.has_value());
    EXPECT_EQ(std::string(url.certDer->begin(), url.certDer->end()), der);
    EXPECT_TRUE(url.insecure);
    EXPECT_FALSE(url.effectiveInsecure());
    // Same text as OpenSSL writes: 64-character lines, padding kept.
    EXPECT_EQ(url.pinnedCertPem(), certs.certPem);

    // Standard base64 with padding, surrounded by blanks, is read too (as long as "+" was escaped).
    std::string standard = base64Encode(der);
    std::string escaped;
    for (char c : standard) escaped += c == '+' ? std::string("%2B") : c == '/' ? std::string("%2F") : std::string(1, c);
    EXPECT_EQ(parseHysteria2("hy2://pw@h:1?cert=%20" + escaped + "%09").certDer, url.certDer);
}

TEST(ShareUrlParser, CertParameterRejectsWhatIsNotACertificate) {
    std::string sequence(200, 'x');
    sequence[0] = '\x30';
    EXPECT_TRUE(ShareUrlParser::parseCertParam(base64url(sequence)).has_value());

    std::string notSequence = sequence;
    notSequence[0] = '\x31';
    std::string tooLong(8193, 'x');
    tooLong[0] = '\x30';
    std::string longest(8192, 'x');
    longest[0] = '\x30';
    const std::string rejected[] = {
        "", "   ", base64url(sequence.substr(0, 127)), base64url(notSequence), base64url(tooLong),
        base64url(sequence) + "*",              // outside the alphabet
        "MA==" + base64url(sequence),           // padding in the middle
        base64url(sequence.substr(0, 199)) + "===",  // too much padding
    };
    for (const auto& value : rejected) EXPECT_EQ(ShareUrlParser::parseCertParam(value), std::nullopt) << value;
    EXPECT_EQ(ShareUrlParser::parseCertParam(base64url(longest))->size(), 8192u);

    // A bad certificate is no error: the share parses without one.
    Hysteria2Url url = parseHysteria2("hy2://pw@h:1?insecure=1&cert=" + base64url(notSequence));
    EXPECT_EQ(url.certDer, std::nullopt);
    EXPECT_TRUE(url.effectiveInsecure());
}

TEST(PercentCoding, DecodesBytesAndKeepsWhatIsNotAnEscape) {
    struct Case { const char* in; const char* out; };
    const Case cases[] = {
        {"a%20b", "a b"},     {"%41%4a%4A", "AJJ"}, {"100%", "100%"},      {"%", "%"},
        {"%2", "%2"},         {"%zz1", "%zz1"},     {"%%41", "%A"},        {"a+b", "a+b"},
        {"%C3%A9", "\xC3\xA9"},
        // Invalid UTF-8 becomes U+FFFD, one per maximal invalid piece.
        {"%FF", "\xEF\xBF\xBD"}, {"a%C3", "a\xEF\xBF\xBD"}, {"%E2%82x", "\xEF\xBF\xBDx"}, {"%ED%A0%80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const auto& c : cases) EXPECT_EQ(PercentCoding::decode(c.in), c.out) << c.in;
}

TEST(PercentCoding, FormPairsKeepOrderDuplicatesAndFurtherEquals) {
    using Pairs = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(PercentCoding::formURLPairs(""), Pairs{});
    EXPECT_EQ(PercentCoding::formURLPairs("a=1&&b&a=2&c=x=y&d+e=f+g%2B&=v"),
              (Pairs{{"a", "1"}, {"b", ""}, {"a", "2"}, {"c", "x=y"}, {"d e", "f g+"}, {"", "v"}}));
}

TEST(Splitter, PartsOfAShareUrl) {
    Splitter::Parts parts = Splitter::split("HY2://us%40er@[fe80::1]:9?a=1#frag%20ment?x");
    EXPECT_EQ(parts, (Splitter::Parts{.scheme = "hy2", .rawUserinfo = "us%40er", .host = "fe80::1", .port = 9,
                                      .queryPairs = {{"a", "1"}}, .fragment = "frag%20ment?x"}));
    EXPECT_EQ(Splitter::split("vless://host").port, std::nullopt);
    EXPECT_EQ(Splitter::split("vless://host#").fragment, "");
    EXPECT_THROW(Splitter::splitHostPort("[::1]:"), ShareUrlError);
}
