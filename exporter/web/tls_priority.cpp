#include "tls_priority.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace gpuproc {

namespace {

struct Version {
  std::string_view name;
  std::string_view gnutls;
};
constexpr std::array<Version, 4> kVersions = {{{"TLS10", "VERS-TLS1.0"},
                                               {"TLS11", "VERS-TLS1.1"},
                                               {"TLS12", "VERS-TLS1.2"},
                                               {"TLS13", "VERS-TLS1.3"}}};

struct Suite {
  std::string_view name;
  std::string_view exchange;
  std::string_view cipher;
  std::string_view mac;
};
// Go's TLS 1.0-1.2 suites that GnuTLS offers (3DES and RC4 are not).
constexpr Suite kSuites[] = {
    {"TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256", "ECDHE-ECDSA", "AES-128-GCM", "AEAD"},
    {"TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256", "ECDHE-RSA", "AES-128-GCM", "AEAD"},
    {"TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384", "ECDHE-ECDSA", "AES-256-GCM", "AEAD"},
    {"TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384", "ECDHE-RSA", "AES-256-GCM", "AEAD"},
    {"TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305", "ECDHE-ECDSA", "CHACHA20-POLY1305", "AEAD"},
    {"TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256", "ECDHE-ECDSA", "CHACHA20-POLY1305", "AEAD"},
    {"TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305", "ECDHE-RSA", "CHACHA20-POLY1305", "AEAD"},
    {"TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256", "ECDHE-RSA", "CHACHA20-POLY1305", "AEAD"},
    {"TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA", "ECDHE-ECDSA", "AES-128-CBC", "SHA1"},
    {"TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA", "ECDHE-RSA", "AES-128-CBC", "SHA1"},
    {"TLS_ECDHE_ECDSA_WITH_AES_256_CBC_SHA", "ECDHE-ECDSA", "AES-256-CBC", "SHA1"},
    {"TLS_ECDHE_RSA_WITH_AES_256_CBC_SHA", "ECDHE-RSA", "AES-256-CBC", "SHA1"},
    {"TLS_ECDHE_ECDSA_WITH_AES_128_CBC_SHA256", "ECDHE-ECDSA", "AES-128-CBC", "SHA256"},
    {"TLS_ECDHE_RSA_WITH_AES_128_CBC_SHA256", "ECDHE-RSA", "AES-128-CBC", "SHA256"},
    {"TLS_RSA_WITH_AES_128_GCM_SHA256", "RSA", "AES-128-GCM", "AEAD"},
    {"TLS_RSA_WITH_AES_256_GCM_SHA384", "RSA", "AES-256-GCM", "AEAD"},
    {"TLS_RSA_WITH_AES_128_CBC_SHA", "RSA", "AES-128-CBC", "SHA1"},
    {"TLS_RSA_WITH_AES_256_CBC_SHA", "RSA", "AES-256-CBC", "SHA1"},
    {"TLS_RSA_WITH_AES_128_CBC_SHA256", "RSA", "AES-128-CBC", "SHA256"},
};
// Forward secret and authenticated encryption: what TLS 1.2 offers unless
// cipher_suites says otherwise.
constexpr std::string_view kDefaultSuites[] = {
    "TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384", "TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384",
    "TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305",  "TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305",
    "TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256", "TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256",
};

struct Curve {
  std::string_view name;
  std::string_view group;
};
constexpr Curve kCurves[] = {{"X25519", "GROUP-X25519"},
                             {"CurveP256", "GROUP-SECP256R1"},
                             {"CurveP384", "GROUP-SECP384R1"},
                             {"CurveP521", "GROUP-SECP521R1"}};

int VersionIndex(std::string_view name) {
  for (std::size_t i = 0; i < kVersions.size(); ++i) {
    if (kVersions[i].name == name) return static_cast<int>(i);
  }
  return -1;
}

void AddOnce(std::vector<std::string_view>& list, std::string_view item) {
  if (std::find(list.begin(), list.end(), item) == list.end()) list.push_back(item);
}

std::string Join(const std::vector<std::string_view>& items) {
  std::string text;
  for (const std::string_view item : items) text += ":+" + std::string(item);
  return text;
}

}  // namespace

TLSPriority MakeTLSPriority(const TLSChoices& choices) {
  TLSPriority result;
  const int low = VersionIndex(choices.minVersion);
  const int high = VersionIndex(choices.maxVersion);
  if (low < 0 || high < 0) {
    result.key = low < 0 ? "min_version" : "max_version";
    result.error = "'" + (low < 0 ? choices.minVersion : choices.maxVersion) +
                   "' is not one of TLS10, TLS11, TLS12, TLS13";
    return result;
  }
  if (low > high) {
    result.key = "max_version";
    result.error = "'" + choices.maxVersion + "' is below min_version '" + choices.minVersion + "'";
    return result;
  }
  std::vector<std::string_view> versions;
  for (int i = high; i >= low; --i)
    versions.push_back(kVersions[static_cast<std::size_t>(i)].gnutls);

  std::vector<std::string_view> exchanges;
  std::vector<std::string_view> ciphers;
  std::vector<std::string_view> macs;
  std::vector<std::string_view> names(choices.cipherSuites.begin(), choices.cipherSuites.end());
  if (names.empty()) names.assign(std::begin(kDefaultSuites), std::end(kDefaultSuites));
  for (const std::string_view name : names) {
    const Suite* suite = nullptr;
    for (const Suite& candidate : kSuites) {
      if (candidate.name == name) suite = &candidate;
    }
    if (suite == nullptr) {
      result.key = "cipher_suites";
      result.error = "'" + std::string(name) +
                     (name.find("_WITH_") == std::string_view::npos
                          ? "' is not a TLS 1.2 suite (TLS 1.3 suites are not configurable)"
                          : "' is not a suite gpuproc-exporter offers");
      return result;
    }
    AddOnce(exchanges, suite->exchange);
    AddOnce(ciphers, suite->cipher);
    AddOnce(macs, suite->mac);
  }

  std::vector<std::string_view> groups;
  if (choices.curvePreferences.empty()) {
    for (const Curve& curve : kCurves) groups.push_back(curve.group);
  }
  for (const std::string& name : choices.curvePreferences) {
    const auto found = std::find_if(std::begin(kCurves), std::end(kCurves),
                                    [&](const Curve& curve) { return curve.name == name; });
    if (found == std::end(kCurves)) {
      result.key = "curve_preferences";
      result.error = "'" + name + "' is not one of X25519, CurveP256, CurveP384, CurveP521";
      return result;
    }
    AddOnce(groups, found->group);
  }
  result.priority = "NORMAL:-VERS-ALL" + Join(versions) + ":-KX-ALL" + Join(exchanges) +
                    ":-CIPHER-ALL" + Join(ciphers) + ":-MAC-ALL" + Join(macs) + ":-GROUP-ALL" +
                    Join(groups) + (choices.preferServerCipherSuites ? ":%SERVER_PRECEDENCE" : "");
  return result;
}

}  // namespace gpuproc
