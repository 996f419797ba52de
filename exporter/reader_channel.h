// The channel between the exporter's two processes: a SOCK_SEQPACKET
// socketpair on which the network side asks for one reading at a time and
// the reader answers with the library's snapshot and the owners of the
// processes in it.
//
// The request is one fixed message; the reader drops (and counts) any
// other. The answer is a header message with its length, then the payload
// in messages of at most kChunk bytes.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "pod_label.h"

namespace gpuproc {

struct ReaderAnswer {
  std::string snapshot;  // the library's snapshot text ("": the reading failed)
  std::map<std::uint32_t, ProcessOwner> owners;
};

// Both ends of a new channel (close-on-exec), or false with errno set.
bool OpenReaderChannel(int (&ends)[2]);

// The reader's side: answers each request with `read()`'s answer until the
// other end closes (returns 0) or the channel fails (returns 1). A request
// other than the one it knows is dropped, and `onDropped` told.
int ServeReadings(int channel, const std::function<ReaderAnswer()>& read,
                  const std::function<void()>& onDropped);

// The reader's answer for one snapshot: the owners of its processes.
ReaderAnswer AnswerFor(std::string snapshot, const OwnerLookup& owner);

// The first GPU source the library's snapshot says it lost ("LostSources":
// a source it was reading and could not open again, such as NVML after a
// driver reload), or "" where it lost none.
std::string FirstLostSource(std::string_view snapshot);

// The network side's: one reading at a time (the caller serialises).
class ReaderClient {
 public:
  enum class Outcome {
    kAnswered,
    kTimedOut,  // no answer yet: still awaited, and taken by the next Read
    kClosed,    // the reader is gone, or spoke out of turn: the pair must end
  };

  ReaderClient(int channel, std::chrono::milliseconds timeout)
      : channel_(channel), timeout_(timeout) {}

  // Asks for a reading unless one is still awaited, and waits for it up to
  // the timeout.
  Outcome Read(ReaderAnswer& answer);

 private:
  int channel_;
  std::chrono::milliseconds timeout_;
  bool awaited_ = false;
};

}  // namespace gpuproc
