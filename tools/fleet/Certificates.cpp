// SPDX-License-Identifier: GPL-3.0-or-later
#include "tools/fleet/Certificates.hpp"

#include <memory>
#include <stdexcept>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "tools/fleet/TempDir.hpp"

namespace corvane::fleet {

namespace {

struct Free {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(X509* p) const { X509_free(p); }
    void operator()(BIO* p) const { BIO_free(p); }
    void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
};
template <class T>
using Owned = std::unique_ptr<T, Free>;

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("certificate generation failed: ") + what);
}

Owned<EVP_PKEY> makeKey() {
    Owned<EVP_PKEY> key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    check(key != nullptr, "keygen");
    return key;
}

void addExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    Owned<X509_EXTENSION> ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str()));
    check(ext != nullptr, "extension");
    check(X509_add_ext(cert, ext.get(), -1) == 1, "add extension");
}

Owned<X509> makeCert(EVP_PKEY* key, const std::string& commonName, X509* issuer, EVP_PKEY* issuerKey, long serial) {
    Owned<X509> cert(X509_new());
    check(cert != nullptr, "x509");
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 7L * 24 * 3600);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
    X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name);
    X509* signer = issuer ? issuer : cert.get();
    if (!issuer) {
        addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    }
    addExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
    check(X509_sign(cert.get(), issuerKey ? issuerKey : key, EVP_sha256()) > 0, "sign");
    return cert;
}

std::string pem(X509* cert) {
    Owned<BIO> bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_X509(bio.get(), cert);
    char* data = nullptr;
    long n = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(n));
}

std::string pem(EVP_PKEY* key) {
    Owned<BIO> bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    long n = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(n));
}

bool looksLikeIP(const std::string& s) {
    return s.find_first_not_of("0123456789.") == std::string::npos || s.find(':') != std::string::npos;
}

}  // namespace

Certificates Certificates::make(const std::filesystem::path& directory, const std::vector<std::string>& names) {
    auto caKey = makeKey();
    auto ca = makeCert(caKey.get(), "Corvane Test CA", nullptr, nullptr, 1);

    auto key = makeKey();
    auto cert = makeCert(key.get(), names.empty() ? "server" : names.front(), ca.get(), caKey.get(), 2);
    // Extensions must be added before signing, so sign again after adding the names.
    std::string san;
    for (const auto& n : names) {
        if (!san.empty()) san += ",";
        san += (looksLikeIP(n) ? "IP:" : "DNS:") + n;
    }
    if (!san.empty()) addExtension(cert.get(), ca.get(), NID_subject_alt_name, san);
    addExtension(cert.get(), ca.get(), NID_ext_key_usage, "serverAuth");
    check(X509_sign(cert.get(), caKey.get(), EVP_sha256()) > 0, "sign");

    Certificates out;
    out.caPem = pem(ca.get());
    out.certPem = pem(cert.get());
    out.keyPem = pem(key.get());
    out.caFile = directory / "ca.pem";
    out.certFile = directory / "server.pem";
    out.keyFile = directory / "server.key";
    writeFile(out.caFile, out.caPem);
    writeFile(out.certFile, out.certPem);
    writeFile(out.keyFile, out.keyPem);
    std::filesystem::permissions(out.keyFile, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    return out;
}

}  // namespace corvane::fleet
