#include "failed_logins.h"

#include <netinet/in.h>

#include <algorithm>
#include <cstring>

namespace gpuproc {

std::string ClientKey(const sockaddr* address) {
  if (address == nullptr) return {};
  if (address->sa_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    return std::string(reinterpret_cast<const char*>(&v4->sin_addr), 4);
  }
  if (address->sa_family == AF_INET6) {
    const in6_addr& v6 = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
    const char* bytes = reinterpret_cast<const char*>(v6.s6_addr);
    if (IN6_IS_ADDR_V4MAPPED(&v6)) return std::string(bytes + 12, 4);
    return std::string(bytes, 8);
  }
  return {};
}

FailedLogins::FailedLogins(std::size_t clients, std::size_t digestsPerClient,
                           std::size_t checksPerFailedClient)
    : clients_(std::max<std::size_t>(1, clients)),
      digestsPerClient_(digestsPerClient),
      checksPerFailedClient_(std::max<std::size_t>(1, checksPerFailedClient)) {}

FailedLogins::Order::iterator FailedLogins::Touch(const std::string& client) {
  const auto found = index_.find(client);
  if (found != index_.end()) {
    order_.splice(order_.begin(), order_, found->second);
    return order_.begin();
  }
  if (order_.size() >= clients_) {
    index_.erase(order_.back().client);
    order_.pop_back();
  }
  order_.push_front(Entry{client, {}, 0, false});
  index_[client] = order_.begin();
  return order_.begin();
}

bool FailedLogins::Remembered(const std::string& client, const std::string& digest) const {
  std::lock_guard lock(mutex_);
  const auto found = index_.find(client);
  if (found == index_.end()) return false;
  const std::vector<std::string>& digests = found->second->digests;
  return std::find(digests.begin(), digests.end(), digest) != digests.end();
}

bool FailedLogins::Admit(const std::string& client) {
  std::lock_guard lock(mutex_);
  const Order::iterator entry = Touch(client);
  if (entry->failed && entry->checking >= checksPerFailedClient_) return false;
  ++entry->checking;
  return true;
}

void FailedLogins::Finished(const std::string& client, const std::string& digest, bool accepted) {
  std::lock_guard lock(mutex_);
  const Order::iterator entry = Touch(client);
  // An entry evicted while its check ran comes back with nothing under way.
  if (entry->checking > 0) --entry->checking;
  if (accepted) return;
  entry->failed = true;
  if (digestsPerClient_ == 0) return;
  std::vector<std::string>& digests = entry->digests;
  if (std::find(digests.begin(), digests.end(), digest) != digests.end()) return;
  if (digests.size() >= digestsPerClient_) digests.erase(digests.begin());
  digests.push_back(digest);
}

void FailedLogins::Release(const std::string& client) {
  std::lock_guard lock(mutex_);
  const auto found = index_.find(client);
  if (found != index_.end() && found->second->checking > 0) --found->second->checking;
}

std::size_t FailedLogins::ClientsRemembered() const {
  std::lock_guard lock(mutex_);
  return order_.size();
}

}  // namespace gpuproc
