#include "web_config.h"

#include <yaml-cpp/yaml.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string_view>

#include "basic_auth.h"

namespace gpuproc {

namespace {

// Keys of the toolkit's format that the HTTP server cannot honour: refused
// by name rather than ignored, since each one weakens or changes what the
// operator asked for.
constexpr std::string_view kUnsupportedKeys[] = {"http_server_config",
                                                 "tls_server_config.cert",
                                                 "tls_server_config.key",
                                                 "tls_server_config.client_ca",
                                                 "tls_server_config.client_allowed_sans",
                                                 "tls_server_config.cipher_suites",
                                                 "tls_server_config.curve_preferences",
                                                 "tls_server_config.max_version",
                                                 "tls_server_config.prefer_server_cipher_suites"};

struct ConfigError {
  std::string text;
};

[[noreturn]] void Fail(const std::string& key, const std::string& message) {
  throw ConfigError{key + ": " + message};
}

void CheckKeys(const YAML::Node& map, const std::string& prefix,
               std::initializer_list<std::string_view> known) {
  for (const auto& entry : map) {
    const std::string key = entry.first.as<std::string>();
    const std::string name = prefix.empty() ? key : prefix + "." + key;
    bool isKnown = false;
    for (std::string_view candidate : known) isKnown = isKnown || candidate == key;
    if (isKnown) continue;
    for (std::string_view unsupported : kUnsupportedKeys) {
      if (unsupported == name) Fail(name, "not supported by gpuproc-exporter");
    }
    Fail(name, "unknown key");
  }
}

std::string Text(const YAML::Node& node, const std::string& key) {
  if (!node.IsScalar()) Fail(key, "not a string");
  return node.as<std::string>();
}

std::string Resolve(const std::string& configPath, const std::string& file) {
  if (file.empty() || file.front() == '/') return file;
  const std::size_t slash = configPath.rfind('/');
  return slash == std::string::npos ? file : configPath.substr(0, slash + 1) + file;
}

// The file's text, which must hold a PEM block of `kind` ("CERTIFICATE",
// "PRIVATE KEY"), so that a swapped or empty file is named here and not
// reported by the server as a failure to start.
std::string ReadPEM(const std::string& file, const std::string& key, std::string_view kind) {
  std::ifstream stream(file, std::ios::binary);
  if (!stream) Fail(key, "cannot read '" + file + "': " + std::strerror(errno));
  std::ostringstream text;
  text << stream.rdbuf();
  const std::string content = text.str();
  const std::size_t begin = content.find("-----BEGIN ");
  if (begin == std::string::npos ||
      content.find(std::string(kind) + "-----", begin) == std::string::npos) {
    Fail(key, "'" + file + "' holds no PEM " + std::string(kind));
  }
  return content;
}

ClientAuth ParseClientAuth(const std::string& value, const std::string& key) {
  if (value.empty() || value == "NoClientCert") return ClientAuth::kNone;
  if (value == "VerifyClientCertIfGiven") return ClientAuth::kVerifyIfGiven;
  if (value == "RequireAndVerifyClientCert") return ClientAuth::kRequireAndVerify;
  if (value == "RequestClientCert" || value == "RequireAnyClientCert") {
    Fail(key, "'" + value +
                  "' is not supported: the HTTP server verifies every client certificate "
                  "(use VerifyClientCertIfGiven or RequireAndVerifyClientCert)");
  }
  Fail(key, "'" + value + "' is not a client_auth_type");
}

int ParseMinVersion(const std::string& value, const std::string& key) {
  // The HTTP server's ssl_protocol_version: TLS 1.0 and later is 2, ...
  if (value.empty() || value == "TLS12") return 4;
  if (value == "TLS13") return 5;
  if (value == "TLS11") return 3;
  if (value == "TLS10") return 2;
  Fail(key, "'" + value + "' is not one of TLS10, TLS11, TLS12, TLS13");
}

TLSSettings ParseTLS(const YAML::Node& node, const std::string& path) {
  const std::string prefix = "tls_server_config";
  if (!node.IsMap()) Fail(prefix, "not a map");
  CheckKeys(node, prefix,
            {"cert_file", "key_file", "client_auth_type", "client_ca_file", "min_version"});
  TLSSettings tls;
  const auto field = [&](const char* name) {
    return node[name] ? Text(node[name], prefix + "." + name) : std::string();
  };
  tls.certFile = Resolve(path, field("cert_file"));
  tls.keyFile = Resolve(path, field("key_file"));
  if (tls.certFile.empty()) Fail(prefix + ".cert_file", "missing");
  if (tls.keyFile.empty()) Fail(prefix + ".key_file", "missing");
  tls.clientAuth = ParseClientAuth(field("client_auth_type"), prefix + ".client_auth_type");
  tls.clientCAFile = Resolve(path, field("client_ca_file"));
  tls.protocolVersion = ParseMinVersion(field("min_version"), prefix + ".min_version");
  const std::string key = ReadPEM(tls.keyFile, prefix + ".key_file", "PRIVATE KEY");
  const std::string certificate = ReadPEM(tls.certFile, prefix + ".cert_file", "CERTIFICATE");
  tls.pem = key + "\n" + certificate;
  if (tls.clientAuth != ClientAuth::kNone) {
    if (tls.clientCAFile.empty()) {
      Fail(prefix + ".client_ca_file", "missing: client certificates are verified against it");
    }
    ReadPEM(tls.clientCAFile, prefix + ".client_ca_file", "CERTIFICATE");
  } else if (!tls.clientCAFile.empty()) {
    Fail(prefix + ".client_ca_file", "set, but client_auth_type asks for no client certificate");
  }
  return tls;
}

std::map<std::string, std::string> ParseUsers(const YAML::Node& node) {
  const std::string prefix = "basic_auth_users";
  if (node.IsNull()) return {};
  if (!node.IsMap()) Fail(prefix, "not a map of user names to bcrypt hashes");
  std::map<std::string, std::string> users;
  for (const auto& entry : node) {
    const std::string user = entry.first.as<std::string>();
    const std::string key = prefix + "." + user;
    if (user.empty() || user.find(':') != std::string::npos) {
      Fail(key, "a user name must be non-empty and hold no ':'");
    }
    const std::string hash = Text(entry.second, key);
    if (!IsBcryptHash(hash)) Fail(key, "not a bcrypt hash (htpasswd -nBC 10 USER makes one)");
    users.emplace(user, hash);
  }
  return users;
}

}  // namespace

WebConfigResult LoadWebConfig(const std::string& path) {
  WebConfigResult result;
  try {
    std::ifstream stream(path, std::ios::binary);
    if (!stream) throw ConfigError{std::string("cannot read: ") + std::strerror(errno)};
    const YAML::Node root = YAML::Load(stream);
    WebConfig config;
    if (!root.IsNull()) {
      if (!root.IsMap()) throw ConfigError{"not a map of settings"};
      CheckKeys(root, "", {"tls_server_config", "basic_auth_users"});
      if (root["tls_server_config"]) config.tls = ParseTLS(root["tls_server_config"], path);
      if (root["basic_auth_users"]) config.users = ParseUsers(root["basic_auth_users"]);
    }
    result.config = std::move(config);
  } catch (const ConfigError& error) {
    result.error = path + ": " + error.text;
  } catch (const YAML::Exception& error) {
    result.error = path + ": line " + std::to_string(error.mark.line + 1) + ", column " +
                   std::to_string(error.mark.column + 1) + ": " + error.msg;
  }
  return result;
}

std::vector<std::string> WatchedFiles(const std::string& path, const WebConfig& config) {
  std::vector<std::string> files = {path};
  if (config.tls) {
    for (const std::string* file :
         {&config.tls->certFile, &config.tls->keyFile, &config.tls->clientCAFile}) {
      if (!file->empty()) files.push_back(*file);
    }
  }
  return files;
}

}  // namespace gpuproc
