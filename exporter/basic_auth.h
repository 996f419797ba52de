// Basic-auth users of the web configuration: bcrypt hashes checked with
// libcrypt, each (user, password) verdict cached so that a scrape does not
// pay bcrypt's deliberate cost every time.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace gpuproc {

// A bcrypt hash ($2a$, $2b$ or $2y$) that libcrypt accepts.
bool IsBcryptHash(const std::string& hash);

class BasicAuth {
 public:
  // Replaces the users (name -> bcrypt hash) and forgets cached verdicts.
  void SetUsers(std::map<std::string, std::string> users);
  // False while no users are configured: every request is let through.
  bool Enabled() const;
  bool Check(const std::string& user, const std::string& password);
  // The value of an Authorization header ("Basic base64(user:password)"),
  // nullptr when the request has none.
  bool CheckHeader(const char* authorization);

 private:
  using Users = std::map<std::string, std::string>;

  mutable std::mutex mutex_;
  std::shared_ptr<const Users> users_ = std::make_shared<const Users>();
  // Keyed by a digest of (user, password, hash), so that the passwords that
  // clients tried are not kept.
  std::unordered_map<std::string, bool> verdicts_;
};

}  // namespace gpuproc
