// Test support for TLS: a throwaway public-key infrastructure made afresh by each test run
// with OpenSSL (P-256 keys, SHA-256 signatures), written as PEM files into a directory: an
// authority the tests trust, leaves it signed for 127.0.0.1 and localhost and for the wrong
// ones, out of their validity, self-signed and from an authority nobody trusts, and the
// public-key pins of two of them in curl's "sha256//BASE64" form.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace vntest {

// A certificate and its key as PEM files. For a leaf, `chain` is the certificate followed by
// the authority that signed it (what a server presents).
struct TlsIdentity {
    std::string cert;
    std::string key;
    std::string chain;
};

struct TestPki {
    std::string dir;
    std::string caFile;         // the authority the tests trust
    TlsIdentity good;           // DNS localhost, IP 127.0.0.1 and ::1, valid now
    TlsIdentity wildcard;       // DNS *.vnbase.test only
    TlsIdentity wrongHost;      // DNS other.invalid only
    TlsIdentity wrongIp;        // IP 127.0.0.2 only
    TlsIdentity expired;        // localhost and 127.0.0.1, ended yesterday
    TlsIdentity notYetValid;    // localhost and 127.0.0.1, from tomorrow on
    TlsIdentity selfSigned;     // localhost and 127.0.0.1, its own issuer
    TlsIdentity unknownIssuer;  // localhost and 127.0.0.1, signed by an untrusted authority
    std::string goodPin;        // "sha256//..." of good's public key
    std::string otherPin;       // of another key

    // Makes every file under a new private directory; null with *why set on failure.
    static std::unique_ptr<TestPki> Make(std::string* why);
    ~TestPki();

    // A chain file of the good leaf followed by `extra` further (meaningless) certificates,
    // for a peer that sends a huge chain; "" on failure.
    std::string HugeChain(int extra) const;
};

}  // namespace vntest
