// OpenSSL frees its global state (random generator, digest implementations) from an exit
// handler unless its first initialisation says not to; worker threads may still hash or draw
// random bytes while a host returns from main. Every user of OpenSSL (the security stand-in's
// keys, digests and random bytes), and the HTTP transport before it starts libcurl (which
// initialises OpenSSL itself), calls this first; the SDK reaches OpenSSL only through them.
#pragma once

#include <openssl/crypto.h>

namespace platform::security {

inline void keepCryptoThroughExit() { OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr); }

}  // namespace platform::security
