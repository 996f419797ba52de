// Basic auth in front of the exporter's routes: a remembered verdict is
// given at once, and a bcrypt check runs on a worker, at most one per core
// at a time, behind a short queue. A client address that has failed a
// check may hold only part of the check slots, so that a flood of wrong
// passwords from one address leaves room for other clients' first logins.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "basic_auth.h"
#include "web/work_pool.h"

struct MHD_Connection;

namespace gpuproc {

class LoginGate {
 public:
  enum class Verdict { kAccepted, kRefused, kBusy };
  using Clock = std::chrono::steady_clock;

  LoginGate();

  void SetUsers(const std::map<std::string, std::string>& users) { auth_.SetUsers(users); }
  // False while no users are configured: every request is let through.
  bool Enabled() const { return auth_.Enabled(); }

  // The connection's credentials (nothing for a missing or malformed
  // Authorization header) and its client's key, read once per request.
  static std::optional<Credentials> CredentialsOf(MHD_Connection* connection);
  static std::string ClientOf(MHD_Connection* connection);

  // The verdict reached without bcrypt, or nothing when a check is needed.
  std::optional<Verdict> Remembered(const std::optional<Credentials>& credentials,
                                    const std::string& client) const;
  // Queues a check; `then` gets its verdict on a worker, kBusy when the
  // check waited too long for a core. False, with nothing queued, when the
  // queue or this client's share of it is full.
  bool CheckLater(const Credentials& credentials, const std::string& client,
                  Clock::time_point arrival, std::function<void(Verdict)> then);

 private:
  BasicAuth auth_;
  WorkPool checks_;
};

}  // namespace gpuproc
