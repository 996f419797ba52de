// The exporter's one collectable: each scrape takes an all-processes
// reading of the library and turns it into metric families. A scrape that
// arrives while a reading is being taken waits for it and is answered from
// it, so concurrent scrapes cost one 100 ms window, not one each.
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

// Returns the library's all-processes text ("" when the counters could not
// be opened).
using AllProcessesReader = std::function<std::string()>;
// Returns when the scrape being answered reached the server.
using ScrapeArrival = std::function<std::chrono::steady_clock::time_point()>;

struct ReadingTotals {
  double seconds = 0;
  std::uint64_t readings = 0;
  std::uint64_t errors = 0;
};

// The families of one reading: per process (labelled with `owner`'s answer),
// per adapter, and per pod on each adapter. False in `ok` when the text was
// empty or not the expected JSON: then only the exporter's own families are
// filled.
std::vector<prometheus::MetricFamily> BuildMetricFamilies(const std::string& allProcessesText,
                                                          const OwnerLookup& owner,
                                                          const ReadingTotals& totals, bool& ok);

class GPUCollector : public prometheus::Collectable {
 public:
  GPUCollector(AllProcessesReader reader, OwnerLookupFactory owners, ScrapeArrival arrival);

  // A reading that ended after this scrape arrived was in flight (or
  // begun) while the scrape waited: it answers this scrape too. Otherwise
  // the scrape takes its own.
  std::vector<prometheus::MetricFamily> Collect() const override;

 private:
  using Families = std::vector<prometheus::MetricFamily>;

  AllProcessesReader reader_;
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
