// Reads under a root: paths never leave it, and nothing but a regular file is
// read, whichever way the kernel lets the path be resolved.
#include "platform/linux/host_fs.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>

namespace gpuproc {
namespace {

namespace fs = std::filesystem;

class RootedTree : public ::testing::Test {
 protected:
  fs::path top;
  fs::path root;
  void SetUp() override {
    char pattern[] = "/tmp/gpuproc-root-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    top = pattern;
    root = top / "root";
    fs::create_directories(root / "a");
    fs::create_directories(top / "outside");
    Write(top / "outside" / "secret", "outside");
    Write(root / "a" / "file", "inside");
    ASSERT_EQ(::mkfifo((root / "a" / "fifo").c_str(), 0600), 0);
    fs::create_symlink("file", root / "a" / "relative");
    fs::create_symlink("a", root / "b");
    fs::create_symlink("../../outside/secret", root / "a" / "climbs");
    fs::create_symlink((top / "outside" / "secret").string(), root / "a" / "absolute");
    fs::create_symlink("loop", root / "loop");
  }
  void TearDown() override { fs::remove_all(top); }
  static void Write(const fs::path& path, const std::string& text) {
    FILE* file = std::fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs(text.c_str(), file);
    std::fclose(file);
  }
};

std::optional<std::string> ReadThrough(int fd) {
  const UniqueFd file(fd);
  std::string content;
  if (!file.Valid() || !ReadAll(file.Get(), content)) return std::nullopt;
  return content;
}

TEST_F(RootedTree, PathsResolveInsideTheRootOnly) {
  const struct {
    const char* path;
    std::optional<std::string> content;
  } cases[] = {
      {"a/file", "inside"},
      {"a/relative", "inside"},
      {"b/file", "inside"},
      {"b/../a/./file", "inside"},
      {"a/climbs", std::nullopt},           // ".." stops at the root
      {"../outside/secret", std::nullopt},  // so does a leading one
      {"a/absolute", std::nullopt},         // an absolute link does not reach the host's tree
      {"loop", std::nullopt},
      {"a/missing", std::nullopt},
  };
  const UniqueFd rootFd(::open(root.c_str(), O_PATH | O_DIRECTORY));
  ASSERT_TRUE(rootFd.Valid());
  for (const auto& [path, content] : cases) {
    EXPECT_EQ(ReadThrough(OpenInRoot(rootFd.Get(), path, O_RDONLY)), content) << path;
    EXPECT_EQ(ReadThrough(OpenInRootByWalking(rootFd.Get(), path, O_RDONLY)), content) << path;
  }
}

TEST_F(RootedTree, OnlyRegularFilesAreRead) {
  const UniqueFd rootFd(::open(root.c_str(), O_PATH | O_DIRECTORY));
  ASSERT_TRUE(rootFd.Valid());
  // A FIFO with no writer would block a plain open and a read forever.
  EXPECT_EQ(OpenRegularFileInRoot(rootFd.Get(), "a/fifo"), -1);
  EXPECT_EQ(OpenRegularFileInRoot(rootFd.Get(), "a"), -1);
  EXPECT_EQ(ReadThrough(OpenRegularFileInRoot(rootFd.Get(), "b/file")), "inside");

  const HostFs hostFs(root.string(), root.string());
  EXPECT_EQ(hostFs.ReadSysFile("a/fifo"), std::nullopt);
  EXPECT_EQ(hostFs.ReadSysFile("a/absolute"), std::nullopt);
  EXPECT_EQ(hostFs.ReadSysLink("b/absolute"), (top / "outside" / "secret").string());
  EXPECT_EQ(hostFs.ListSysDir("b").size(), 5u);
}

TEST_F(RootedTree, RelativeRootIsMadeAbsoluteOnce) {
  const fs::path before = fs::current_path();
  fs::current_path(top);
  ::setenv("HOST_PROC", "root/a", 1);
  const std::string first = HostFs::FromEnvironment().ProcRoot();
  fs::current_path(root / "a");
  const HostFs later = HostFs::FromEnvironment();
  fs::current_path(before);
  ::unsetenv("HOST_PROC");
  EXPECT_EQ(first, (top / "root" / "a").string());
  EXPECT_EQ(later.ProcRoot(), first);
  EXPECT_EQ(ReadThrough(OpenRegularFileInRoot(later.ProcRootFd(), "file")), "inside");
}

}  // namespace
}  // namespace gpuproc
