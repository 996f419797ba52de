// What the exporter keeps about logins that failed, per client address: the
// last few wrong (user, password) digests, so that a client retrying the
// same wrong password costs no bcrypt, and how many of its checks are under
// way, so that one address that has failed cannot hold every check slot.
// A small LRU of addresses bounds it all: a flood of made-up passwords
// churns only its own entries and never what other clients rely on.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace gpuproc {

// An IPv4 address, or the /64 network of an IPv6 one (a single host is
// usually given a whole /64, so its addresses count as one client); an
// IPv4-mapped IPv6 address counts as the IPv4 one.
std::string ClientKey(const sockaddr* address);

class FailedLogins {
 public:
  // `clients`: addresses remembered; `digestsPerClient`: wrong passwords
  // remembered per address; `checksPerFailedClient`: checks queued or
  // running at once for an address with a failure on record.
  FailedLogins(std::size_t clients, std::size_t digestsPerClient,
               std::size_t checksPerFailedClient);

  // Whether this client failed with this digest lately.
  bool Remembered(const std::string& client, const std::string& digest) const;
  // A check about to be queued for the client: false when the client has a
  // failure on record and already has its share of checks under way.
  bool Admit(const std::string& client);
  // The end of an admitted check, and its verdict.
  void Finished(const std::string& client, const std::string& digest, bool accepted);
  // The end of an admitted check that never ran.
  void Release(const std::string& client);

  std::size_t ClientsRemembered() const;

 private:
  struct Entry {
    std::string client;
    std::vector<std::string> digests;  // the newest last
    std::size_t checking = 0;
    bool failed = false;
  };
  using Order = std::list<Entry>;  // the most recently used first

  Order::iterator Touch(const std::string& client);

  const std::size_t clients_;
  const std::size_t digestsPerClient_;
  const std::size_t checksPerFailedClient_;
  mutable std::mutex mutex_;
  Order order_;
  std::unordered_map<std::string, Order::iterator> index_;
};

}  // namespace gpuproc
