#include "basic_auth.h"

#include <crypt.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <string_view>

namespace gpuproc {

namespace {

// Client addresses whose failures are remembered, and the wrong passwords
// kept per address: enough for the few clients a node has, and a fixed
// bound whatever a flood sends.
constexpr std::size_t kFailedClients = 256;
constexpr std::size_t kFailedDigestsPerClient = 4;
constexpr std::size_t kBcryptLength = 60;
constexpr std::size_t kSettingLength = 29;  // "$2b$NN$" and the 22-character salt
constexpr int kMinBcryptCost = 4;

bool IsBcryptBase64(char c) {
  return c == '.' || c == '/' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         (c >= '0' && c <= '9');
}

std::optional<std::string> Crypt(const std::string& password, const std::string& hash) {
  // crypt_data is tens of kilobytes: not on a worker's stack.
  auto data = std::make_unique<crypt_data>();
  const char* result = ::crypt_r(password.c_str(), hash.c_str(), data.get());
  // libxcrypt returns a string starting with '*' for a setting it refuses.
  if (result == nullptr || result[0] == '*') return std::nullopt;
  return std::string(result);
}

// A hash no password matches, of the given cost: a fresh salt from
// crypt_gensalt (which computes nothing) and a checksum of zeros.
std::string DecoyHash(int cost) {
  char setting[CRYPT_GENSALT_OUTPUT_SIZE] = {};
  if (::crypt_gensalt_rn("$2b$", static_cast<unsigned long>(cost), nullptr, 0, setting,
                         sizeof setting) == nullptr) {
    return {};
  }
  return std::string(setting) + std::string(kBcryptLength - kSettingLength, '.');
}

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string CacheKey(const Credentials& credentials, const std::string& hash) {
  std::string material = credentials.user;
  material.push_back('\0');
  material += credentials.password;
  material.push_back('\0');
  material += hash;
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(material.data()), material.size(), digest);
  return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

std::optional<std::string> DecodeBase64(std::string_view text) {
  if (text.empty() || text.size() % 4 != 0 || text.size() > 4096) return std::nullopt;
  std::string decoded(text.size() / 4 * 3, '\0');
  const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(decoded.data()),
                                     reinterpret_cast<const unsigned char*>(text.data()),
                                     static_cast<int>(text.size()));
  if (length < 0) return std::nullopt;
  // EVP_DecodeBlock counts the bytes that the padding stands for.
  std::size_t size = static_cast<std::size_t>(length);
  for (std::size_t i = text.size(); i > 0 && text[i - 1] == '=' && size > 0; --i) --size;
  decoded.resize(size);
  return decoded;
}

}  // namespace

bool IsBcryptHash(const std::string& hash) {
  if (hash.size() != kBcryptLength || hash.compare(0, 2, "$2") != 0 || hash[3] != '$' ||
      hash[6] != '$') {
    return false;
  }
  if (hash[2] != 'a' && hash[2] != 'b' && hash[2] != 'y') return false;
  if (hash[4] < '0' || hash[4] > '9' || hash[5] < '0' || hash[5] > '9') return false;
  const int cost = BcryptCost(hash);
  return cost >= kMinBcryptCost && cost <= 31 &&
         std::all_of(hash.begin() + 7, hash.end(), IsBcryptBase64);
}

int BcryptCost(const std::string& hash) { return (hash[4] - '0') * 10 + (hash[5] - '0'); }

std::optional<Credentials> ParseAuthorization(const char* authorization) {
  if (authorization == nullptr) return std::nullopt;
  std::string_view value(authorization);
  // RFC 7617: the scheme name is case-insensitive.
  constexpr std::string_view kScheme = "basic ";
  if (value.size() <= kScheme.size() || strncasecmp(value.data(), kScheme.data(), kScheme.size()))
    return std::nullopt;
  value.remove_prefix(kScheme.size());
  while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
  const std::optional<std::string> decoded = DecodeBase64(value);
  if (!decoded || decoded->find('\0') != std::string::npos) return std::nullopt;
  const std::size_t colon = decoded->find(':');
  if (colon == std::string::npos) return std::nullopt;
  return Credentials{decoded->substr(0, colon), decoded->substr(colon + 1)};
}

BasicAuth::BasicAuth(std::size_t checksPerFailedClient)
    : failed_(kFailedClients, kFailedDigestsPerClient, checksPerFailedClient) {}

void BasicAuth::SetUsers(const std::map<std::string, std::string>& users) {
  auto next = std::make_shared<Users>();
  next->hashes = users;
  int cost = kMinBcryptCost;
  for (const auto& [user, hash] : users) cost = std::max(cost, BcryptCost(hash));
  next->decoy = DecoyHash(cost);
  std::lock_guard lock(mutex_);
  std::erase_if(accepted_, [&](const auto& entry) {
    const auto before = users_->hashes.find(entry.first);
    const auto after = users.find(entry.first);
    return before == users_->hashes.end() || after == users.end() ||
           before->second != after->second;
  });
  users_ = std::move(next);
}

bool BasicAuth::Enabled() const { return !Current()->hashes.empty(); }

std::shared_ptr<const BasicAuth::Users> BasicAuth::Current() const {
  std::lock_guard lock(mutex_);
  return users_;
}

std::optional<bool> BasicAuth::Remembered(const Credentials& credentials,
                                          const std::string& client) const {
  const std::shared_ptr<const Users> users = Current();
  const auto found = users->hashes.find(credentials.user);
  const std::string key =
      CacheKey(credentials, found != users->hashes.end() ? found->second : users->decoy);
  {
    std::lock_guard lock(mutex_);
    if (users != users_) return std::nullopt;
    const auto accepted = accepted_.find(credentials.user);
    if (accepted != accepted_.end() && SameText(accepted->second, key)) return true;
  }
  if (failed_.Remembered(client, key)) return false;
  return std::nullopt;
}

bool BasicAuth::Admit(const std::string& client) { return failed_.Admit(client); }

void BasicAuth::Abandon(const std::string& client) { failed_.Release(client); }

bool BasicAuth::Check(const Credentials& credentials, const std::string& client) {
  const std::shared_ptr<const Users> users = Current();
  const auto found = users->hashes.find(credentials.user);
  const bool known = found != users->hashes.end();
  const std::string& hash = known ? found->second : users->decoy;
  const std::optional<std::string> computed = Crypt(credentials.password, hash);
  // Compared whether or not the user exists, so that both take the same path.
  const bool matches = computed.has_value() && SameText(*computed, hash);
  const bool verdict = known && matches;
  const std::string key = CacheKey(credentials, hash);
  {
    std::lock_guard lock(mutex_);
    if (verdict && users == users_) accepted_[credentials.user] = key;
  }
  failed_.Finished(client, key, verdict);
  return verdict;
}

bool BasicAuth::CheckHeader(const char* authorization, const std::string& client) {
  const std::optional<Credentials> credentials = ParseAuthorization(authorization);
  if (!credentials) return false;
  if (const std::optional<bool> verdict = Remembered(*credentials, client)) return *verdict;
  if (!Admit(client)) return false;
  return Check(*credentials, client);
}

std::size_t BasicAuth::AcceptedRemembered() const {
  std::lock_guard lock(mutex_);
  return accepted_.size();
}

}  // namespace gpuproc
