// What the web configuration asks of every connection beyond its login:
// the client certificate it must present (checked once the handshake is
// done) and the headers added to every reply. A reload swaps it whole;
// each request keeps the one it arrived under.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "web/replies.h"
#include "web/tls_credentials.h"
#include "web_config.h"

struct MHD_Connection;

namespace gpuproc {

class ConnectionPolicy {
 public:
  // Null with `why` naming the key at fault when the client CA cannot be
  // used.
  static std::shared_ptr<const ConnectionPolicy> Make(const WebConfig& config, std::string& why);
  ConnectionPolicy() = default;

  // False for a TLS connection whose client certificate the configuration
  // refuses (or that has none when one is required).
  bool Admits(MHD_Connection* connection) const;
  const Headers& ReplyHeaders() const { return headers_; }

 private:
  Headers headers_;
  std::shared_ptr<const ClientCertificateCheck> clients_;
};

// The policy in force, read by the event threads and replaced by a reload.
class CurrentPolicy {
 public:
  std::shared_ptr<const ConnectionPolicy> Get() const;
  void Set(std::shared_ptr<const ConnectionPolicy> policy);

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const ConnectionPolicy> policy_ = std::make_shared<const ConnectionPolicy>();
};

}  // namespace gpuproc
