// Basic-auth users of the web configuration: bcrypt hashes checked with
// libcrypt, each (user, password) verdict remembered so that a scrape does
// not pay bcrypt's deliberate cost every time. Loading users computes
// nothing; the cost is paid per check, by the caller's thread.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace gpuproc {

// Costs above this take seconds per check on one core: a file holding one
// would let a few clients keep every core busy.
constexpr int kMaxBcryptCost = 16;

// A bcrypt hash ($2a$, $2b$ or $2y$, cost 04 to 31, 53 characters of
// bcrypt's base64) by its form alone: nothing is computed.
bool IsBcryptHash(const std::string& hash);
// The cost of a hash that IsBcryptHash accepts.
int BcryptCost(const std::string& hash);

struct Credentials {
  std::string user;
  std::string password;
};

// The user and password of an Authorization header ("Basic" in any case,
// then base64 of user:password), or nothing when the header is missing,
// malformed, or either part holds a NUL.
std::optional<Credentials> ParseAuthorization(const char* authorization);

class BasicAuth {
 public:
  // Replaces the users (name -> bcrypt hash) and forgets remembered
  // verdicts. Unknown users are checked against a decoy of the highest
  // cost among the new hashes, so that they take as long as known ones.
  void SetUsers(const std::map<std::string, std::string>& users);
  // False while no users are configured: every request is let through.
  bool Enabled() const;
  // The verdict already reached for these credentials, if any.
  std::optional<bool> Remembered(const Credentials& credentials) const;
  // Runs bcrypt: tens of milliseconds to seconds, by the hash's cost.
  bool Check(const Credentials& credentials);
  bool CheckHeader(const char* authorization);

 private:
  struct Users {
    std::map<std::string, std::string> hashes;
    std::string decoy;
  };

  std::shared_ptr<const Users> Current() const;

  mutable std::mutex mutex_;
  std::shared_ptr<const Users> users_ = std::make_shared<const Users>();
  // Keyed by a digest of (user, password, hash), so that the passwords that
  // clients tried are not kept.
  std::unordered_map<std::string, bool> verdicts_;
};

}  // namespace gpuproc
