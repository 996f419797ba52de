#include "metrics_text.h"

#include <malloc.h>
#include <prometheus/text_serializer.h>

#include <sstream>

namespace gpuproc {

namespace {
thread_local std::chrono::steady_clock::time_point requestArrival;
}  // namespace

std::chrono::steady_clock::time_point RequestArrival() { return requestArrival; }

MetricsText::MetricsText(std::shared_ptr<prometheus::Collectable> collector)
    : collector_(std::move(collector)) {}

std::shared_ptr<const std::string> MetricsText::For(std::chrono::steady_clock::time_point arrival) {
  std::lock_guard lock(mutex_);
  if (latest_ != nullptr && latestEnd_ > arrival) return latest_;
  requestArrival = arrival;
  {
    // The families go out of scope once written, and the stream's buffer
    // becomes the text without a copy: only the text is kept.
    std::ostringstream stream;
    prometheus::TextSerializer().Serialize(stream, collector_->Collect());
    latest_ = std::make_shared<const std::string>(std::move(stream).str());
  }
  latestEnd_ = std::chrono::steady_clock::now();
  // A reading of thousands of processes frees tens of megabytes in small
  // pieces: give them back rather than keep the peak for good.
  ::malloc_trim(0);
  return latest_;
}

}  // namespace gpuproc
