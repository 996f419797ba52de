// The certificate handed out per TLS handshake, so that a renewed one is
// served without the listening socket being closed, and the check of client
// certificates against the configured CA and names.
#pragma once

#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <memory>
#include <string>
#include <vector>

#include "web_config.h"

namespace gpuproc {

class ServerCertificate {
 public:
  // The chain and key, or null with `error` set (unreadable, or a key that
  // is not the certificate's).
  static std::shared_ptr<const ServerCertificate> Load(const std::string& certificatePEM,
                                                       const std::string& keyPEM,
                                                       std::string& error);
  ~ServerCertificate();
  ServerCertificate(const ServerCertificate&) = delete;
  ServerCertificate& operator=(const ServerCertificate&) = delete;

 private:
  ServerCertificate() = default;
  friend int RetrieveCertificate(gnutls_session_t, const gnutls_datum_t*, int,
                                 const gnutls_pk_algorithm_t*, int, gnutls_pcert_st**,
                                 unsigned int*, gnutls_privkey_t*);

  std::vector<gnutls_pcert_st> chain_;
  gnutls_privkey_t key_ = nullptr;
};

// What every handshake from now on is given, and whether it asks the client
// for a certificate. The one replaced stays valid for handshakes under way.
void ServeCertificate(std::shared_ptr<const ServerCertificate> certificate, ClientAuth clientAuth);

// The server's certificate callback (gnutls_certificate_retrieve_function2).
int RetrieveCertificate(gnutls_session_t session, const gnutls_datum_t* requestedIssuers,
                        int issuerCount, const gnutls_pk_algorithm_t* algorithms,
                        int algorithmCount, gnutls_pcert_st** chain, unsigned int* chainLength,
                        gnutls_privkey_t* key);

// client_auth_type, client_ca and client_allowed_sans, applied to a
// session once its handshake is done.
class ClientCertificateCheck {
 public:
  static std::shared_ptr<const ClientCertificateCheck> Make(const TLSSettings& tls,
                                                            std::string& error);
  ~ClientCertificateCheck();
  ClientCertificateCheck(const ClientCertificateCheck&) = delete;
  ClientCertificateCheck& operator=(const ClientCertificateCheck&) = delete;

  bool Accepts(gnutls_session_t session) const;

 private:
  ClientCertificateCheck() = default;
  bool NameAllowed(const void* certificate) const;

  ClientAuth mode_ = ClientAuth::kNone;
  gnutls_x509_trust_list_t trust_ = nullptr;
  std::vector<std::string> allowedNames_;
};

}  // namespace gpuproc
