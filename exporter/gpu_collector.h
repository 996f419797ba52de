// The exporter's one collectable: each scrape takes one snapshot of the
// library (memory now, engine time as cumulative busy seconds) and turns it
// into the scrape's text. A scrape that arrives while a snapshot is being
// taken waits for it and is answered from it, so concurrent scrapes cost
// one reading and one text, not one each.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "pod_label.h"

namespace gpuproc {

// Returns the library's snapshot text ("" when the counters could not be
// opened).
using SnapshotReader = std::function<std::string()>;

struct ReadingTotals {
  double seconds = 0;
  std::uint64_t readings = 0;
  std::uint64_t errors = 0;
};

// The scrape's text (Prometheus text format 0.0.4) for one snapshot:
// families per process (labelled with `owner`'s answer), per adapter, and
// per pod on each adapter, then the exporter's own. False in `ok` when the
// text was empty or not the expected JSON: then only the exporter's own
// families are written.
std::string BuildMetricsText(std::string snapshotText, const OwnerLookup& owner,
                             const ReadingTotals& totals, bool& ok);

class GPUCollector {
 public:
  GPUCollector(SnapshotReader reader, OwnerLookupFactory owners);

  // A reading that ended after `arrival` was in flight (or begun) while
  // the scrape waited: it answers this scrape too. Otherwise the scrape
  // takes its own.
  std::shared_ptr<const std::string> Collect(std::chrono::steady_clock::time_point arrival);

 private:
  SnapshotReader reader_;
  OwnerLookupFactory owners_;
  // Held for the whole reading: the library answers one call at a time,
  // and the scrapes that arrive meanwhile queue here for its result.
  std::mutex mutex_;
  std::uint64_t readings_ = 0;
  std::uint64_t errors_ = 0;
  std::chrono::steady_clock::time_point latestEnd_;
  std::shared_ptr<const std::string> latest_;
};

}  // namespace gpuproc
