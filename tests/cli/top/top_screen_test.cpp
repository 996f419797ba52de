// The screens of `gpuproc top` drawn from fixed models and compared as text.
#include <gtest/gtest.h>

#include <clocale>
#include <cwchar>

#include "layout_parts.h"
#include "process_table.h"
#include "screen_layout.h"
#include "top_fixtures.h"

namespace gpuproc::tool {
namespace {

using testing::kAmd;
using testing::MultiModel;

std::string Screen(const TopModel& model, const ViewState& state, int width, int height,
                   bool utf8 = true) {
  return DrawScreen(model, state, width, height, {utf8, 1, ""}).grid.Text();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
       start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

// The cells the C library gives `text`; -1 for a control character.
int Cells(const std::string& text) {
  std::wstring wide(text.size() + 1, L'\0');
  const std::size_t length = std::mbstowcs(wide.data(), text.c_str(), wide.size());
  if (length == static_cast<std::size_t>(-1)) return -1;
  return ::wcswidth(wide.c_str(), length);
}

TEST(TopScreen, TwoGpusAt80x24) {
  const std::string blank(6, '\n');
  // Each GPU's busy share, then its power against its limit, temperature
  // and graphics clock; what the library could not read shows as "-".
  EXPECT_EQ(Screen(MultiModel(), {}, 80, 24),
            "GPU 0 Intel Corporation Raptor Lake-S GT1 [UHD Graphics 770]  00:02.0\n"
            "BUSY[                                -] - W  -°C  GFX 1550 MHz\n"
            "MEM [                     not reported] 3D  [                               0%]\n"
            "Copy[                               0%]\n"
            "3D                                                                             ▁\n"
            "GPU 1 Advanced Micro Devices, Inc. [AMD/ATI] Navi 21  03:00.0\n"
            "BUSY[||||||||||||                  37%] 87/203 W  54°C  GFX 2100 MHz\n"
            "MEM [|||||         1.2G/8.2G 7.0G free] Copy[|||||||||||||||||||||||||||||150%]\n"
            "3D  [|||||||||||||||||             50%]\n"
            "3D                                                                             ▅\n"
            "\n"
            "    PID USER     GPU DEDICATED  SHARED   3D OTHER     OWNER           NAME\n"
            "   2000 alice      1     128.0     8.0  50% Copy 150% 4c1e2b7f9a3d    blender\n"
            "   2001 alice      1      64.0     8.0   0% -         ml/trainer-0    steam\n"
            "   2002 root       1      32.0     8.0    - -         display-manage~ Xorg\n"
            "   2000 alice      0       0.0     8.0   0% Copy 0%   4c1e2b7f9a3d    blender\n" +
                blank +
                "4 GPU processes, every 1 s, sorted by DEDICATED\n"
                "F1Help F3Search F4Filter F6SortBy F9Kill F10Quit gGPU cActive pPause EnterOpen\n");
}

TEST(TopScreen, WideScreenAddsColumnsAndTheCommandLine) {
  ViewState state;
  state.sort = SortColumn::kName;
  state.gpu = 1;
  const std::vector<std::string> lines = Lines(Screen(MultiModel(), state, 200, 50, false));
  ASSERT_EQ(lines.size(), 50u);
  EXPECT_EQ(lines[0], "GPU 1 Advanced Micro Devices, Inc. [AMD/ATI] Navi 21  03:00.0");
  EXPECT_EQ(lines[1], "BUSY[||||||||||||                  37%] 87/203 W  54C  GFX 2100 MHz");
  // Five bars a line; ASCII history ending in the latest 50%.
  EXPECT_EQ(lines[2].substr(80), "3D  [|||||||||||||||||             50%]");
  EXPECT_EQ(lines[3].substr(0, 5) + lines[3].substr(199), "3D   =");
  EXPECT_EQ(lines[5],
            "    PID USER     GPU DEDICATED  SHARED COMMITTED   3D OTHER     OWNER                "
            "            NAME             COMMAND");
  EXPECT_EQ(lines[6],
            "   2000 alice      1     128.0     8.0     136.0  50% Copy 150% 4c1e2b7f9a3d         "
            "            blender          blender -b scene.blend");
  // The name sorts without regard to case; the command line stands in for a
  // process without one.
  EXPECT_EQ(lines[7].substr(64), "ml/trainer-0/trainer             steam            steam");
  EXPECT_EQ(lines[8].substr(64), "display-manager.service          Xorg             /usr/bin/Xorg");
  EXPECT_EQ(lines[48], "3 GPU processes of 4, every 1 s, sorted by NAME, GPU 1 only");
}

TEST(TopScreen, HostileNamesAreEscapedAndKeepTheColumns) {
  ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
  const std::vector<std::string> names = {"\x1b[31mred\x1b[0m", "渲染器渲染器渲染器渲染器",
                                          "evil\u202etxt.exe", "x\ny"};
  std::string processes;
  std::vector<ProcessDetails> details;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) processes += ",";
    processes += testing::ProcessEntry(3000 + static_cast<unsigned>(i), names[i], kAmd,
                                       100.0 - static_cast<double>(i), "{}");
    // The command line comes from a file: any bytes at all.
    details.push_back({"user", names[i], "/", "CMD" + names[i] + "\t--flag \xff\xfe"});
  }
  const TopModel model = testing::ModelOf({testing::SnapshotDocument(1, processes)}, details);
  for (const int width : {80, 200}) {
    SCOPED_TRACE(width);
    const std::string screen = Screen(model, {}, width, 24);
    EXPECT_NE(screen.find("\\x1b[31mred"), std::string::npos);
    EXPECT_NE(screen.find("evil\\u202etxt"), std::string::npos);
    if (width == 200) {
      EXPECT_NE(screen.find("\\t--flag ??"), std::string::npos);
    }
    std::vector<int> pidCells;
    for (const std::string& line : Lines(screen)) {
      SCOPED_TRACE(line);
      const int cells = Cells(line);
      EXPECT_GE(cells, 0) << "a control character or invalid UTF-8";
      EXPECT_LE(cells, width);
      // The column after the names (the command line, else nothing) starts
      // at the same cell on every row.
      const std::size_t command = line.find("CMD");
      if (command != std::string::npos) pidCells.push_back(Cells(line.substr(0, command)));
    }
    if (width == 200) {
      ASSERT_EQ(pidCells.size(), names.size());
      for (const int cells : pidCells) EXPECT_EQ(cells, pidCells.front());
    }
  }
}

TEST(TopScreen, DetailViewOfAProcessOnTwoGpus) {
  ViewState state;
  state.mode = Mode::kDetail;
  state.selected = RowKey{2000, kAmd};
  EXPECT_EQ(Screen(MultiModel(), state, 80, 24),
            "PROCESS 2000 blender\n"
            "User      alice\n"
            "Owner     4c1e2b7f9a3d\n"
            "Cgroup    /system.slice/docker-4c1e.scope\n"
            "Command   blender -b scene.blend\n"
            "\n"
            "GPU 1 Advanced Micro Devices, Inc. [AMD/ATI] Navi 21  03:00.0\n"
            "  Dedicated 128.0 MiB  Shared 8.0 MiB  Local 128.0 MiB  Committed 136.0 MiB\n"
            "  Power 21.0 W (estimated from busy time)\n"
            "  Copy             150%                                                        █\n"
            "  3D                50%                                                        ▅\n"
            "\n"
            "GPU 0 Intel Corporation Raptor Lake-S GT1 [UHD Graphics 770]  00:02.0\n"
            "  Dedicated 0.0 MiB  Shared 8.0 MiB  Local 0.0 MiB  Committed 8.0 MiB\n"
            "  Power - W (estimated from busy time)\n"
            "  3D                 0%                                                        ▁\n"
            "  Copy               0%                                                        ▁\n" +
                std::string(5, '\n') +
                "4 GPU processes, every 1 s, sorted by DEDICATED\n"
                "EscBack Up/DnProcess F9Kill F10Quit\n");
}

TEST(TopScreen, HelpFitsTheSmallestScreen) {
  ViewState state;
  state.mode = Mode::kHelp;
  const std::string help = Screen(MultiModel(), state, 80, 24);
  EXPECT_NE(help.find("filter: name, owner, command\n"), std::string::npos);
  EXPECT_NE(help.find("only the busy processes\n"), std::string::npos) << "a line is cut";
  EXPECT_NE(help.find("\nPress any key to go back.\n"), std::string::npos);
  EXPECT_EQ(help.find("PID"), std::string::npos) << "the table shows through";
}

TEST(TopScreen, AnEmptyTableSaysWhyInLinesThatFit) {
  const std::string noDevice =
      "no GPU device found (looked for DRM devices in /sys/class/drm and NVIDIA's driver in "
      "/sys/module/nvidia)";
  const TopModel empty = testing::ModelOf({R"({"Time":1.0,"Adapters":[],"Processes":[]})"}, {});
  struct Case {
    const char* what;
    std::string noGpuDevice;
    int width;
    std::vector<std::string> lines;  // under the header
  } cases[] = {
      {"a GPU without processes", "", 80, {"no process is using a GPU"}},
      {"no GPU device, at 80 columns",
       noDevice,
       80,
       {"no GPU device found (looked for DRM devices in /sys/class/drm and NVIDIA's",
        "driver in /sys/module/nvidia)"}},
      {"no GPU device, at 200 columns: still 79 at most",
       noDevice,
       200,
       {"no GPU device found (looked for DRM devices in /sys/class/drm and NVIDIA's",
        "driver in /sys/module/nvidia)"}},
      {"no GPU device, at 40 columns",
       noDevice,
       40,
       {"no GPU device found (looked for DRM", "devices in /sys/class/drm and NVIDIA's",
        "driver in /sys/module/nvidia)"}},
  };
  for (const Case& c : cases) {
    DrawOptions options{true, 1, c.noGpuDevice};
    const std::vector<std::string> lines =
        Lines(DrawScreen(empty, {}, c.width, 24, options).grid.Text());
    std::size_t header = 0;
    while (header < lines.size() && lines[header].find("PID") == std::string::npos) ++header;
    ASSERT_LT(header + c.lines.size(), lines.size()) << c.what;
    for (std::size_t i = 0; i < c.lines.size(); ++i)
      EXPECT_EQ(lines[header + 1 + i], c.lines[i]) << c.what;
  }
}

TEST(TopScreen, NotesAreWrappedNotCut) {
  TopModel model = MultiModel();
  model.readingError =
      "PdhOpenQuery: The HOST_PROC root /srv/captures/a-rather-long-folder-name/proc is not a "
      "readable directory: No such file or directory.";
  const std::vector<std::string> lines = Lines(Screen(model, {}, 80, 24));
  EXPECT_EQ(lines[20],
            "PdhOpenQuery: The HOST_PROC root /srv/captures/a-rather-long-folder-name/proc");
  EXPECT_EQ(lines[21], "is not a readable directory: No such file or directory.");
}

TEST(TopScreen, NotesAndPromptsAboveTheKeys) {
  TopModel model = MultiModel();
  model.someUnreadable = true;
  model.readingError = "gpuproc: HOST_PROC is not a readable directory";
  ViewState state;
  state.mode = Mode::kFilter;
  state.filter = "ste";
  const std::vector<std::string> lines = Lines(Screen(model, state, 80, 24));
  EXPECT_EQ(lines[12],
            "   2001 alice      1      64.0     8.0   0% -         ml/trainer-0    steam");
  EXPECT_EQ(lines[13], "");
  EXPECT_EQ(lines[20], "gpuproc: HOST_PROC is not a readable directory");
  EXPECT_EQ(lines[21], "showing only your processes: run as root to see every process");
  EXPECT_EQ(lines[22], "1 GPU process of 4, every 1 s, sorted by DEDICATED, filter \"ste\"");
  EXPECT_EQ(lines[23], "EnterDone EscClear Filter: ste");
}

TEST(TopModel, UtilisationIsBusyTimeOverTheInterval) {
  struct Case {
    const char* what;
    const char* before;  // EngineBusySeconds, or nullptr: not in the first snapshot
    const char* after;
    double seconds;
    std::vector<std::optional<double>> percents;  // engines busiest first
    // When the process's counters were read in each snapshot, where it says.
    std::optional<double> readBefore = std::nullopt, readAfter = std::nullopt;
  } const cases[] = {
      {"one engine half busy", R"({"3D":10})", R"({"3D":10.5})", 1, {50}},
      {"two engines of a type add up", R"({"Copy":1})", R"({"Copy":7})", 2, {300}},
      {"over a longer interval",
       R"({"3D":0,"Compute":0})",
       R"({"3D":1,"Compute":4})",
       4,
       {100, 25}},
      {"a process first seen has no rate", nullptr, R"({"3D":5})", 1, {std::nullopt}},
      {"a busy time that went back (reused id)", R"({"3D":9})", R"({"3D":2})", 1, {std::nullopt}},
      // Read early in the first scan and late in the second: 1.5 s between
      // its two readings, though the documents are 1 s apart.
      {"over the process's own reading times", R"({"3D":0})", R"({"3D":0.75})", 1, {50}, 9.5, 11},
      {"read at the same moment twice",
       R"({"3D":1})",
       R"({"3D":1})",
       1,
       {std::nullopt},
       10.5,
       10.5},
      {"a type whose busy time is unknown",
       R"({"3D":1,"Copy":1})",
       R"({"3D":1.5,"Copy":null})",
       1,
       {50, std::nullopt}},
      {"unknown before", R"({"3D":null})", R"({"3D":1})", 1, {std::nullopt}},
      {"busy time unknown as a whole", R"({"3D":1})", "null", 1, {}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    const std::string before =
        test.before ? testing::ProcessEntry(1, "p", kAmd, 1, test.before, test.readBefore)
                    : std::string();
    const TopModel model =
        testing::ModelOf({testing::SnapshotDocument(10, before),
                          testing::SnapshotDocument(
                              10 + test.seconds,
                              testing::ProcessEntry(1, "p", kAmd, 1, test.after, test.readAfter))},
                         {});
    ASSERT_EQ(model.Rows().size(), 1u);
    EXPECT_EQ(model.Rows()[0].dedicated, 1.0);
    std::vector<std::optional<double>> percents;
    for (const EngineUse& engine : model.Rows()[0].engines) percents.push_back(engine.percent);
    EXPECT_EQ(percents, test.percents);
  }
}

TEST(TopModel, ProcessWattsAreTheEnergyEstimatesGrowthOverTheInterval) {
  struct Case {
    const char* what;
    std::optional<double> before, after;  // EnergyJoulesEstimate
    std::optional<double> watts;
    std::optional<double> readBefore = std::nullopt, readAfter = std::nullopt;
  } const cases[] = {
      {"grown by 30 J over 2 s", 100, 160, 30},
      {"first listed at 0", 0, 0, 0},
      {"over the process's own reading times", 0, 15, 10, 9.5, 11},
      {"an estimate that went back (reused id)", 50, 10, std::nullopt},
      {"unknown before", std::nullopt, 10, std::nullopt},
      {"unknown now", 10, std::nullopt, std::nullopt},
      {"read at the same moment twice", 1, 2, std::nullopt, 10.5, 10.5},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    const auto entry = [](std::optional<double> energy, std::optional<double> time) {
      return testing::ProcessEntry(1, "p", kAmd, 1, R"({"3D":1})", time, energy);
    };
    const TopModel model =
        testing::ModelOf({testing::SnapshotDocument(10, entry(test.before, test.readBefore)),
                          testing::SnapshotDocument(12, entry(test.after, test.readAfter))},
                         {});
    ASSERT_EQ(model.Rows().size(), 1u);
    EXPECT_EQ(model.Rows()[0].watts, test.watts);
  }
}

TEST(TopScreen, DeviceHealthAndKind) {
  const auto gpu = [](std::string kind, std::optional<double> watts, std::optional<double> limit,
                      std::optional<double> celsius, std::optional<double> hertz) {
    GpuView view;
    view.kind = std::move(kind);
    view.powerWatts = watts;
    view.powerLimitWatts = limit;
    view.temperatureCelsius = celsius;
    view.graphicsClockHertz = hertz;
    return view;
  };
  struct Case {
    const char* what;
    GpuView gpu;
    const char* health;  // with UTF-8, then without
    const char* healthAscii;
    const char* title;
  } const cases[] = {
      {"all known", gpu("GPU", 87.4, 203, 61, 2.1e9), "87/203 W  61°C  GFX 2100 MHz",
       "87/203 W  61C  GFX 2100 MHz", "GPU 3"},
      {"nothing known", gpu("", {}, {}, {}, {}), "- W  -°C  GFX - MHz", "- W  -C  GFX - MHz",
       "GPU 3"},
      {"a limit without a reading", gpu("NPU", {}, 15, {}, {}), "-/15 W  -°C  GFX - MHz",
       "-/15 W  -C  GFX - MHz", "NPU 3"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    EXPECT_EQ(HealthText(test.gpu, true), test.health);
    EXPECT_EQ(HealthText(test.gpu, false), test.healthAscii);
    EXPECT_EQ(DeviceTitle(test.gpu, 3), test.title);
  }
  // The sensor a summary shows: the one the GPU's own tools lead with.
  EXPECT_EQ(GpuTemperature({{"memory", 70}, {"junction", 61}, {"edge", 54}}), 54);
  EXPECT_EQ(GpuTemperature({{"memory", 70}, {"junction", 61}}), 61);
  EXPECT_EQ(GpuTemperature({{"edge", std::nullopt}, {"vr", 40}}), 40);
  EXPECT_EQ(GpuTemperature({{"edge", std::nullopt}}), std::nullopt);

  // Compact blocks on a short screen: the figures beside the memory bar.
  const std::vector<std::string> compact = Lines(Screen(MultiModel(), {}, 80, 14));
  ASSERT_GE(compact.size(), 4u);
  EXPECT_EQ(compact[1], "MEM [                     not reported] - busy  - W  -°C  GFX 1550 MHz");
  EXPECT_EQ(compact[3],
            "MEM [|||||         1.2G/8.2G 7.0G free] 37% busy  87/203 W  54°C  GFX 2100 MHz");

  // An NPU on a screen narrower than two bars: its kind in the title, the
  // busy bar shortened to keep the health text whole.
  const std::string document =
      R"({"Time":1,"Adapters":[{"Adapter":"npu0","AdapterName":"Meteor Lake NPU","Kind":"NPU",)"
      R"("PciAddress":"0000:00:0b.0","BusyPercent":50}],"Processes":[)" +
      testing::ProcessEntry(7, "ov", "npu0", 1, "{}") + "]}";
  const std::vector<std::string> lines =
      Lines(Screen(testing::ModelOf({document}, {}), {}, 60, 20));
  EXPECT_EQ(lines[0], "NPU 0 Meteor Lake NPU  00:0b.0");
  EXPECT_EQ(lines[1], "BUSY[|||||||||||||||||              50%] - W  -°C  GFX - MHz");
  for (const std::string& line : lines) EXPECT_LE(Cells(line), 60) << line;
}

TEST(TopScreen, HistoryLineCoversTheLastMinute) {
  const History rising = {{41, 0}, {50, 30}, {59, 60}, {60, 100}};
  struct Case {
    History history;
    double interval;
    int width;
    bool utf8;
    const char* line;
  } const cases[] = {
      // One cell per refresh: samples 19, 10 and 1 s back, and now.
      {rising, 1, 62, true, "▁        ▃        ▅█"},
      {rising, 1, 62, false, "_        -        =#"},
      // Narrower than a minute of refreshes: 3 s a cell, the highest sample.
      {rising, 1, 20, false, "_  -  #"},
      {{{0.5, 100}}, 1, 62, false, ""},  // older than a minute
  };
  for (const Case& test : cases) {
    std::string line = HistoryLine(test.history, 60, test.interval, test.width, test.utf8);
    line.erase(line.find_last_not_of(' ') + 1);
    EXPECT_EQ(line,
              std::string(line.size() - std::min(line.size(), std::string(test.line).size()), ' ') +
                  test.line)
        << test.width;
  }
}

}  // namespace
}  // namespace gpuproc::tool
