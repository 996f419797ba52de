#include "web/login_gate.h"

#include <microhttpd.h>

#include <algorithm>
#include <thread>

#include "failed_logins.h"

namespace gpuproc {

namespace {

constexpr std::size_t kChecksQueuedPerCore = 4;
// A login that waited this long for a core is answered 503, not checked.
constexpr auto kCheckWaitLimit = std::chrono::seconds(2);

unsigned Cores() { return std::max(1u, std::thread::hardware_concurrency()); }

// Half the check slots (running and queued) for an address that has failed
// one: the other half stays open to every other client.
std::size_t ChecksPerFailedClient() {
  return std::max<std::size_t>(1, Cores() * (1 + kChecksQueuedPerCore) / 2);
}

}  // namespace

LoginGate::LoginGate()
    : auth_(ChecksPerFailedClient()), checks_(Cores(), Cores() * kChecksQueuedPerCore) {}

std::optional<Credentials> LoginGate::CredentialsOf(MHD_Connection* connection) {
  return ParseAuthorization(
      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION));
}

std::string LoginGate::ClientOf(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  return ClientKey(info != nullptr ? info->client_addr : nullptr);
}

std::optional<LoginGate::Verdict> LoginGate::Remembered(
    const std::optional<Credentials>& credentials, const std::string& client) const {
  if (!credentials) return Verdict::kRefused;
  const std::optional<bool> verdict = auth_.Remembered(*credentials, client);
  if (!verdict) return std::nullopt;
  return *verdict ? Verdict::kAccepted : Verdict::kRefused;
}

bool LoginGate::CheckLater(const Credentials& credentials, const std::string& client,
                           Clock::time_point arrival, std::function<void(Verdict)> then) {
  if (!auth_.Admit(client)) return false;
  const bool queued = checks_.Submit([this, credentials, client, arrival, then] {
    if (Clock::now() - arrival > kCheckWaitLimit) {
      auth_.Abandon(client);
      return then(Verdict::kBusy);
    }
    then(auth_.Check(credentials, client) ? Verdict::kAccepted : Verdict::kRefused);
  });
  if (!queued) auth_.Abandon(client);
  return queued;
}

}  // namespace gpuproc
