#include "reader_channel.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string_view>
#include <vector>

#include "read_snapshot.h"

namespace gpuproc {

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kRequest[8] = {'g', 'p', 'u', 'r', 'e', 'a', 'd', '1'};
constexpr char kAnswerMagic[8] = {'g', 'p', 'u', 'a', 'n', 's', 'w', '1'};
// A message of the payload: well under the socket buffer, so that the
// reader's sends flow as the network side reads.
constexpr std::size_t kChunk = 64 * 1024;
// No snapshot comes near it; a bigger length is a broken channel.
constexpr std::uint64_t kMostPayload = 1ull << 30;

struct Header {
  char magic[8];
  std::uint64_t snapshotBytes;
  std::uint64_t payloadBytes;
};

bool SendAll(int channel, const void* data, std::size_t size) {
  const char* at = static_cast<const char*>(data);
  while (size > 0) {
    const std::size_t part = std::min(size, kChunk);
    const ssize_t sent = ::send(channel, at, part, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent != static_cast<ssize_t>(part)) return false;
    at += part;
    size -= part;
  }
  return true;
}

// Waits until `channel` is readable or `deadline` passes.
bool WaitReadable(int channel, Clock::time_point deadline) {
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd wanted{channel, POLLIN, 0};
    const int ready = ::poll(&wanted, 1, static_cast<int>(std::min<long long>(left, 60000)));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

// One message of at most `size` bytes, its length; 0 for an end of the
// channel, an error or a longer message (MSG_TRUNC gives its real length).
std::size_t ReceiveMessage(int channel, void* into, std::size_t size) {
  for (;;) {
    const ssize_t got = ::recv(channel, into, size, MSG_TRUNC);
    if (got < 0 && errno == EINTR) continue;
    return got > 0 && static_cast<std::size_t>(got) <= size ? static_cast<std::size_t>(got) : 0;
  }
}

std::string OwnersText(const std::map<std::uint32_t, ProcessOwner>& owners) {
  nlohmann::json list = nlohmann::json::array();
  for (const auto& [pid, owner] : owners) {
    list.push_back({pid, owner.container, owner.namespaceName, owner.pod, owner.podUid});
  }
  // Cgroup and folder names are bytes: invalid UTF-8 becomes U+FFFD, as
  // the label text would make it anyway.
  return list.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool ReadOwners(std::string_view text, std::map<std::uint32_t, ProcessOwner>& owners) {
  const nlohmann::json list = nlohmann::json::parse(text, nullptr, false);
  if (!list.is_array()) return false;
  for (const nlohmann::json& entry : list) {
    if (!entry.is_array() || entry.size() != 5 || !entry[0].is_number_unsigned()) return false;
    for (std::size_t i = 1; i < 5; ++i) {
      if (!entry[i].is_string()) return false;
    }
    owners[entry[0].get<std::uint32_t>()] =
        ProcessOwner{entry[1].get<std::string>(), entry[2].get<std::string>(),
                     entry[3].get<std::string>(), entry[4].get<std::string>()};
  }
  return true;
}

}  // namespace

bool OpenReaderChannel(int (&ends)[2]) {
  return ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) == 0;
}

ReaderAnswer AnswerFor(std::string snapshot, const OwnerLookup& owner) {
  ReaderAnswer answer;
  ReadSnapshot(
      snapshot,
      [&](SnapshotProcess& process) {
        if (answer.owners.count(process.processId) == 0) {
          answer.owners[process.processId] = owner(process.processId);
        }
      },
      [](SnapshotAdapter&) {});
  answer.snapshot = std::move(snapshot);
  return answer;
}

std::string FirstLostSource(std::string_view snapshot) {
  // The library writes the member last, as an array of plain names. No
  // string in the document holds an unescaped quote, so a process's name
  // cannot forge the member's opening.
  constexpr std::string_view kOpening = "\"LostSources\":[\"";
  const std::size_t at = snapshot.rfind(kOpening);
  if (at == std::string_view::npos) return {};
  const std::string_view rest = snapshot.substr(at + kOpening.size());
  return std::string(rest.substr(0, rest.find('"')));
}

int ServeReadings(int channel, const std::function<ReaderAnswer()>& read,
                  const std::function<void()>& onDropped) {
  for (;;) {
    char request[sizeof kRequest + 1];
    const ssize_t got = ::recv(channel, request, sizeof request, MSG_TRUNC);
    if (got == 0) return 0;
    if (got < 0) {
      if (errno == EINTR) continue;
      return 1;
    }
    if (got != sizeof kRequest || std::memcmp(request, kRequest, sizeof kRequest) != 0) {
      onDropped();
      continue;
    }
    const ReaderAnswer answer = read();
    const std::string owners = OwnersText(answer.owners);
    Header header{};
    std::memcpy(header.magic, kAnswerMagic, sizeof header.magic);
    header.snapshotBytes = answer.snapshot.size();
    header.payloadBytes = answer.snapshot.size() + owners.size();
    if (!SendAll(channel, &header, sizeof header) ||
        !SendAll(channel, answer.snapshot.data(), answer.snapshot.size()) ||
        !SendAll(channel, owners.data(), owners.size())) {
      return 1;
    }
  }
}

ReaderClient::Outcome ReaderClient::Read(ReaderAnswer& answer) {
  const Clock::time_point deadline = Clock::now() + timeout_;
  if (!awaited_) {
    if (::send(channel_, kRequest, sizeof kRequest, MSG_NOSIGNAL) != sizeof kRequest) {
      return Outcome::kClosed;
    }
    awaited_ = true;
  }
  if (!WaitReadable(channel_, deadline)) return Outcome::kTimedOut;
  Header header{};
  if (ReceiveMessage(channel_, &header, sizeof header) != sizeof header ||
      std::memcmp(header.magic, kAnswerMagic, sizeof header.magic) != 0 ||
      header.payloadBytes > kMostPayload || header.snapshotBytes > header.payloadBytes) {
    return Outcome::kClosed;
  }
  awaited_ = false;
  // The rest follows the header at once; a reader that stops halfway
  // leaves the channel out of step for good.
  std::string payload(header.payloadBytes, '\0');
  for (std::size_t at = 0; at < payload.size();) {
    if (!WaitReadable(channel_, std::max(deadline, Clock::now() + timeout_))) {
      return Outcome::kClosed;
    }
    const std::size_t got =
        ReceiveMessage(channel_, payload.data() + at, std::min(kChunk, payload.size() - at));
    if (got == 0) return Outcome::kClosed;
    at += got;
  }
  answer.owners.clear();
  if (!ReadOwners(std::string_view(payload).substr(header.snapshotBytes), answer.owners)) {
    return Outcome::kClosed;
  }
  payload.resize(header.snapshotBytes);
  answer.snapshot = std::move(payload);
  return Outcome::kAnswered;
}

}  // namespace gpuproc
