#include "web_config.h"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string_view>

#include "basic_auth.h"
#include "web/tls_priority.h"

namespace gpuproc {

namespace {

// Keys of the toolkit's format that the exporter cannot honour: refused by
// name rather than ignored, since each one changes what the operator asked
// for. (http2: true is refused where it is read.)
constexpr std::string_view kUnsupportedKeys[] = {"http_server_config.rate_limit"};

// The response headers the toolkit lets a configuration set.
constexpr std::string_view kSettableHeaders[] = {"Strict-Transport-Security",
                                                 "X-Content-Type-Options", "X-Frame-Options",
                                                 "X-XSS-Protection", "Content-Security-Policy"};

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
  if (value == "RequestClientCert") return ClientAuth::kRequest;
  if (value == "RequireAnyClientCert") return ClientAuth::kRequireAny;
  if (value == "VerifyClientCertIfGiven") return ClientAuth::kVerifyIfGiven;
  if (value == "RequireAndVerifyClientCert") return ClientAuth::kRequireAndVerify;
  Fail(key, "'" + value + "' is not a client_auth_type");
}

std::vector<std::string> TextList(const YAML::Node& node, const std::string& key) {
  if (!node) return {};
  if (!node.IsSequence()) Fail(key, "not a list");
  std::vector<std::string> items;
  for (const auto& item : node) items.push_back(Text(item, key));
  return items;
}

// A PEM given inline (cert, key, client_ca) or by a file (the *_file key);
// not both, as the toolkit refuses.
std::string PEMOf(const YAML::Node& node, const std::string& path, const std::string& inlineKey,
                  std::string& file, std::string_view kind) {
  const std::string prefix = "tls_server_config.";
  const std::string fileKey = inlineKey + "_file";
  file = node[fileKey] ? Resolve(path, Text(node[fileKey], prefix + fileKey)) : std::string();
  const std::string text = node[inlineKey] ? Text(node[inlineKey], prefix + inlineKey) : "";
  if (!file.empty() && !text.empty()) Fail(prefix + inlineKey, "set together with " + fileKey);
  if (file.empty() && text.empty()) return {};
  if (!file.empty()) return ReadPEM(file, prefix + fileKey, kind);
  if (text.find(std::string(kind) + "-----") == std::string::npos) {
    Fail(prefix + inlineKey, "holds no PEM " + std::string(kind));
  }
  return text;
}

TLSSettings ParseTLS(const YAML::Node& node, const std::string& path) {
  const std::string prefix = "tls_server_config";
  if (!node.IsMap()) Fail(prefix, "not a map");
  CheckKeys(node, prefix,
            {"cert_file", "key_file", "cert", "key", "client_auth_type", "client_ca_file",
             "client_ca", "client_allowed_sans", "min_version", "max_version", "cipher_suites",
             "curve_preferences", "prefer_server_cipher_suites"});
  TLSSettings tls;
  const auto field = [&](const char* name) {
    return node[name] ? Text(node[name], prefix + "." + name) : std::string();
  };
  tls.keyPEM = PEMOf(node, path, "key", tls.keyFile, "PRIVATE KEY");
  tls.certificatePEM = PEMOf(node, path, "cert", tls.certFile, "CERTIFICATE");
  if (tls.certificatePEM.empty()) Fail(prefix + ".cert_file", "missing");
  if (tls.keyPEM.empty()) Fail(prefix + ".key_file", "missing");
  tls.clientAuth = ParseClientAuth(field("client_auth_type"), prefix + ".client_auth_type");
  tls.clientCAPEM = PEMOf(node, path, "client_ca", tls.clientCAFile, "CERTIFICATE");
  tls.clientAllowedSANs = TextList(node["client_allowed_sans"], prefix + ".client_allowed_sans");
  const bool verifies = tls.clientAuth == ClientAuth::kVerifyIfGiven ||
                        tls.clientAuth == ClientAuth::kRequireAndVerify;
  if (verifies && tls.clientCAPEM.empty()) {
    Fail(prefix + ".client_ca_file", "missing: client certificates are verified against it");
  }
  if (!verifies && !tls.clientCAPEM.empty()) {
    Fail(prefix + ".client_ca_file", "set, but client_auth_type verifies no client certificate");
  }
  if (!verifies && !tls.clientAllowedSANs.empty()) {
    Fail(prefix + ".client_allowed_sans",
         "set, but client_auth_type verifies no client certificate");
  }
  TLSChoices choices;
  if (node["min_version"]) choices.minVersion = field("min_version");
  if (node["max_version"]) choices.maxVersion = field("max_version");
  choices.cipherSuites = TextList(node["cipher_suites"], prefix + ".cipher_suites");
  choices.curvePreferences = TextList(node["curve_preferences"], prefix + ".curve_preferences");
  if (node["prefer_server_cipher_suites"]) {
    const std::string prefer = field("prefer_server_cipher_suites");
    if (prefer != "true" && prefer != "false") {
      Fail(prefix + ".prefer_server_cipher_suites", "not true or false");
    }
    choices.preferServerCipherSuites = prefer == "true";
  }
  const TLSPriority priority = MakeTLSPriority(choices);
  if (priority.priority.empty()) Fail(prefix + "." + priority.key, priority.error);
  tls.priority = priority.priority;
  return tls;
}

std::vector<std::pair<std::string, std::string>> ParseHTTPServer(const YAML::Node& node) {
  const std::string prefix = "http_server_config";
  if (node.IsNull()) return {};
  if (!node.IsMap()) Fail(prefix, "not a map");
  CheckKeys(node, prefix, {"http2", "headers"});
  if (node["http2"] && Text(node["http2"], prefix + ".http2") != "false") {
    Fail(prefix + ".http2", "gpuproc-exporter serves HTTP/1.1 only (set false or leave out)");
  }
  std::vector<std::pair<std::string, std::string>> headers;
  const YAML::Node map = node["headers"];
  if (!map || map.IsNull()) return headers;
  if (!map.IsMap()) Fail(prefix + ".headers", "not a map of header names to values");
  for (const auto& entry : map) {
    const std::string name = entry.first.as<std::string>();
    const std::string key = prefix + ".headers." + name;
    if (std::find(std::begin(kSettableHeaders), std::end(kSettableHeaders), name) ==
        std::end(kSettableHeaders)) {
      Fail(key, "not a header the configuration may set");
    }
    const std::string value = Text(entry.second, key);
    if (value.find_first_of("\r\n") != std::string::npos) Fail(key, "holds a line break");
    headers.emplace_back(name, value);
  }
  return headers;
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
    if (BcryptCost(hash) > kMaxBcryptCost) {
      Fail(key, "bcrypt cost " + std::to_string(BcryptCost(hash)) + " is above " +
                    std::to_string(kMaxBcryptCost) + ": each login would take seconds of CPU");
    }
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
      CheckKeys(root, "", {"tls_server_config", "basic_auth_users", "http_server_config"});
      if (root["tls_server_config"]) config.tls = ParseTLS(root["tls_server_config"], path);
      if (root["basic_auth_users"]) config.users = ParseUsers(root["basic_auth_users"]);
      if (root["http_server_config"]) config.headers = ParseHTTPServer(root["http_server_config"]);
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
