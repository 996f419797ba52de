// The --web.config.file of gpuproc-exporter, in the format every exporter
// built on the Prometheus exporter-toolkit reads: TLS for the listening
// sockets (served by the HTTP server's OpenSSL support) and basic-auth users
// with bcrypt hashes.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace gpuproc {

// The toolkit's client_auth_type values the HTTP server can enforce.
enum class ClientAuth { kNone, kVerifyIfGiven, kRequireAndVerify };

struct TLSSettings {
  std::string certFile;
  std::string keyFile;
  std::string clientCAFile;
  ClientAuth clientAuth = ClientAuth::kNone;
  // The HTTP server's ssl_protocol_version: 4 accepts TLS 1.2 and later
  // (the toolkit's default), 5 TLS 1.3 only.
  int protocolVersion = 4;
  // The key followed by the certificate file, as the server loads one PEM.
  std::string pem;

  bool operator==(const TLSSettings&) const = default;
};

struct WebConfig {
  std::optional<TLSSettings> tls;
  std::map<std::string, std::string> users;  // user name -> bcrypt hash

  bool operator==(const WebConfig&) const = default;
};

// Reads and checks the file; on failure `error` names the file and the key
// ("web.yml: tls_server_config.cert_file: cannot read 'x.pem': ...").
struct WebConfigResult {
  std::optional<WebConfig> config;
  std::string error;
};
WebConfigResult LoadWebConfig(const std::string& path);

// The files whose change means the configuration must be read again: the
// file itself and the certificate, key and CA files it names.
std::vector<std::string> WatchedFiles(const std::string& path, const WebConfig& config);

}  // namespace gpuproc
