// The exporter's one collectable: each scrape takes one snapshot of the
// library (memory now, engine time as cumulative busy seconds) and turns it
// into metric families. A scrape that arrives while a snapshot is being
// taken waits for it and is answered from it, so concurrent scrapes cost
// one reading, not one each.
#pragma once

#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "pod_label.h"

namespace gpuproc {

// Returns the library's snapshot text ("" when the counters could not be
// opened).
using SnapshotReader = std::function<std::string()>;
// Returns when the scrape being answered reached the server.
using ScrapeArrival = std::function<std::chrono::steady_clock::time_point()>;

struct ReadingTotals {
  double seconds = 0;
  std::uint64_t readings = 0;
  std::uint64_t errors = 0;
};

// The families of one snapshot: per process (labelled with `owner`'s
// answer), per adapter, and per pod on each adapter. False in `ok` when the
// text was empty or not the expected JSON: then only the exporter's own
// families are filled.
std::vector<prometheus::MetricFamily> BuildMetricFamilies(const std::string& snapshotText,
                                                          const OwnerLookup& owner,
                                                          const ReadingTotals& totals, bool& ok);

class GPUCollector : public prometheus::Collectable {
 public:
  GPUCollector(SnapshotReader reader, OwnerLookupFactory owners, ScrapeArrival arrival);

  // A reading that ended after this scrape arrived was in flight (or
  // begun) while the scrape waited: it answers this scrape too. Otherwise
  // the scrape takes its own.
  std::vector<prometheus::MetricFamily> Collect() const override;

 private:
  using Families = std::vector<prometheus::MetricFamily>;

  SnapshotReader reader_;
  OwnerLookupFactory owners_;
  ScrapeArrival arrival_;
  // Held for the whole reading: the library answers one call at a time,
  // and the scrapes that arrive meanwhile queue here for its result.
  mutable std::mutex mutex_;
  mutable std::uint64_t readings_ = 0;
  mutable std::uint64_t errors_ = 0;
  mutable std::chrono::steady_clock::time_point latestEnd_;
  mutable std::shared_ptr<const Families> latest_;
};

}  // namespace gpuproc
