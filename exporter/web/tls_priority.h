// The toolkit's TLS choices (Go's names for versions, cipher suites and
// curves) as a GnuTLS priority string.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace gpuproc {

struct TLSChoices {
  std::string minVersion = "TLS12";
  std::string maxVersion = "TLS13";
  // TLS 1.2 suites; empty: the forward-secret AEAD suites only.
  std::vector<std::string> cipherSuites;
  std::vector<std::string> curvePreferences;  // empty: X25519, P-256, P-384, P-521
  bool preferServerCipherSuites = true;
};

struct TLSPriority {
  std::string priority;  // "" when a choice is refused
  std::string key;       // the refused choice's key (min_version, cipher_suites...)
  std::string error;
};

// GnuTLS chooses key exchange, cipher and MAC separately, so the suites
// named are enabled as the set of the key exchanges, ciphers and MACs they
// use; every combination of ECDHE with an AEAD cipher is itself one of
// Go's suites. The AEAD ciphers named also bound the TLS 1.3 suites.
TLSPriority MakeTLSPriority(const TLSChoices& choices);

}  // namespace gpuproc
