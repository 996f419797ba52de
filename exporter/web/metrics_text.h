// The text of a scrape: the collector's families in Prometheus's text
// format, made once per reading and shared by every scrape it answers, so
// that concurrent scrapers cost one text, not one each.
#pragma once

#include <prometheus/collectable.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

namespace gpuproc {

class MetricsText {
 public:
  explicit MetricsText(std::shared_ptr<prometheus::Collectable> collector);

  // The text of a reading that ended after `arrival`, taken now if none
  // has.
  std::shared_ptr<const std::string> For(std::chrono::steady_clock::time_point arrival);

 private:
  std::shared_ptr<prometheus::Collectable> collector_;
  std::mutex mutex_;
  std::shared_ptr<const std::string> latest_;
  std::chrono::steady_clock::time_point latestEnd_;
};

// When the scrape that the calling thread is answering reached the server:
// what the collector compares its latest reading against.
std::chrono::steady_clock::time_point RequestArrival();

}  // namespace gpuproc
