// Basic-auth users of the web configuration: bcrypt hashes checked with
// libcrypt, each user's accepted password remembered so that a scrape does
// not pay bcrypt's deliberate cost every time. Loading users computes
// nothing; the cost is paid per check, by the caller's thread.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "failed_logins.h"

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
  // `checksPerFailedClient`: bcrypt checks queued or running at once for
  // a client address that has failed one.
  explicit BasicAuth(std::size_t checksPerFailedClient = 1);

  // Replaces the users (name -> bcrypt hash). A user whose hash is
  // unchanged keeps the password already accepted, so that a reload (a
  // renewed certificate, another user added) costs its scraper nothing.
  // Unknown users are checked against a decoy of the highest cost among
  // the new hashes, so that they take as long as known ones.
  void SetUsers(const std::map<std::string, std::string>& users);
  // False while no users are configured: every request is let through.
  bool Enabled() const;
  // The verdict already reached for these credentials, if any: true for a
  // user's accepted password, false for a wrong one this client tried lately.
  std::optional<bool> Remembered(const Credentials& credentials, const std::string& client) const;
  // A check about to be queued for `client` (see ClientKey): false when the
  // client has failed before and already has its share of checks under
  // way. Each admitted check ends in Check or Abandon.
  bool Admit(const std::string& client);
  void Abandon(const std::string& client);
  // Runs bcrypt: tens of milliseconds to seconds, by the hash's cost.
  bool Check(const Credentials& credentials, const std::string& client);
  // Remembered, else Admit and Check, for one client.
  bool CheckHeader(const char* authorization, const std::string& client = {});
  // How many accepted passwords are remembered: at most one per user.
  std::size_t AcceptedRemembered() const;

 private:
  struct Users {
    std::map<std::string, std::string> hashes;
    std::string decoy;
  };

  std::shared_ptr<const Users> Current() const;

  mutable std::mutex mutex_;
  std::shared_ptr<const Users> users_ = std::make_shared<const Users>();
  // User -> digest of (user, password, hash) of the password accepted, so
  // that the passwords are not kept. Apart from the failures, so that no
  // number of wrong passwords can push a scraper's login out.
  std::map<std::string, std::string> accepted_;
  FailedLogins failed_;
};

}  // namespace gpuproc
