#include "platform/linux/fdinfo_parser.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>

namespace gpuproc {
namespace {

using namespace std::string_view_literals;

constexpr std::uint64_t kKiB = 1024;
constexpr std::uint64_t kMiB = 1024 * 1024;

const FdinfoRegion* FindRegion(const DrmFdinfo& info, std::string_view name) {
  for (const FdinfoRegion& region : info.regions) {
    if (region.name == name) return &region;
  }
  return nullptr;
}

std::optional<std::uint64_t> Resident(const DrmFdinfo& info, std::string_view name) {
  const FdinfoRegion* region = FindRegion(info, name);
  return region ? region->ResidentBytes() : std::nullopt;
}

std::optional<std::uint64_t> Total(const DrmFdinfo& info, std::string_view name) {
  const FdinfoRegion* region = FindRegion(info, name);
  return region ? region->total : std::nullopt;
}

std::optional<std::uint64_t> Busy(const DrmFdinfo& info, std::string_view name) {
  const FdinfoEngine* engine = info.FindEngine(name);
  return engine ? engine->busyNs : std::nullopt;
}

std::vector<std::string> EngineNames(const DrmFdinfo& info) {
  std::vector<std::string> names;
  for (const FdinfoEngine& engine : info.engines) names.push_back(engine.name);
  return names;
}

std::vector<std::string> RegionNames(const DrmFdinfo& info) {
  std::vector<std::string> names;
  for (const FdinfoRegion& region : info.regions) names.push_back(region.name);
  return names;
}

TEST(FdinfoParser, AmdgpuLegacyFormat) {
  // amdgpu before drm_print_memory_stats: KiB values, "drm-memory-gtt: \t".
  const DrmFdinfo info = ParseFdinfo(
      "pos:\t0\nflags:\t02100002\nmnt_id:\t24\nino:\t1064\npasid:\t32770\n"
      "drm-driver:\tamdgpu\ndrm-pdev:\t0000:03:00.0\ndrm-client-id:\t41\n"
      "drm-memory-vram:\t262144 KiB\ndrm-memory-gtt: \t16384 KiB\ndrm-memory-cpu: \t0 KiB\n"
      "amd-memory-visible-vram:\t262144 KiB\namd-requested-vram:\t262144 KiB\n"
      "drm-engine-gfx:\t1234567890 ns\ndrm-engine-dma:\t23456 ns\n");
  EXPECT_EQ(info.driver, "amdgpu");
  EXPECT_EQ(info.pdev, "0000:03:00.0");
  EXPECT_EQ(info.clientId, 41u);
  EXPECT_EQ(RegionNames(info), (std::vector<std::string>{"vram", "gtt", "cpu"}));
  EXPECT_EQ(Resident(info, "vram"), 262144 * kKiB);
  EXPECT_EQ(Resident(info, "gtt"), 16384 * kKiB);
  EXPECT_EQ(Resident(info, "cpu"), 0u);
  EXPECT_EQ(Total(info, "vram"), std::nullopt);
  EXPECT_EQ(EngineNames(info), (std::vector<std::string>{"gfx", "dma"}));
  EXPECT_EQ(Busy(info, "gfx"), 1234567890u);
}

TEST(FdinfoParser, AmdgpuAliasNeverCountsTwice) {
  // Newer amdgpu prints the deprecated drm-memory- keys next to
  // drm-resident-; only the exact resident figure counts.
  const DrmFdinfo info = ParseFdinfo(
      "drm-driver:\tamdgpu\ndrm-client-id:\t57\n"
      "drm-total-vram:\t768 MiB\ndrm-shared-vram:\t64 MiB\ndrm-resident-vram:\t536870913\n"
      "drm-total-gtt:\t48 MiB\n"
      "drm-memory-vram:\t524288 KiB\ndrm-memory-gtt: \t40960 KiB\n");
  EXPECT_EQ(Resident(info, "vram"), 536870913u);
  EXPECT_EQ(Total(info, "vram"), 768 * kMiB);
  // gtt has no drm-resident- key: the alias stands in for it.
  EXPECT_EQ(Resident(info, "gtt"), 40960 * kKiB);
  EXPECT_EQ(RegionNames(info), (std::vector<std::string>{"vram", "gtt"}));
}

TEST(FdinfoParser, ResidentFallsBackToTotalWithoutResidency) {
  const DrmFdinfo info = ParseFdinfo("drm-driver: x\ndrm-total-memory: 3 MiB\n");
  EXPECT_EQ(Resident(info, "memory"), 3 * kMiB);
}

TEST(FdinfoParser, I915Format) {
  const DrmFdinfo info = ParseFdinfo(
      "drm-driver:\ti915\ndrm-client-id:\t23\ndrm-pdev:\t0000:03:00.0\n"
      "drm-total-system0:\t24 MiB\ndrm-resident-system0:\t24 MiB\n"
      "drm-total-local0:\t300 MiB\ndrm-resident-local0:\t256 MiB\n"
      "drm-total-stolen-local0:\t0\ndrm-resident-stolen-local0:\t0\n"
      "drm-engine-render:\t25662044495 ns\ndrm-engine-copy:\t0 ns\n"
      "drm-engine-video:\t0 ns\ndrm-engine-capacity-video:\t2\n"
      "drm-engine-video-enhance:\t0 ns\ndrm-engine-capacity-video-enhance:\t2\n");
  EXPECT_EQ(EngineNames(info),
            (std::vector<std::string>{"render", "copy", "video", "video-enhance"}));
  EXPECT_EQ(info.FindEngine("video")->capacity, 2u);
  EXPECT_EQ(info.FindEngine("video-enhance")->capacity, 2u);
  EXPECT_EQ(info.FindEngine("render")->capacity, std::nullopt);
  EXPECT_EQ(RegionNames(info), (std::vector<std::string>{"system0", "local0", "stolen-local0"}));
  EXPECT_EQ(Resident(info, "local0"), 256 * kMiB);
  EXPECT_EQ(Total(info, "local0"), 300 * kMiB);
}

TEST(FdinfoParser, XeCyclesAreEnginesNotRegions) {
  const DrmFdinfo info = ParseFdinfo(
      "drm-driver:\txe\ndrm-client-id:\t34\n"
      "drm-total-vram0:\t640 MiB\ndrm-resident-vram0:\t512 MiB\n"
      "drm-cycles-rcs:\t28257900\ndrm-total-cycles-rcs:\t7655183225\n"
      "drm-cycles-ccs:\t0\ndrm-total-cycles-ccs:\t7655183225\ndrm-engine-capacity-ccs:\t4\n");
  EXPECT_EQ(RegionNames(info), (std::vector<std::string>{"vram0"}));
  EXPECT_EQ(EngineNames(info), (std::vector<std::string>{"rcs", "ccs"}));
  const FdinfoEngine* rcs = info.FindEngine("rcs");
  EXPECT_EQ(rcs->cycles, 28257900u);
  EXPECT_EQ(rcs->totalCycles, 7655183225u);
  EXPECT_EQ(rcs->busyNs, std::nullopt);
  EXPECT_EQ(info.FindEngine("ccs")->capacity, 4u);
  EXPECT_EQ(info.FindEngine("ccs")->busyNs, std::nullopt);
}

TEST(FdinfoParser, BusyTimeAndCycleDriversWithFrequencyKeys) {
  struct Case {
    const char* name;
    std::string_view text;
    std::vector<std::string> engines;
    std::vector<std::string> regions;
    std::optional<std::uint64_t> memoryResident;
  };
  const Case cases[] = {
      {"msm",
       "drm-driver:\tmsm\ndrm-client-id:\t7\ndrm-engine-gpu:\t1258400000 ns\n"
       "drm-cycles-gpu:\t754412000\ndrm-maxfreq-gpu:\t587000000 Hz\n",
       {"gpu"},
       {},
       std::nullopt},
      {"panfrost",
       "drm-driver:     panfrost\ndrm-client-id:  14\n"
       "drm-engine-fragment:    1846584880 ns\ndrm-cycles-fragment:    1424359409\n"
       "drm-maxfreq-fragment:   799999987 Hz\ndrm-curfreq-fragment:   799999987 Hz\n"
       "drm-engine-vertex-tiler:        71932239 ns\n"
       "drm-total-memory:       290 MiB\ndrm-shared-memory:      0 MiB\n"
       "drm-resident-memory:    36496 KiB\ndrm-purgeable-memory:   128 KiB\n",
       {"fragment", "vertex-tiler"},
       {"memory"},
       36496 * kKiB},
      {"panthor",
       "drm-driver:     panthor\ndrm-client-id:  10\ndrm-engine-panthor:     111110952750 ns\n"
       "drm-cycles-panthor:     94439687187\npanthor-resident-memory:        10396 KiB\n"
       "drm-total-memory:       16480 KiB\ndrm-shared-memory:      0\n"
       "drm-resident-memory:    16480 KiB\n",
       {"panthor"},
       {"memory"},
       16480 * kKiB},
      {"v3d",
       "drm-driver:\tv3d\ndrm-client-id:\t3\ndrm-engine-bin:\t56284100 ns\n"
       "v3d-jobs-bin:\t1254 jobs\ndrm-engine-render:\t430120433 ns\ndrm-engine-csd:\t0 ns\n"
       "drm-total-memory:\t19 MiB\ndrm-resident-memory:\t19 MiB\n",
       {"bin", "render", "csd"},
       {"memory"},
       19 * kMiB},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const DrmFdinfo info = ParseFdinfo(c.text);
    EXPECT_EQ(info.driver, c.name);
    EXPECT_EQ(EngineNames(info), c.engines);
    EXPECT_EQ(RegionNames(info), c.regions);
    EXPECT_EQ(Resident(info, "memory"), c.memoryResident);
    for (const FdinfoEngine& engine : info.engines) EXPECT_TRUE(engine.busyNs.has_value());
  }
}

TEST(FdinfoParser, SizeUnits) {
  struct Case {
    std::string_view value;
    std::optional<std::uint64_t> bytes;
  };
  const Case cases[] = {
      {"0", 0},
      {"1536", 1536},
      {"3 KiB", 3 * kKiB},
      {"3 kB", 3 * kKiB},
      {"3KiB", 3 * kKiB},
      {"5 MiB", 5 * kMiB},
      {"2 GiB", 2 * 1024 * kMiB},
      {"7 \t MiB \t", 7 * kMiB},
      {"0 MiB", 0},
      {"3 TiB", std::nullopt},
      {"3 kib", std::nullopt},
      {"3 ns", std::nullopt},
      {"-3 KiB", std::nullopt},
      {"three", std::nullopt},
      {"", std::nullopt},
      {"3 MiB extra", std::nullopt},
      {"18446744073709551615", 18446744073709551615ull},
      {"18446744073709551616", std::nullopt},
      {"99999999999999999999999999", std::nullopt},
      // Fits in 64 bits only before scaling.
      {"18014398509481984 KiB", std::nullopt},
      {"18014398509481983 KiB", 18014398509481983ull * kKiB},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    const DrmFdinfo info =
        ParseFdinfo("drm-driver: x\ndrm-resident-r:\t" + std::string(c.value) + "\n");
    EXPECT_EQ(Resident(info, "r"), c.bytes);
  }
}

TEST(FdinfoParser, EngineValueUnits) {
  struct Case {
    std::string_view line;
    std::optional<std::uint64_t> busy;
    std::optional<std::uint64_t> capacity;
  };
  const Case cases[] = {
      {"drm-engine-e: 12 ns", 12, std::nullopt},
      {"drm-engine-e: 12", 12, std::nullopt},
      {"drm-engine-e: 12 us", std::nullopt, std::nullopt},
      {"drm-engine-e: 12 KiB", std::nullopt, std::nullopt},
      {"drm-engine-e: -12 ns", std::nullopt, std::nullopt},
      {"drm-engine-capacity-e: 4", std::nullopt, 4},
      {"drm-engine-capacity-e: 4 ns", std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const DrmFdinfo info = ParseFdinfo(c.line);
    const FdinfoEngine* engine = info.FindEngine("e");
    EXPECT_EQ(engine ? engine->busyNs : std::nullopt, c.busy);
    EXPECT_EQ(engine ? engine->capacity : std::nullopt, c.capacity);
    // The capacity key must never be read as an engine named "capacity-e".
    EXPECT_EQ(info.FindEngine("capacity-e"), nullptr);
  }
}

TEST(FdinfoParser, KeyPrefixTraps) {
  const DrmFdinfo info = ParseFdinfo(
      "drm-engine-capacity-rcs:\t2\ndrm-engine-rcs:\t10 ns\n"
      "drm-total-cycles-rcs:\t500\ndrm-cycles-rcs:\t100\ndrm-total-vram0:\t1 MiB\n");
  ASSERT_EQ(EngineNames(info), (std::vector<std::string>{"rcs"}));
  const FdinfoEngine& rcs = info.engines.front();
  EXPECT_EQ(rcs.capacity, 2u);
  EXPECT_EQ(rcs.busyNs, 10u);
  EXPECT_EQ(rcs.totalCycles, 500u);
  EXPECT_EQ(rcs.cycles, 100u);
  EXPECT_EQ(RegionNames(info), (std::vector<std::string>{"vram0"}));
}

TEST(FdinfoParser, SpacesAndTabsAfterColon) {
  const DrmFdinfo info = ParseFdinfo(
      "drm-driver:amdgpu\r\ndrm-client-id: \t 9\ndrm-engine-gfx:\t\t 5 ns \n"
      "drm-memory-gtt: \t16 KiB");
  EXPECT_EQ(info.driver, "amdgpu");
  EXPECT_EQ(info.clientId, 9u);
  EXPECT_EQ(Busy(info, "gfx"), 5u);
  // No trailing newline on the last line.
  EXPECT_EQ(Resident(info, "gtt"), 16 * kKiB);
}

TEST(FdinfoParser, MalformedInputIsIgnored) {
  std::string text = "drm-driver:\ti915\n";
  text += "drm-engine-render 5 ns\n";                                 // no colon
  text += "drm-engine-:\t5 ns\n";                                     // empty class
  text += "drm-client-id:\t-4\n";                                     // negative
  text += "drm-engine-copy:\t1e9 ns\n";                               // not a decimal number
  text += "drm-engine-bad name:\t5 ns\n";                             // whitespace in a key
  text += "drm-resident-" + std::string(100 * 1024, 'x') + ":\t5\n";  // 100 KiB key
  text += "drm-engine-video:\t" + std::string(100 * 1024, '9') + " ns\n";
  text += "drm-engine-vi\0deo:\t5 ns\n"sv;    // NUL in the key
  text += "drm-engine-compute:\t5\0 ns\n"sv;  // NUL in the value
  text += "\n\n:::\n";
  text += "drm-engine-render:\t77 ns";  // last line, no newline
  const DrmFdinfo info = ParseFdinfo(text);
  EXPECT_EQ(info.driver, "i915");
  EXPECT_EQ(info.clientId, std::nullopt);
  EXPECT_TRUE(info.regions.empty());
  EXPECT_EQ(EngineNames(info), (std::vector<std::string>{"render"}));
  EXPECT_EQ(Busy(info, "render"), 77u);
}

TEST(FdinfoParser, FileWithoutDrmDriverHasNoStatistics) {
  const DrmFdinfo info = ParseFdinfo("pos:\t0\nflags:\t02100002\nmnt_id:\t24\nino:\t1090\n");
  EXPECT_TRUE(info.driver.empty());
  EXPECT_TRUE(info.engines.empty());
  EXPECT_TRUE(info.regions.empty());
}

TEST(FdinfoParser, EntryCountIsBounded) {
  std::string text = "drm-driver: x\n";
  for (int i = 0; i < 1000; ++i) {
    text += "drm-engine-e" + std::to_string(i) + ": 1 ns\n";
    text += "drm-total-r" + std::to_string(i) + ": 1\n";
  }
  const DrmFdinfo info = ParseFdinfo(text);
  EXPECT_EQ(info.engines.size(), kMaxFdinfoEntries);
  EXPECT_EQ(info.regions.size(), kMaxFdinfoEntries);
}

TEST(FdinfoParser, DamagedCopiesOfARealFileKeepTheLimits) {
  const std::string original =
      "drm-driver:\tamdgpu\ndrm-client-id:\t57\ndrm-pdev:\t0000:03:00.0\n"
      "drm-total-vram:\t768 MiB\ndrm-resident-vram:\t512 MiB\ndrm-memory-gtt: \t40960 KiB\n"
      "drm-engine-gfx:\t88219430020 ns\ndrm-engine-capacity-gfx:\t2\n"
      "drm-cycles-rcs:\t28257900\ndrm-total-cycles-rcs:\t7655183225\n";
  std::minstd_rand random(20261208);
  const char alphabet[] = {'\0', '\n', ':', ' ', '\t', '-', '9', 'K', 'i', 'B', '\xff'};
  for (int round = 0; round < 3000; ++round) {
    std::string text = original;
    for (int change = random() % 8; change >= 0; --change) {
      const std::size_t at = random() % text.size();
      switch (random() % 3) {
        case 0:
          text[at] = alphabet[random() % sizeof alphabet];
          break;
        case 1:
          text.erase(at, random() % 16);
          break;
        default:
          text.insert(at, std::string(random() % 64, alphabet[random() % sizeof alphabet]));
      }
      if (text.empty()) text = "x";
    }
    const DrmFdinfo info = ParseFdinfo(text);
    ASSERT_LE(info.engines.size(), kMaxFdinfoEntries);
    ASSERT_LE(info.regions.size(), kMaxFdinfoEntries);
    for (const std::string* name : {&info.driver, &info.pdev}) {
      ASSERT_LE(name->size(), kMaxFdinfoNameLength);
      for (const char c : *name) ASSERT_GT(static_cast<unsigned char>(c), ' ') << text;
    }
    for (const FdinfoEngine& engine : info.engines) {
      ASSERT_FALSE(engine.name.empty());
      ASSERT_LE(engine.name.size(), kMaxFdinfoNameLength);
    }
  }
}

}  // namespace
}  // namespace gpuproc
