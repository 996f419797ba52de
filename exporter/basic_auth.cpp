#include "basic_auth.h"

#include <crypt.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <strings.h>

#include <cstring>
#include <optional>
#include <string_view>

namespace gpuproc {

namespace {

// Enough distinct verdicts for every real client; a flood of made-up
// passwords only restarts the cache instead of growing it without end.
constexpr std::size_t kMaxVerdicts = 1024;

// Checked against for an unknown user, so that the answer takes as long as
// for a known one and does not tell which names exist.
constexpr const char* kDecoyHash = "$2y$10$Vgdr6FZQ/CUn4KQlx3vRtuqi.RiCO1Shd0GXTF3OdLzs4Zq2ghlgi";

std::optional<std::string> Crypt(const std::string& password, const std::string& hash) {
  // crypt_data is tens of kilobytes: not on a server thread's stack.
  auto data = std::make_unique<crypt_data>();
  const char* result = ::crypt_r(password.c_str(), hash.c_str(), data.get());
  // libxcrypt returns a string starting with '*' for a setting it refuses.
  if (result == nullptr || result[0] == '*') return std::nullopt;
  return std::string(result);
}

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string CacheKey(const std::string& user, const std::string& password,
                     const std::string& hash) {
  std::string material = user;
  material.push_back('\0');
  material += password;
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
  if (hash.size() != 60 || hash[0] != '$' || hash[1] != '2' || hash[3] != '$') return false;
  if (hash[2] != 'a' && hash[2] != 'b' && hash[2] != 'y') return false;
  const std::optional<std::string> probe = Crypt("", hash);
  // The result repeats the hash's setting (algorithm, cost, salt).
  return probe && probe->size() == hash.size() && probe->compare(0, 29, hash, 0, 29) == 0;
}

void BasicAuth::SetUsers(std::map<std::string, std::string> users) {
  std::lock_guard lock(mutex_);
  users_ = std::make_shared<const Users>(std::move(users));
  verdicts_.clear();
}

bool BasicAuth::Enabled() const {
  std::lock_guard lock(mutex_);
  return !users_->empty();
}

bool BasicAuth::Check(const std::string& user, const std::string& password) {
  std::shared_ptr<const Users> users;
  {
    std::lock_guard lock(mutex_);
    users = users_;
  }
  const auto found = users->find(user);
  const bool known = found != users->end();
  const std::string hash = known ? found->second : kDecoyHash;
  const std::string key = CacheKey(user, password, hash);
  {
    std::lock_guard lock(mutex_);
    const auto cached = verdicts_.find(key);
    if (cached != verdicts_.end() && users == users_) return cached->second;
  }
  // bcrypt runs outside the lock: concurrent scrapes need not queue.
  const std::optional<std::string> computed = Crypt(password, hash);
  const bool verdict = known && computed && SameText(*computed, hash);
  std::lock_guard lock(mutex_);
  if (users == users_) {
    if (verdicts_.size() >= kMaxVerdicts) verdicts_.clear();
    verdicts_[key] = verdict;
  }
  return verdict;
}

bool BasicAuth::CheckHeader(const char* authorization) {
  if (authorization == nullptr) return false;
  std::string_view value(authorization);
  constexpr std::string_view kScheme = "Basic ";
  if (value.size() <= kScheme.size() || strncasecmp(value.data(), "basic ", kScheme.size()) != 0)
    return false;
  value.remove_prefix(kScheme.size());
  while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
  const std::optional<std::string> decoded = DecodeBase64(value);
  if (!decoded) return false;
  const std::size_t colon = decoded->find(':');
  if (colon == std::string::npos) return false;
  return Check(decoded->substr(0, colon), decoded->substr(colon + 1));
}

}  // namespace gpuproc
