#include "web/connection_policy.h"

#include <microhttpd.h>

namespace gpuproc {

std::shared_ptr<const ConnectionPolicy> ConnectionPolicy::Make(const WebConfig& config,
                                                               std::string& why) {
  auto policy = std::make_shared<ConnectionPolicy>();
  policy->headers_ = config.headers;
  if (config.tls && config.tls->clientAuth != ClientAuth::kNone) {
    policy->clients_ = ClientCertificateCheck::Make(*config.tls, why);
    if (policy->clients_ == nullptr) {
      why = "tls_server_config.client_ca_file: " + why;
      return nullptr;
    }
  }
  return policy;
}

bool ConnectionPolicy::Admits(MHD_Connection* connection) const {
  if (clients_ == nullptr) return true;
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_GNUTLS_SESSION);
  return info != nullptr && clients_->Accepts(static_cast<gnutls_session_t>(info->tls_session));
}

std::shared_ptr<const ConnectionPolicy> CurrentPolicy::Get() const {
  std::lock_guard lock(mutex_);
  return policy_;
}

void CurrentPolicy::Set(std::shared_ptr<const ConnectionPolicy> policy) {
  std::lock_guard lock(mutex_);
  policy_ = std::move(policy);
}

}  // namespace gpuproc
