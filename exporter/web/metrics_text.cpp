#include "metrics_text.h"

#include <prometheus/text_serializer.h>

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
  // The families go out of scope once written: only the text is kept.
  auto text = std::make_shared<const std::string>(
      prometheus::TextSerializer().Serialize(collector_->Collect()));
  latestEnd_ = std::chrono::steady_clock::now();
  latest_ = text;
  return text;
}

}  // namespace gpuproc
