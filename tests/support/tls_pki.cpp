// The throwaway PKI of the TLS tests (see tls_pki.h).
#include "support/tls_pki.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "support/external_peer.h"

namespace vntest {
namespace {

struct KeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct CertFree {
    void operator()(X509* c) const { X509_free(c); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

struct Spec {
    std::string cn;
    std::string san;  // "DNS:localhost,IP:127.0.0.1", or "" for none
    long fromDays = -1;
    long toDays = 30;
    bool ca = false;
};

Key NewKey() {
    return Key(EVP_EC_gen("P-256"));
}

bool AddExt(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    if (ext == nullptr) return false;
    bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

// A certificate for key, signed by issuerKey as issuer (null issuer: self-signed).
Cert Issue(const Spec& spec, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey) {
    static long serial = 1;
    Cert cert(X509_new());
    if (!cert) return nullptr;
    X509* c = cert.get();
    X509_set_version(c, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(c), serial++);
    X509_time_adj_ex(X509_getm_notBefore(c), static_cast<int>(spec.fromDays), 0, nullptr);
    X509_time_adj_ex(X509_getm_notAfter(c), static_cast<int>(spec.toDays), 0, nullptr);
    X509_set_pubkey(c, key);
    X509_NAME* name = X509_get_subject_name(c);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("vnbase tests"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(spec.cn.c_str()), -1, -1, 0);
    X509* signer = issuer != nullptr ? issuer : c;
    X509_set_issuer_name(c, X509_get_subject_name(signer));
    bool ok = AddExt(c, signer, NID_basic_constraints,
                     spec.ca ? "critical,CA:TRUE" : "critical,CA:FALSE") &&
              AddExt(c, signer, NID_key_usage,
                     spec.ca ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature") &&
              AddExt(c, signer, NID_subject_key_identifier, "hash") &&
              (issuer == nullptr || AddExt(c, signer, NID_authority_key_identifier, "keyid"));
    if (ok && !spec.ca) ok = AddExt(c, signer, NID_ext_key_usage, "serverAuth");
    if (ok && !spec.san.empty()) ok = AddExt(c, signer, NID_subject_alt_name, spec.san);
    if (!ok || X509_sign(c, issuerKey != nullptr ? issuerKey : key, EVP_sha256()) == 0) {
        return nullptr;
    }
    return cert;
}

// What write puts into a memory BIO, as text.
template <class Write>
std::string Pem(Write write) {
    BIO* b = BIO_new(BIO_s_mem());
    write(b);
    char* p = nullptr;
    long n = BIO_get_mem_data(b, &p);
    std::string s(p, static_cast<size_t>(n));
    BIO_free(b);
    return s;
}

std::string CertPem(X509* cert) {
    return Pem([cert](BIO* b) { PEM_write_bio_X509(b, cert); });
}

std::string KeyPem(EVP_PKEY* key) {
    return Pem(
        [key](BIO* b) { PEM_write_bio_PrivateKey(b, key, nullptr, nullptr, 0, nullptr, nullptr); });
}

// curl's pin: base64 of the SHA-256 of the DER SubjectPublicKeyInfo.
std::string Pin(EVP_PKEY* key) {
    unsigned char* der = nullptr;
    int n = i2d_PUBKEY(key, &der);
    if (n <= 0) return "";
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLen = 0;
    EVP_Digest(der, static_cast<size_t>(n), md, &mdLen, EVP_sha256(), nullptr);
    OPENSSL_free(der);
    unsigned char b64[64];
    int len = EVP_EncodeBlock(b64, md, static_cast<int>(mdLen));
    return "sha256//" + std::string(reinterpret_cast<char*>(b64), static_cast<size_t>(len));
}

const char kLocal[] = "DNS:localhost,IP:127.0.0.1,IP:::1";

}  // namespace

std::unique_ptr<TestPki> TestPki::Make(std::string* why) {
    std::unique_ptr<TestPki> pki(new TestPki);
    pki->dir = MakeTempDir("pki");
    Key caKey = NewKey(), otherCaKey = NewKey(), leafKey = NewKey(), otherKey = NewKey();
    if (!caKey || !otherCaKey || !leafKey || !otherKey) {
        *why = "no P-256 key";
        return nullptr;
    }
    Cert ca = Issue({"vnbase test authority", "", -1, 30, true}, caKey.get(), nullptr, nullptr);
    Cert otherCa =
        Issue({"untrusted authority", "", -1, 30, true}, otherCaKey.get(), nullptr, nullptr);
    if (!ca || !otherCa) {
        *why = "cannot make the authorities";
        return nullptr;
    }
    const std::string caPem = CertPem(ca.get());
    pki->caFile = pki->dir + "/ca.pem";
    bool ok = WriteTextFile(pki->caFile, caPem);
    struct Leaf {
        TlsIdentity* out;
        const char* name;
        Spec spec;
        X509* issuer;
        EVP_PKEY* issuerKey;
    } leaves[] = {
        {&pki->good, "good", {"localhost", kLocal}, ca.get(), caKey.get()},
        {&pki->wildcard, "wildcard", {"wildcard", "DNS:*.vnbase.test"}, ca.get(), caKey.get()},
        {&pki->wrongHost, "wronghost", {"other", "DNS:other.invalid"}, ca.get(), caKey.get()},
        {&pki->wrongIp, "wrongip", {"other ip", "IP:127.0.0.2"}, ca.get(), caKey.get()},
        {&pki->expired, "expired", {"localhost", kLocal, -30, -1}, ca.get(), caKey.get()},
        {&pki->notYetValid, "notyet", {"localhost", kLocal, 1, 30}, ca.get(), caKey.get()},
        {&pki->selfSigned, "selfsigned", {"localhost", kLocal}, nullptr, nullptr},
        {&pki->unknownIssuer, "unknown", {"localhost", kLocal}, otherCa.get(), otherCaKey.get()},
    };
    const std::string keyPem = KeyPem(leafKey.get());
    for (const Leaf& l : leaves) {
        Cert cert = Issue(l.spec, leafKey.get(), l.issuer, l.issuerKey);
        if (!cert) {
            *why = std::string("cannot make the certificate ") + l.name;
            return nullptr;
        }
        const std::string base = pki->dir + "/" + l.name;
        l.out->cert = base + ".crt";
        l.out->key = base + ".key";
        l.out->chain = base + ".chain.pem";
        std::string pem = CertPem(cert.get());
        std::string chain = pem + (l.issuer != nullptr ? CertPem(l.issuer) : "");
        ok = ok && WriteTextFile(l.out->cert, pem) && WriteTextFile(l.out->key, keyPem) &&
             WriteTextFile(l.out->chain, chain);
    }
    pki->goodPin = Pin(leafKey.get());
    pki->otherPin = Pin(otherKey.get());
    if (!ok || pki->goodPin.empty() || pki->otherPin.empty()) {
        *why = "cannot write the PKI files under " + pki->dir;
        return nullptr;
    }
    return pki;
}

TestPki::~TestPki() {
    if (!dir.empty()) RemoveTree(dir);
}

std::string TestPki::HugeChain(int extra) const {
    std::string chain = ReadTextFile(good.chain);
    Key key = NewKey();
    if (chain.empty() || !key) return "";
    for (int i = 0; i < extra; ++i) {
        Spec s{"filler " + std::to_string(i), "DNS:filler.invalid"};
        Cert c = Issue(s, key.get(), nullptr, nullptr);
        if (!c) return "";
        chain += CertPem(c.get());
    }
    std::string path = dir + "/huge" + std::to_string(extra) + ".chain.pem";
    return WriteTextFile(path, chain) ? path : "";
}

}  // namespace vntest
