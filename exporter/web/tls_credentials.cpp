#include "tls_credentials.h"

#include <arpa/inet.h>
#include <gnutls/abstract.h>
#include <gnutls/x509.h>

#include <algorithm>
#include <chrono>
#include <mutex>

namespace gpuproc {

namespace {

using Clock = std::chrono::steady_clock;

// A handshake ends within the server's connection timeout; a certificate
// replaced longer ago than this is no longer in use by any.
constexpr auto kRetiredKept = std::chrono::minutes(2);
constexpr unsigned kMaxChain = 16;

struct Retired {
  std::shared_ptr<const ServerCertificate> certificate;
  Clock::time_point since;
};

struct Served {
  std::mutex mutex;
  std::shared_ptr<const ServerCertificate> current;
  std::vector<Retired> retired;
  ClientAuth clientAuth = ClientAuth::kNone;
};

Served& TheServed() {
  static Served served;
  return served;
}

gnutls_datum_t Datum(const std::string& text) {
  return {reinterpret_cast<unsigned char*>(const_cast<char*>(text.data())),
          static_cast<unsigned>(text.size())};
}

std::string KeyId(gnutls_pubkey_t key) {
  unsigned char id[64];
  size_t size = sizeof id;
  if (gnutls_pubkey_get_key_id(key, 0, id, &size) < 0) return {};
  return std::string(reinterpret_cast<const char*>(id), size);
}

}  // namespace

std::shared_ptr<const ServerCertificate> ServerCertificate::Load(const std::string& certificatePEM,
                                                                 const std::string& keyPEM,
                                                                 std::string& error) {
  std::shared_ptr<ServerCertificate> loaded(new ServerCertificate());
  loaded->chain_.resize(kMaxChain);
  unsigned count = kMaxChain;
  const gnutls_datum_t certificate = Datum(certificatePEM);
  int status = gnutls_pcert_list_import_x509_raw(loaded->chain_.data(), &count, &certificate,
                                                 GNUTLS_X509_FMT_PEM, 0);
  if (status < 0) {
    loaded->chain_.clear();
    error = std::string("the certificate cannot be read: ") + gnutls_strerror(status);
    return nullptr;
  }
  loaded->chain_.resize(count);
  const gnutls_datum_t key = Datum(keyPEM);
  gnutls_privkey_init(&loaded->key_);
  status = gnutls_privkey_import_x509_raw(loaded->key_, &key, GNUTLS_X509_FMT_PEM, nullptr, 0);
  if (status < 0) {
    error = std::string("the key cannot be read: ") + gnutls_strerror(status);
    return nullptr;
  }
  gnutls_pubkey_t fromKey = nullptr;
  gnutls_pubkey_init(&fromKey);
  const bool matches = gnutls_pubkey_import_privkey(fromKey, loaded->key_, 0, 0) == 0 &&
                       KeyId(fromKey) == KeyId(loaded->chain_[0].pubkey) && !KeyId(fromKey).empty();
  gnutls_pubkey_deinit(fromKey);
  if (!matches) {
    error = "the key is not the certificate's";
    return nullptr;
  }
  return loaded;
}

ServerCertificate::~ServerCertificate() {
  for (gnutls_pcert_st& certificate : chain_) gnutls_pcert_deinit(&certificate);
  if (key_ != nullptr) gnutls_privkey_deinit(key_);
}

void ServeCertificate(std::shared_ptr<const ServerCertificate> certificate, ClientAuth clientAuth) {
  Served& served = TheServed();
  const auto now = Clock::now();
  std::lock_guard lock(served.mutex);
  std::erase_if(served.retired, [&](const Retired& old) { return now - old.since > kRetiredKept; });
  if (served.current != nullptr && served.current != certificate) {
    served.retired.push_back({std::move(served.current), now});
  }
  served.current = std::move(certificate);
  served.clientAuth = clientAuth;
}

int RetrieveCertificate(gnutls_session_t session, const gnutls_datum_t*, int,
                        const gnutls_pk_algorithm_t*, int, gnutls_pcert_st** chain,
                        unsigned int* chainLength, gnutls_privkey_t* key) {
  Served& served = TheServed();
  std::lock_guard lock(served.mutex);
  if (served.current == nullptr) return -1;
  // Asked here, per handshake, so that a reload changes it for new
  // connections; the client's certificate is checked by
  // ClientCertificateCheck once the handshake is done.
  const ClientAuth mode = served.clientAuth;
  gnutls_certificate_server_set_request(
      session, mode == ClientAuth::kNone ? GNUTLS_CERT_IGNORE
               : mode == ClientAuth::kRequireAny || mode == ClientAuth::kRequireAndVerify
                   ? GNUTLS_CERT_REQUIRE
                   : GNUTLS_CERT_REQUEST);
  ServerCertificate& current = const_cast<ServerCertificate&>(*served.current);
  *chain = current.chain_.data();
  *chainLength = static_cast<unsigned>(current.chain_.size());
  *key = current.key_;
  return 0;
}

std::shared_ptr<const ClientCertificateCheck> ClientCertificateCheck::Make(const TLSSettings& tls,
                                                                           std::string& error) {
  std::shared_ptr<ClientCertificateCheck> check(new ClientCertificateCheck());
  check->mode_ = tls.clientAuth;
  check->allowedNames_ = tls.clientAllowedSANs;
  if (tls.clientCAPEM.empty()) return check;
  gnutls_x509_trust_list_init(&check->trust_, 0);
  const gnutls_datum_t authorities = Datum(tls.clientCAPEM);
  const int added = gnutls_x509_trust_list_add_trust_mem(check->trust_, &authorities, nullptr,
                                                         GNUTLS_X509_FMT_PEM, 0, 0);
  if (added <= 0) {
    error = "the client CA holds no certificate GnuTLS can read";
    return nullptr;
  }
  return check;
}

ClientCertificateCheck::~ClientCertificateCheck() {
  if (trust_ != nullptr) gnutls_x509_trust_list_deinit(trust_, 1);
}

bool ClientCertificateCheck::NameAllowed(const void* certificate) const {
  const auto leaf = static_cast<gnutls_x509_crt_t>(const_cast<void*>(certificate));
  for (unsigned index = 0;; ++index) {
    char name[1024];
    size_t size = sizeof name - 1;
    const int type = gnutls_x509_crt_get_subject_alt_name(leaf, index, name, &size, nullptr);
    if (type == GNUTLS_E_REQUESTED_DATA_NOT_AVAILABLE) return false;
    if (type < 0) continue;
    std::string text(name, size);
    if (type == GNUTLS_SAN_IPADDRESS) {
      char address[INET6_ADDRSTRLEN] = {};
      const int family = size == 4 ? AF_INET : AF_INET6;
      if (size != 4 && size != 16) continue;
      ::inet_ntop(family, name, address, sizeof address);
      text = address;
    }
    if (std::find(allowedNames_.begin(), allowedNames_.end(), text) != allowedNames_.end())
      return true;
  }
}

bool ClientCertificateCheck::Accepts(gnutls_session_t session) const {
  unsigned count = 0;
  const gnutls_datum_t* peers = gnutls_certificate_get_peers(session, &count);
  if (peers == nullptr || count == 0) {
    return mode_ != ClientAuth::kRequireAny && mode_ != ClientAuth::kRequireAndVerify;
  }
  if (mode_ != ClientAuth::kVerifyIfGiven && mode_ != ClientAuth::kRequireAndVerify) return true;
  std::vector<gnutls_x509_crt_t> chain;
  bool ok = count <= kMaxChain;
  for (unsigned i = 0; ok && i < count; ++i) {
    gnutls_x509_crt_t certificate = nullptr;
    gnutls_x509_crt_init(&certificate);
    chain.push_back(certificate);
    ok = gnutls_x509_crt_import(certificate, &peers[i], GNUTLS_X509_FMT_DER) == 0;
  }
  if (ok) {
    gnutls_typed_vdata_st purpose{};
    purpose.type = GNUTLS_DT_KEY_PURPOSE_OID;
    purpose.data = reinterpret_cast<unsigned char*>(const_cast<char*>(GNUTLS_KP_TLS_WWW_CLIENT));
    unsigned verdict = 0;
    ok = gnutls_x509_trust_list_verify_crt2(trust_, chain.data(), count, &purpose, 1, 0, &verdict,
                                            nullptr) == 0 &&
         verdict == 0;
  }
  if (ok && !allowedNames_.empty()) ok = NameAllowed(chain[0]);
  for (gnutls_x509_crt_t certificate : chain) gnutls_x509_crt_deinit(certificate);
  return ok;
}

}  // namespace gpuproc
