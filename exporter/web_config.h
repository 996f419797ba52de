// The --web.config.file of gpuproc-exporter, in the format every exporter
// built on the Prometheus exporter-toolkit reads: TLS for the listening
// sockets (served by GnuTLS), basic-auth users with bcrypt hashes, and the
// extra response headers of http_server_config.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace gpuproc {

// The toolkit's client_auth_type values.
enum class ClientAuth { kNone, kRequest, kRequireAny, kVerifyIfGiven, kRequireAndVerify };

struct TLSSettings {
  std::string certFile;  // "" when the certificate is given inline (cert)
  std::string keyFile;
  std::string clientCAFile;
  std::string certificatePEM;
  std::string keyPEM;
  std::string clientCAPEM;
  ClientAuth clientAuth = ClientAuth::kNone;
  std::vector<std::string> clientAllowedSANs;
  // Versions, cipher suites, curves and precedence as a GnuTLS priority.
  std::string priority;

  bool operator==(const TLSSettings&) const = default;
};

struct WebConfig {
  std::optional<TLSSettings> tls;
  std::map<std::string, std::string> users;  // user name -> bcrypt hash
  std::vector<std::pair<std::string, std::string>> headers;

  bool operator==(const WebConfig&) const = default;
};

// Reads and checks the file; on failure `error` names the file and the key
// ("web.yml: tls_server_config.cert_file: cannot read 'x.pem': ...").
// Hashes are checked by their form: loading runs no bcrypt.
struct WebConfigResult {
  std::optional<WebConfig> config;
  std::string error;
};
WebConfigResult LoadWebConfig(const std::string& path);

// The files whose change means the configuration must be read again: the
// file itself and the certificate, key and CA files it names.
std::vector<std::string> WatchedFiles(const std::string& path, const WebConfig& config);

}  // namespace gpuproc
