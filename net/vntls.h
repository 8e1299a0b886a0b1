// Public header (part of vnbase.h).
// Why a TLS connection was refused: the reasons the HTTP client reports through
// IHttpClient::GetTlsError (with a text) when a request ends with HTTPRESULT_TLS_FAILED.
#pragma once

enum VNTlsError : int {
    VNTLS_NONE = 0,
    VNTLS_PROTOCOL = 1,        // the handshake failed (versions, ciphers, a peer not speaking TLS)
    VNTLS_EXPIRED = 2,         // the peer's certificate (or one of its chain) has expired
    VNTLS_NOT_YET_VALID = 3,   // ... is not valid yet
    VNTLS_UNKNOWN_ISSUER = 4,  // no trusted authority vouches for it (self-signed included)
    VNTLS_NAME_MISMATCH = 5,   // it is not for the host name or IP address asked for
    VNTLS_PIN_MISMATCH = 6,    // its public key is none of the pinned ones
    VNTLS_UNTRUSTED = 7,       // refused for another reason of the verification
};
