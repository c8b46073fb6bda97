// Host paths a module folder names: where they may lead, and what opening them refuses. Every case
// runs twice, with the kernel's confined resolution (openat2) and with the one-step-at-a-time walk
// used where the kernel lacks it.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "sim/core/host_paths.h"
#include "tests/support/module_fixture.h"

namespace {

namespace fs = std::filesystem;
using sim::EntryKind;
using sim::HostError;
using testing_support::ReadFile;
using testing_support::WriteFile;

class HostPathsTest : public ::testing::TestWithParam<bool> {
 protected:
  HostPathsTest() { sim::UseStepwiseResolution(GetParam()); }
  ~HostPathsTest() override { sim::UseStepwiseResolution(false); }

  testing_support::TempFolder scratch;
  fs::path module = scratch.path() / "module";
  fs::path outside = scratch.path() / "outside";

  void SetUp() override {
    fs::create_directories(module / "root" / "Windows");
    fs::create_directories(module / "volumes" / "Card");
    WriteFile(outside / "secret.txt", "secret");
  }
  sim::HostPaths Paths(std::vector<fs::path> allowed = {}) { return sim::HostPaths(module, allowed); }
  static HostError FolderError(const sim::HostPaths& paths, const fs::path& named) {
    return paths.Open(named, EntryKind::kFolder).error;
  }
};

TEST_P(HostPathsTest, PathsInsideTheModuleFolderOpenRelativeOrAbsolute) {
  sim::HostPaths paths = Paths();
  for (const fs::path& named : {fs::path("root"), module / "root", fs::path("volumes/Card"), module / "volumes" / "Card",
                                fs::path("volumes/../root/Windows"), fs::path("volumes/Card/"), module}) {
    EXPECT_EQ(FolderError(paths, named), HostError::kNone) << named;
  }
  sim::HostEntry made = paths.Open("root/Windows/new.bin", EntryKind::kFile, O_WRONLY | O_CREAT | O_EXCL, 0644);
  ASSERT_TRUE(made) << sim::Describe(made.error);
  EXPECT_TRUE(fs::is_regular_file(module / "root" / "Windows" / "new.bin"));
  EXPECT_EQ(FolderError(paths, "volumes/Missing"), HostError::kNotFound);
  EXPECT_EQ(FolderError(paths, "root/Windows/new.bin"), HostError::kNotFolder);
  EXPECT_EQ(paths.Open("root/Windows", EntryKind::kFile, O_RDONLY).error, HostError::kIsFolder);
}

TEST_P(HostPathsTest, PathsLeadingOutOfTheModuleFolderAreRefusedUnlessAllowed) {
  sim::HostPaths paths = Paths();
  for (const fs::path& named : {fs::path(".."), fs::path("../outside"), fs::path("root/../../outside"), outside,
                                fs::path("/"), module.parent_path()}) {
    EXPECT_EQ(FolderError(paths, named), HostError::kOutside) << named;
  }
  EXPECT_EQ(paths.Open("../outside/new.bin", EntryKind::kFile, O_WRONLY | O_CREAT, 0644).error, HostError::kOutside);
  EXPECT_FALSE(fs::exists(outside / "new.bin"));
  EXPECT_NE(paths.Explain("../outside", HostError::kOutside).find("--allow-outside"), std::string::npos);

  sim::HostPaths allowing = Paths({outside});
  EXPECT_EQ(FolderError(allowing, outside), HostError::kNone);
  EXPECT_EQ(FolderError(allowing, "../outside"), HostError::kNone);
  EXPECT_TRUE(allowing.Open(outside / "secret.txt", EntryKind::kFile, O_RDONLY));
  EXPECT_EQ(FolderError(allowing, scratch.path()), HostError::kOutside);  // only the allowed folder itself
}

TEST_P(HostPathsTest, NoLinkIsFollowedAtAnyStep) {
  fs::create_directory_symlink(outside, module / "volumes" / "Linked");
  fs::create_directory_symlink(module / "root", module / "volumes" / "Inside");  // even one that stays inside
  fs::create_symlink(outside / "secret.txt", module / "root" / "Windows" / "secret.txt");
  fs::create_symlink(outside / "planted.txt", module / "root" / "Windows" / "dangling.txt");
  sim::HostPaths paths = Paths({outside});
  EXPECT_EQ(FolderError(paths, "volumes/Linked"), HostError::kLink);
  EXPECT_EQ(FolderError(paths, "volumes/Inside"), HostError::kLink);
  EXPECT_EQ(FolderError(paths, "volumes/Inside/Windows"), HostError::kLink);
  EXPECT_EQ(paths.Open("volumes/Linked/secret.txt", EntryKind::kFile, O_RDONLY).error, HostError::kLink);
  EXPECT_EQ(paths.Open("root/Windows/secret.txt", EntryKind::kFile, O_RDONLY).error, HostError::kLink);
  // A dangling link is not created through, nor replaced.
  EXPECT_EQ(paths.Open("root/Windows/dangling.txt", EntryKind::kFile, O_WRONLY | O_CREAT, 0644).error,
            HostError::kLink);
  EXPECT_EQ(paths.Replace("root/Windows/secret.txt", "replaced"), HostError::kLink);
  EXPECT_EQ(paths.Replace("root/Windows/dangling.txt", "planted"), HostError::kLink);
  EXPECT_FALSE(fs::exists(outside / "planted.txt"));
  EXPECT_EQ(ReadFile(outside / "secret.txt"), "secret");
  EXPECT_TRUE(fs::is_symlink(module / "root" / "Windows" / "secret.txt"));
  // A link inside an allowed folder is refused as well.
  fs::create_directory_symlink(module, outside / "back");
  EXPECT_EQ(FolderError(paths, outside / "back"), HostError::kLink);
}

TEST_P(HostPathsTest, TheModuleFolderItselfMayBeReachedThroughALink) {
  fs::create_directory_symlink(module, scratch.path() / "alias");
  sim::HostPaths paths(scratch.path() / "alias", {});
  EXPECT_EQ(FolderError(paths, "root/Windows"), HostError::kNone);
  EXPECT_EQ(FolderError(paths, module / "root"), HostError::kNone);  // named by the path the link leads to
}

TEST_P(HostPathsTest, FifosDevicesAndSocketsAreRefusedWithoutBlocking) {
  const fs::path fifo = module / "root" / "fifo", socket_path = module / "root" / "socket";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // Bound where the path is short enough for an address, then moved into the module.
  const fs::path bound = fs::temp_directory_path() / ("kalvori-" + std::to_string(::getpid()) + ".sock");
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", bound.c_str());
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  fs::rename(bound, socket_path);
  sim::HostPaths paths = Paths();
  // Neither for writing (no reader: a blocking open would wait for one) nor for reading.
  for (int flags : {O_WRONLY | O_CREAT | O_TRUNC, O_RDONLY, O_RDWR}) {
    EXPECT_EQ(paths.Open("root/fifo", EntryKind::kFile, flags).error, HostError::kNotFile) << flags;
    EXPECT_EQ(paths.Open("root/socket", EntryKind::kFile, flags).error, HostError::kNotFile) << flags;
  }
  // With a reader waiting, opening for writing would succeed: it is still refused, and nothing is written.
  int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_EQ(paths.Open("root/fifo", EntryKind::kFile, O_WRONLY | O_TRUNC).error, HostError::kNotFile);
  EXPECT_EQ(paths.Replace("root/fifo", "data"), HostError::kNotFile);
  char byte;
  EXPECT_EQ(::read(reader, &byte, 1), 0);
  ::close(reader);
  ::close(listener);
  EXPECT_EQ(FolderError(paths, "root/fifo"), HostError::kNotFolder);

  const fs::path device = module / "root" / "device";
  if (::mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) GTEST_SKIP() << "cannot make a device node here";
  EXPECT_EQ(paths.Open("root/device", EntryKind::kFile, O_WRONLY | O_TRUNC).error, HostError::kNotFile);
  EXPECT_EQ(paths.Replace("root/device", "data"), HostError::kNotFile);
  EXPECT_TRUE(fs::is_character_file(device));
}

TEST_P(HostPathsTest, ReplaceWritesAWholeNewFileAndLeavesNoTemporary) {
  WriteFile(module / "flash.img.json", "old");
  sim::HostPaths paths = Paths();
  EXPECT_EQ(paths.Replace("flash.img.json", "new"), HostError::kNone);
  EXPECT_EQ(paths.Replace(module / "root" / "made.json", "made"), HostError::kNone);
  EXPECT_EQ(ReadFile(module / "flash.img.json"), "new");
  EXPECT_EQ(ReadFile(module / "root" / "made.json"), "made");
  EXPECT_EQ(paths.Replace("root/Windows", "x"), HostError::kIsFolder);
  EXPECT_EQ(paths.Replace("missing/x.json", "x"), HostError::kNotFound);
  EXPECT_EQ(paths.Replace("../outside/secret.txt", "x"), HostError::kOutside);
  int entries = 0;
  for (const auto& e : fs::directory_iterator(module)) entries += e.path().filename().string()[0] == '.';
  EXPECT_EQ(entries, 0);
}

TEST_P(HostPathsTest, ASettledFileStaysInItsFolderWhenALinkIsSwappedInOnTheWay) {
  sim::HostPaths paths = Paths();
  sim::HostFile file;
  ASSERT_EQ(paths.Settle("root/Windows/flash.img", file), HostError::kNone);
  EXPECT_EQ(file.shown, module / "root" / "Windows" / "flash.img");
  fs::rename(module / "root" / "Windows", module / "root" / "Moved");
  fs::create_directory_symlink(outside, module / "root" / "Windows");
  sim::HostEntry image = file.Open(O_RDWR | O_CREAT);
  ASSERT_TRUE(image) << sim::Describe(image.error);
  EXPECT_TRUE(image.created);
  EXPECT_EQ(file.Replace("{}", ".json"), HostError::kNone);
  EXPECT_TRUE(fs::is_regular_file(module / "root" / "Moved" / "flash.img"));
  EXPECT_EQ(ReadFile(module / "root" / "Moved" / "flash.img.json"), "{}");
  EXPECT_EQ(file.Remove(), HostError::kNone);
  EXPECT_FALSE(fs::exists(module / "root" / "Moved" / "flash.img"));
  EXPECT_FALSE(fs::exists(outside / "flash.img"));
  EXPECT_FALSE(fs::exists(outside / "flash.img.json"));
  // Settled afresh, the way through the link is refused; so are a folder outside and the folder itself.
  EXPECT_EQ(paths.Settle("root/Windows/flash.img", file), HostError::kLink);
  EXPECT_EQ(paths.Settle("../outside/flash.img", file), HostError::kOutside);
  EXPECT_EQ(paths.Settle(module, file), HostError::kIsFolder);
  EXPECT_EQ(paths.Settle("missing/flash.img", file), HostError::kNotFound);
}

INSTANTIATE_TEST_SUITE_P(Resolution, HostPathsTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? std::string("StepByStep") : std::string("Openat2");
                         });

}  // namespace
