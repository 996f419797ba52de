// The energy split between a device's processes, snapshot after snapshot.
#include "report/energy_account.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <utility>
#include <vector>

namespace gpuproc {
namespace {

const char* const kGpu = "luid_0x00000000_0x00000300_phys_0";

struct Reading {
  double time;
  std::optional<double> power;
  std::optional<double> counter;
  // Process id to its busy seconds per engine type.
  std::map<std::uint32_t, EngineBusySeconds> busy;
};

SnapshotDocument Document(const Reading& reading) {
  SnapshotDocument document;
  document.time = reading.time;
  SnapshotAdapter adapter;
  adapter.adapter = kGpu;
  adapter.powerWatts = reading.power;
  adapter.energyJoules = reading.counter;
  document.adapters.push_back(adapter);
  for (const auto& [processId, engines] : reading.busy) {
    SnapshotProcess process;
    process.processId = processId;
    process.adapter = kGpu;
    process.engineBusySeconds = engines;
    document.processes.push_back(process);
  }
  return document;
}

std::optional<double> EstimateOf(const SnapshotDocument& document, std::uint32_t processId) {
  for (const SnapshotProcess& process : document.processes)
    if (process.processId == processId) return process.energyJoulesEstimate;
  return std::nullopt;
}

TEST(EnergyAccount, SplitsByBusySecondsAndGivesTheRestToIdle) {
  struct Case {
    const char* name;
    Reading first, second;
    double expected1, expected2, expectedIdle;
  };
  // 100 W for 10 s: 1,000 J in the interval.
  const Case cases[] = {
      // 3 s and 1 s of 3D in 10 s: 30% and 10% of the energy, 60% idle.
      {"three to one",
       {0, 100, {}, {{1, {{"3D", 50.0}}}, {2, {{"3D", 7.0}}}}},
       {10, 100, {}, {{1, {{"3D", 53.0}}}, {2, {{"3D", 8.0}}}}},
       300,
       100,
       600},
      // Engine types count alike and add up: 2 s of 3D and 1 s of Copy
      // against 1 s of VideoDecode.
      {"engine types weighted alike",
       {0, 100, {}, {{1, {{"3D", 1.0}, {"Copy", 0.0}}}, {2, {{"VideoDecode", 0.0}}}}},
       {10, 100, {}, {{1, {{"3D", 3.0}, {"Copy", 1.0}}}, {2, {{"VideoDecode", 1.0}}}}},
       300,
       100,
       600},
      // 9 s and 3 s in 10 s (engines in parallel): all of it, still 3:1.
      {"busier than the interval",
       {0, 100, {}, {{1, {{"3D", 0.0}}}, {2, {{"3D", 0.0}}}}},
       {10, 100, {}, {{1, {{"3D", 9.0}}}, {2, {{"3D", 3.0}}}}},
       750,
       250,
       0},
      // The device's own counter: 1,000 J between the readings.
      {"counter",
       {0, {}, 5000, {{1, {{"3D", 0.0}}}, {2, {{"3D", 0.0}}}}},
       {10, {}, 6000, {{1, {{"3D", 3.0}}}, {2, {{"3D", 1.0}}}}},
       300,
       100,
       600},
      // An unreadable engine type counts as no busy time, not the whole process.
      {"unreadable type",
       {0, 100, {}, {{1, {{"3D", 0.0}, {"Copy", std::nullopt}}}, {2, {{"3D", 0.0}}}}},
       {10, 100, {}, {{1, {{"3D", 3.0}, {"Copy", std::nullopt}}}, {2, {{"3D", 1.0}}}}},
       300,
       100,
       600},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EnergyAccount account;
    SnapshotDocument first = Document(c.first);
    account.Account(first);
    EXPECT_EQ(EstimateOf(first, 1), 0.0);
    EXPECT_EQ(first.adapters[0].idleEnergyJoulesEstimate, 0.0);
    SnapshotDocument second = Document(c.second);
    account.Account(second);
    const double one = EstimateOf(second, 1).value_or(-1);
    const double two = EstimateOf(second, 2).value_or(-1);
    EXPECT_NEAR(one, c.expected1, 1e-9);
    EXPECT_NEAR(two, c.expected2, 1e-9);
    EXPECT_NEAR(one / two, c.expected1 / c.expected2, 0.01 * c.expected1 / c.expected2);
    EXPECT_NEAR(second.adapters[0].idleEnergyJoulesEstimate.value_or(-1), c.expectedIdle, 1e-9);
    // Nothing is lost or made up: the shares add up to the interval's energy.
    EXPECT_NEAR(one + two + *second.adapters[0].idleEnergyJoulesEstimate, 1000, 1e-9);
  }
}

TEST(EnergyAccount, CounterAndIntegratedPowerAgreeOnASteadyDevice) {
  // The same device read both ways: 150 W held, read every 2 s.
  EnergyAccount counted, integrated;
  double lastCounted = -1;
  for (int step = 0; step <= 5; ++step) {
    const double time = 100 + 2.0 * step;
    const std::map<std::uint32_t, EngineBusySeconds> busy = {{7, {{"3D", 0.5 * step}}}};
    SnapshotDocument a = Document({time, std::nullopt, 40000 + 150 * (time - 100), busy});
    SnapshotDocument b = Document({time, 150.0, std::nullopt, busy});
    counted.Account(a);
    integrated.Account(b);
    EXPECT_EQ(a.adapters[0].energySource, "counter");
    EXPECT_EQ(b.adapters[0].energySource, "integrated");
    // The counter's value is the device's; the integral starts at 0.
    EXPECT_NEAR(*a.adapters[0].energyJoules - 40000, *b.adapters[0].energyJoules, 1e-9);
    EXPECT_NEAR(*EstimateOf(a, 7), *EstimateOf(b, 7), 1e-9);
    // Power the counter gives none of is its mean since the last reading.
    if (step > 0) {
      EXPECT_NEAR(a.adapters[0].powerWatts.value_or(-1), 150, 1e-9);
    }
    EXPECT_GE(*EstimateOf(a, 7), lastCounted);
    lastCounted = *EstimateOf(a, 7);
  }
  // 0.5 s busy in every 2 s: a quarter of 1,500 J.
  EXPECT_NEAR(lastCounted, 375, 1e-9);
}

TEST(EnergyAccount, EstimatesNeverFall) {
  EnergyAccount account;
  const auto step = [&](Reading reading) {
    SnapshotDocument document = Document(reading);
    account.Account(document);
    return std::make_pair(EstimateOf(document, 1), document.adapters[0].idleEnergyJoulesEstimate);
  };
  step({0, {}, 1000, {{1, {{"3D", 10.0}}}}});
  const auto busy = step({10, {}, 2000, {{1, {{"3D", 15.0}}}}});
  EXPECT_NEAR(busy.first.value_or(-1), 500, 1e-9);
  // The process's busy total fell (its reading restarted): no time is
  // negative, and counting goes on from the new total.
  const auto fell = step({20, {}, 3000, {{1, {{"3D", 2.0}}}}});
  EXPECT_NEAR(fell.first.value_or(-1), 500, 1e-9);
  const auto resumed = step({30, {}, 4000, {{1, {{"3D", 7.0}}}}});
  EXPECT_NEAR(resumed.first.value_or(-1), 1000, 1e-9);
  // The counter went back (the driver reloaded): that interval's energy is
  // unknown and counts as none.
  const auto reset = step({40, {}, 10, {{1, {{"3D", 12.0}}}}});
  EXPECT_NEAR(reset.first.value_or(-1), 1000, 1e-9);
  EXPECT_GE(*reset.second, *resumed.second);
  // A snapshot from the past changes nothing.
  const auto past = step({35, {}, 5000, {{1, {{"3D", 20.0}}}}});
  EXPECT_NEAR(past.first.value_or(-1), 1000, 1e-9);
}

TEST(EnergyAccount, DeviceWithoutPowerOrEnergyHasNoEstimates) {
  EnergyAccount account;
  for (double time : {0.0, 10.0}) {
    SnapshotDocument document = Document({time, {}, {}, {{1, {{"3D", time}}}}});
    account.Account(document);
    EXPECT_FALSE(document.adapters[0].energyJoules);
    EXPECT_TRUE(document.adapters[0].energySource.empty());
    EXPECT_FALSE(EstimateOf(document, 1));
  }
}

}  // namespace
}  // namespace gpuproc
