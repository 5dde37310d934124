// OpenSSL 3 keeps old algorithms (Blowfish, MD4, RC4) in its "legacy"
// provider, which is not loaded by default. This loads it, together with the
// "default" provider (an explicit load would otherwise replace the implicit
// default), into the default library context, once per process.

#ifndef TIDEWELL_BASE_CRYPTO_PROVIDER_H_
#define TIDEWELL_BASE_CRYPTO_PROVIDER_H_

namespace tidewell {

// True when both providers are available. The first call loads them; later
// calls return the first call's answer. Thread-safe. The providers stay
// loaded for the life of the process.
bool LoadLegacyProviders();

}  // namespace tidewell

#endif  // TIDEWELL_BASE_CRYPTO_PROVIDER_H_
