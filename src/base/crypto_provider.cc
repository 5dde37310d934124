#include "base/crypto_provider.h"

#include <openssl/provider.h>

namespace tidewell {

namespace {

// Holds the two providers for the life of the process. Loading initialises
// OpenSSL, which registers its own exit-time cleanup first; this object's
// destructor is registered afterwards and so runs before that cleanup,
// handing the providers back while the library is still intact.
struct LoadedProviders {
  LoadedProviders()
      : legacy(OSSL_PROVIDER_load(nullptr, "legacy")),
        fallback(OSSL_PROVIDER_load(nullptr, "default")) {}
  ~LoadedProviders() {
    if (fallback) OSSL_PROVIDER_unload(fallback);
    if (legacy) OSSL_PROVIDER_unload(legacy);
  }
  LoadedProviders(const LoadedProviders&) = delete;
  LoadedProviders& operator=(const LoadedProviders&) = delete;

  OSSL_PROVIDER* const legacy;
  OSSL_PROVIDER* const fallback;
};

}  // namespace

bool LoadLegacyProviders() {
  // A function-local static is initialised once, even under concurrent first
  // calls.
  static const LoadedProviders providers;
  return providers.legacy != nullptr && providers.fallback != nullptr;
}

}  // namespace tidewell
