#include "read_snapshot.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <utility>

namespace gpuproc {

namespace {

using Json = nlohmann::json;

// A scalar as the members need it.
struct Scalar {
  enum class Kind { kOther, kNumber, kText } kind = Kind::kOther;
  double value = 0;
  bool whole = false;  // a non-negative integer, held in `count`
  std::uint64_t count = 0;
  std::string* text = nullptr;

  // A figure: a finite number of at least 0.
  Figure AsFigure() const {
    return kind == Kind::kNumber && value >= 0 && std::isfinite(value) ? Figure(value)
                                                                       : std::nullopt;
  }
  std::optional<double> AsTime() const {
    return kind == Kind::kNumber && std::isfinite(value) ? std::optional<double>(value)
                                                         : std::nullopt;
  }
  std::string TakeText() const { return kind == Kind::kText ? std::move(*text) : std::string(); }
};

// The identity members an entry must have, one bit each.
enum Identity : unsigned { kProcessId = 1u << 0, kAdapterId = 1u << 1 };

constexpr double kNoTime = std::numeric_limits<double>::quiet_NaN();

// nlohmann's SAX events, followed through the snapshot's few levels;
// anything else nested is skipped whole.
class SnapshotSax {
 public:
  SnapshotSax(const std::function<void(SnapshotProcess&)>& onProcess,
              const std::function<void(SnapshotAdapter&)>& onAdapter)
      : onProcess_(onProcess), onAdapter_(onAdapter) {}

  std::optional<SnapshotHeader> Header() const {
    if (!sawProcesses_ || !sawAdapters_ || !header_.time || state_ != State::kDone) {
      return std::nullopt;
    }
    return SnapshotHeader{*header_.time, header_.unreadableProcesses};
  }

  bool null() { return Value(Scalar{}); }
  bool boolean(bool) { return Value(Scalar{}); }
  bool number_integer(Json::number_integer_t value) {
    return Value(Scalar{Scalar::Kind::kNumber, static_cast<double>(value)});
  }
  bool number_unsigned(Json::number_unsigned_t value) {
    return Value(Scalar{Scalar::Kind::kNumber, static_cast<double>(value), true, value});
  }
  bool number_float(Json::number_float_t value, const Json::string_t&) {
    return Value(Scalar{Scalar::Kind::kNumber, value});
  }
  bool string(Json::string_t& value) {
    return Value(Scalar{Scalar::Kind::kText, 0, false, 0, &value});
  }
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
        identity_ = 0;
        ownTime_.reset();
        state_ = State::kProcess;
        return true;
      case State::kAdapters:
        adapter_ = SnapshotAdapter();
        identity_ = 0;
        state_ = State::kAdapter;
        return true;
      case State::kAdapter:
        if (std::vector<NamedFigure>* readings = AdapterReadings(); readings != nullptr) {
          readings->clear();
          readings_ = readings;
          state_ = State::kAdapterReadings;
          return true;
        }
        return Nested();
      case State::kProcess:
        if (key_ == "EngineBusySeconds") {
          process_.engineBusySeconds.emplace();
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
        // A repeated type counts once, with its last value, as a JSON
        // object keeps it.
        auto& engines = *process_.engineBusySeconds;
        std::stable_sort(engines.begin(), engines.end(),
                         [](const auto& a, const auto& b) { return a.type < b.type; });
        const auto last =
            std::unique(engines.rbegin(), engines.rend(), [](const auto& a, const auto& b) {
              return a.type == b.type;
            }).base();
        engines.erase(engines.begin(), last);
        state_ = State::kProcess;
        return true;
      }
      case State::kAdapterReadings: {
        auto& readings = *readings_;
        std::stable_sort(readings.begin(), readings.end(),
                         [](const auto& a, const auto& b) { return a.name < b.name; });
        const auto last =
            std::unique(readings.rbegin(), readings.rend(), [](const auto& a, const auto& b) {
              return a.name == b.name;
            }).base();
        readings.erase(readings.begin(), last);
        state_ = State::kAdapter;
        return true;
      }
      case State::kProcess:
        if (identity_ != (kProcessId | kAdapterId)) return false;
        process_.time = ownTime_ ? *ownTime_ : header_.time.value_or(kNoTime);
        onProcess_(process_);
        state_ = State::kProcesses;
        return true;
      case State::kAdapter:
        if (identity_ != kAdapterId) return false;
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
  enum class State {
    kStart,
    kRoot,
    kProcesses,
    kProcess,
    kEngines,
    kAdapters,
    kAdapter,
    kAdapterReadings,
    kDone
  };

  // The adapter's named readings the current member holds, if it is one.
  std::vector<NamedFigure>* AdapterReadings() {
    if (key_ == "Temperatures") return &adapter_.temperaturesCelsius;
    if (key_ == "SlowdownTemperatures") return &adapter_.slowdownTemperaturesCelsius;
    if (key_ == "Clocks") return &adapter_.clocksHertz;
    return nullptr;
  }

  static bool IsIdentity(const std::string& key, State state) {
    return key == "Adapter" || (state == State::kProcess && key == "ProcessID");
  }

  // An object or array where the snapshot has none: skipped as the member's
  // unknown value, unless it stands where the shape needs something else.
  bool Nested() {
    switch (state_) {
      case State::kRoot:
        if (key_ == "Processes" || key_ == "Adapters") return false;
        Value(Scalar{});
        break;
      case State::kProcess:
      case State::kAdapter:
      case State::kEngines:
      case State::kAdapterReadings:
        if (state_ != State::kEngines && state_ != State::kAdapterReadings &&
            IsIdentity(key_, state_)) {
          return false;
        }
        Value(Scalar{});
        break;
      default:
        return false;  // an entry that is not an object
    }
    skipDepth_ = 1;
    return true;
  }

  Figure* AdapterFigure() {
    if (key_ == "PowerWatts") return &adapter_.powerWatts;
    if (key_ == "PowerLimitWatts") return &adapter_.powerLimitWatts;
    if (key_ == "EnergyJoules") return &adapter_.energyJoules;
    if (key_ == "IdleEnergyJoulesEstimate") return &adapter_.idleEnergyJoulesEstimate;
    if (key_ == "FanRPM") return &adapter_.fanRpm;
    if (key_ == "BusyPercent") return &adapter_.busyPercent;
    return nullptr;
  }

  void SetMemoryFigure(Figure figure) {
    const auto found = std::find(kSnapshotMemoryKeys.begin(), kSnapshotMemoryKeys.end(), key_);
    if (found == kSnapshotMemoryKeys.end()) return;
    process_.memoryMiB[static_cast<std::size_t>(found - kSnapshotMemoryKeys.begin())] = figure;
  }

  bool Value(const Scalar& scalar) {
    if (skipDepth_ > 0) return true;
    switch (state_) {
      case State::kRoot:
        if (key_ == "Time") {
          header_.time = scalar.AsTime();
        } else if (key_ == "UnreadableProcesses") {
          header_.unreadableProcesses =
              scalar.whole ? std::optional<std::uint64_t>(scalar.count) : std::nullopt;
        }
        return key_ != "Processes" && key_ != "Adapters";
      case State::kProcess:
        if (key_ == "ProcessID") {
          if (!scalar.whole || scalar.count > std::numeric_limits<std::uint32_t>::max()) {
            return false;
          }
          process_.processId = static_cast<std::uint32_t>(scalar.count);
          identity_ |= kProcessId;
        } else if (key_ == "Adapter") {
          if (scalar.kind != Scalar::Kind::kText) return false;
          process_.adapter = scalar.TakeText();
          identity_ |= kAdapterId;
        } else if (key_ == "Name") {
          process_.name = scalar.TakeText();
        } else if (key_ == "Time") {
          ownTime_ = scalar.AsTime();
        } else if (key_ == "EngineBusySeconds") {
          process_.engineBusySeconds.reset();
        } else if (key_ == "EnergyJoulesEstimate") {
          process_.energyJoulesEstimate = scalar.AsFigure();
        } else {
          SetMemoryFigure(scalar.AsFigure());
        }
        return true;
      case State::kEngines:
        process_.engineBusySeconds->push_back({key_, scalar.AsFigure()});
        return true;
      case State::kAdapterReadings:
        readings_->push_back({key_, scalar.AsFigure()});
        return true;
      case State::kAdapter:
        if (key_ == "Adapter") {
          if (scalar.kind != Scalar::Kind::kText) return false;
          adapter_.adapter = scalar.TakeText();
          identity_ |= kAdapterId;
        } else if (key_ == "AdapterName") {
          adapter_.adapterName = scalar.TakeText();
        } else if (key_ == "PciAddress") {
          adapter_.pciAddress = scalar.TakeText();
        } else if (key_ == "Kind") {
          adapter_.kind = scalar.TakeText();
        } else if (key_ == "GPUMemoryTotal") {
          adapter_.committedMiB = scalar.AsFigure();
        } else if (key_ == "GPUMemoryFree") {
          adapter_.freeMiB = scalar.AsFigure();
        } else if (key_ == "PowerScope") {
          adapter_.powerScope = scalar.TakeText();
        } else if (key_ == "EnergySource") {
          adapter_.energySource = scalar.TakeText();
        } else if (std::vector<NamedFigure>* readings = AdapterReadings(); readings != nullptr) {
          readings->clear();
        } else if (Figure* figure = AdapterFigure(); figure != nullptr) {
          *figure = scalar.AsFigure();
        }
        return true;
      default:
        return false;  // a scalar where an entry or the document should be
    }
  }

  struct DocumentMembers {
    std::optional<double> time;
    std::optional<std::uint64_t> unreadableProcesses;
  };

  const std::function<void(SnapshotProcess&)>& onProcess_;
  const std::function<void(SnapshotAdapter&)>& onAdapter_;
  State state_ = State::kStart;
  std::size_t skipDepth_ = 0;
  std::string key_;
  unsigned identity_ = 0;
  bool sawProcesses_ = false;
  bool sawAdapters_ = false;
  DocumentMembers header_;
  std::optional<double> ownTime_;
  SnapshotProcess process_;
  SnapshotAdapter adapter_;
  std::vector<NamedFigure>* readings_ = nullptr;
};

}  // namespace

std::optional<SnapshotHeader> ReadSnapshot(std::string_view text,
                                           const std::function<void(SnapshotProcess&)>& onProcess,
                                           const std::function<void(SnapshotAdapter&)>& onAdapter) {
  SnapshotSax sax(onProcess, onAdapter);
  if (!Json::sax_parse(text.begin(), text.end(), &sax)) return std::nullopt;
  return sax.Header();
}

std::optional<SnapshotDocument> ReadSnapshotDocument(std::string_view text) {
  SnapshotDocument document;
  const std::optional<SnapshotHeader> header = ReadSnapshot(
      text, [&](SnapshotProcess& process) { document.processes.push_back(std::move(process)); },
      [&](SnapshotAdapter& adapter) { document.adapters.push_back(std::move(adapter)); });
  if (!header) return std::nullopt;
  static_cast<SnapshotHeader&>(document) = *header;
  for (SnapshotProcess& process : document.processes) {
    if (std::isnan(process.time)) process.time = document.time;
  }
  return document;
}

}  // namespace gpuproc
