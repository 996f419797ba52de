#include "snapshot_parser.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

namespace gpuproc {

namespace {

using Json = nlohmann::json;

// Marks an engine's unreadable value until repeated types are resolved.
constexpr double kUnread = std::numeric_limits<double>::quiet_NaN();

// A scalar as the entries need it: a number (whole and non-negative, or
// any), a string, or something else.
struct Scalar {
  bool number = false;
  bool wholeNonNegative = false;
  double value = 0;
  std::uint64_t whole = 0;
  std::string* text = nullptr;
  Reading AsReading() const { return number && value >= 0 ? Reading(value) : std::nullopt; }
};

// The fields an entry must have, one bit each.
enum ProcessField : unsigned {
  kProcessId = 1u << 4,  // the memory figures are bits 0 to 3
  kName = 1u << 5,
  kAdapter = 1u << 6,
  kEngines = 1u << 7,
  kAllProcessFields = (1u << 8) - 1,
};
enum AdapterField : unsigned {
  kAdapterId = 1u << 0,
  kCommitted = 1u << 1,
  kFree = 1u << 2,
  kAllAdapterFields = (1u << 3) - 1,
};

// nlohmann's SAX events, followed through the snapshot's few levels;
// anything else nested is skipped whole.
class SnapshotSax {
 public:
  SnapshotSax(const std::function<void(SnapshotProcess&)>& onProcess,
              const std::function<void(SnapshotAdapter&)>& onAdapter,
              std::uint64_t* unreadableProcesses)
      : onProcess_(onProcess), onAdapter_(onAdapter), unreadableProcesses_(unreadableProcesses) {}

  bool Complete() const { return sawProcesses_ && sawAdapters_ && state_ == State::kDone; }

  bool null() { return Value(Scalar{}); }
  bool boolean(bool) { return Value(Scalar{}); }
  bool number_integer(Json::number_integer_t value) {
    return Value(Scalar{true, false, static_cast<double>(value)});
  }
  bool number_unsigned(Json::number_unsigned_t value) {
    return Value(Scalar{true, true, static_cast<double>(value), value});
  }
  bool number_float(Json::number_float_t value, const Json::string_t&) {
    return Value(Scalar{true, false, value});
  }
  bool string(Json::string_t& value) { return Value(Scalar{false, false, 0, 0, &value}); }
  bool binary(Json::binary_t&) { return Value(Scalar{}); }
  bool key(Json::string_t& name) {
    if (skipDepth_ == 0) key_ = std::move(name);
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }

  bool start_object(std::size_t) {
    if (skipDepth_ > 0) return ++skipDepth_, true;
    switch (state_) {
      case State::kStart:
        state_ = State::kRoot;
        return true;
      case State::kProcesses:
        process_ = SnapshotProcess();
        fields_ = 0;
        state_ = State::kProcess;
        return true;
      case State::kAdapters:
        adapter_ = SnapshotAdapter();
        fields_ = 0;
        state_ = State::kAdapter;
        return true;
      case State::kProcess:
        if (key_ == "EngineBusySeconds") {
          fields_ |= kEngines;
          state_ = State::kEngines;
          return true;
        }
        return Nested();
      default:
        return Nested();
    }
  }

  bool end_object() {
    if (skipDepth_ > 0) return --skipDepth_, true;
    switch (state_) {
      case State::kRoot:
        state_ = State::kDone;
        return true;
      case State::kEngines: {
        // A repeated type counts once, its last value (readable or not),
        // as a JSON object keeps it.
        auto& engines = process_.engineBusySeconds;
        std::stable_sort(engines.begin(), engines.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        const auto last =
            std::unique(engines.rbegin(), engines.rend(), [](const auto& a, const auto& b) {
              return a.first == b.first;
            }).base();
        engines.erase(engines.begin(), last);
        std::erase_if(engines, [](const auto& engine) { return std::isnan(engine.second); });
        state_ = State::kProcess;
        return true;
      }
      case State::kProcess:
        if (fields_ != kAllProcessFields) return false;
        onProcess_(process_);
        state_ = State::kProcesses;
        return true;
      case State::kAdapter:
        if (fields_ != kAllAdapterFields) return false;
        onAdapter_(adapter_);
        state_ = State::kAdapters;
        return true;
      default:
        return false;
    }
  }

  bool start_array(std::size_t) {
    if (skipDepth_ > 0) return ++skipDepth_, true;
    if (state_ == State::kRoot && key_ == "Processes" && !sawProcesses_) {
      sawProcesses_ = true;
      state_ = State::kProcesses;
      return true;
    }
    if (state_ == State::kRoot && key_ == "Adapters" && !sawAdapters_) {
      sawAdapters_ = true;
      state_ = State::kAdapters;
      return true;
    }
    return Nested();
  }

  bool end_array() {
    if (skipDepth_ > 0) return --skipDepth_, true;
    if (state_ != State::kProcesses && state_ != State::kAdapters) return false;
    state_ = State::kRoot;
    return true;
  }

 private:
  enum class State { kStart, kRoot, kProcesses, kProcess, kEngines, kAdapters, kAdapter, kDone };

  // An object or array where the snapshot has none of interest: skipped,
  // unless it stands where an entry or its identity must be.
  bool Nested() {
    switch (state_) {
      case State::kRoot:
        if (key_ == "Processes" || key_ == "Adapters") return false;
        break;
      case State::kProcess:
        if (key_ == "ProcessID" || key_ == "Name" || key_ == "Adapter") return false;
        MarkMemoryFigure(std::nullopt);
        break;
      case State::kAdapter:
        if (key_ == "Adapter") return false;
        Value(Scalar{});
        break;
      case State::kEngines:
        process_.engineBusySeconds.emplace_back(key_, kUnread);
        break;
      default:
        return false;
    }
    skipDepth_ = 1;
    return true;
  }

  void MarkMemoryFigure(Reading reading) {
    const auto found = std::find(kSnapshotMemoryKeys.begin(), kSnapshotMemoryKeys.end(), key_);
    if (found == kSnapshotMemoryKeys.end()) return;
    const auto index = static_cast<std::size_t>(found - kSnapshotMemoryKeys.begin());
    process_.memoryMiB[index] = reading;
    fields_ |= 1u << index;
  }

  bool Value(const Scalar& scalar) {
    if (skipDepth_ > 0) return true;
    switch (state_) {
      case State::kRoot:
        if (key_ == "UnreadableProcesses" && unreadableProcesses_ != nullptr) {
          if (!scalar.wholeNonNegative) return false;
          *unreadableProcesses_ = scalar.whole;
        }
        return key_ != "Processes" && key_ != "Adapters";
      case State::kProcess:
        if (key_ == "ProcessID") {
          if (!scalar.wholeNonNegative || scalar.whole > std::numeric_limits<std::uint32_t>::max())
            return false;
          process_.processId = static_cast<std::uint32_t>(scalar.whole);
          fields_ |= kProcessId;
        } else if (key_ == "Name" || key_ == "Adapter") {
          if (scalar.text == nullptr) return false;
          (key_ == "Name" ? process_.name : process_.adapter) = std::move(*scalar.text);
          fields_ |= key_ == "Name" ? kName : kAdapter;
        } else if (key_ == "EngineBusySeconds") {
          return false;
        } else {
          MarkMemoryFigure(scalar.AsReading());
        }
        return true;
      case State::kEngines:
        process_.engineBusySeconds.emplace_back(key_, scalar.AsReading().value_or(kUnread));
        return true;
      case State::kAdapter:
        if (key_ == "Adapter") {
          if (scalar.text == nullptr) return false;
          adapter_.adapter = std::move(*scalar.text);
          fields_ |= kAdapterId;
        } else if (key_ == "AdapterName" || key_ == "PciAddress") {
          std::string text = scalar.text != nullptr ? std::move(*scalar.text) : std::string();
          (key_ == "AdapterName" ? adapter_.adapterName : adapter_.pciAddress) = std::move(text);
        } else if (key_ == "GPUMemoryTotal" || key_ == "GPUMemoryFree") {
          (key_ == "GPUMemoryTotal" ? adapter_.committedMiB : adapter_.freeMiB) =
              scalar.AsReading();
          fields_ |= key_ == "GPUMemoryTotal" ? kCommitted : kFree;
        }
        return true;
      default:
        return false;
    }
  }

  const std::function<void(SnapshotProcess&)>& onProcess_;
  const std::function<void(SnapshotAdapter&)>& onAdapter_;
  std::uint64_t* unreadableProcesses_;
  State state_ = State::kStart;
  std::size_t skipDepth_ = 0;
  std::string key_;
  unsigned fields_ = 0;
  bool sawProcesses_ = false;
  bool sawAdapters_ = false;
  SnapshotProcess process_;
  SnapshotAdapter adapter_;
};

}  // namespace

bool ParseSnapshot(std::string_view text, const std::function<void(SnapshotProcess&)>& onProcess,
                   const std::function<void(SnapshotAdapter&)>& onAdapter,
                   std::uint64_t* unreadableProcesses) {
  SnapshotSax sax(onProcess, onAdapter, unreadableProcesses);
  return Json::sax_parse(text.begin(), text.end(), &sax) && sax.Complete();
}

}  // namespace gpuproc
