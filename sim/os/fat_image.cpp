#include "sim/os/fat_image.h"

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "sim/core/host_paths.h"

extern char** environ;

namespace sim {

namespace fs = std::filesystem;

namespace {

constexpr const char* kImageRoot = "::/";
// The image's descriptor in mtools' process, and the name mtools opens it by there.
constexpr int kImageFdInTool = 3;
constexpr const char* kImageInTool = "/proc/self/fd/3";

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs an mtools program with its output in files of scratch and the image at kImageFdInTool. mtools
// reads the image as it finds it (no geometry check: images from card readers and dd rarely have a
// PC's geometry) and names files in UTF-8.
ToolRun RunTool(const std::vector<std::string>& args, int image_fd, const fs::path& scratch) {
  std::vector<std::string> env_text = {"MTOOLS_SKIP_CHECK=1", "LC_ALL=C.UTF-8", "MTOOLSRC=/dev/null"};
  for (char** e = environ; *e; ++e) {
    std::string_view entry(*e);
    if (entry.starts_with("MTOOLS") || entry.starts_with("LC_ALL=")) continue;
    env_text.emplace_back(entry);
  }
  std::vector<char*> env;
  for (std::string& e : env_text) env.push_back(e.data());
  env.push_back(nullptr);
  std::vector<std::string> argv_text = args;
  std::vector<char*> argv;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);

  const fs::path out = scratch / "tool-out", err = scratch / "tool-err";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, image_fd, kImageFdInTool);
  pid_t child = 0;
  int error = ::posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  ToolRun run;
  if (error != 0) {
    throw FatImageError(std::string("reading FAT images needs mtools (") + args[0] +
                        " cannot be started; apt-get install mtools)");
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = ReadAll(out);
  run.err = ReadAll(err);
  return run;
}

// mtools' first line of complaint, naming the image as the user named it.
std::string FirstLine(const std::string& text, const fs::path& image) {
  std::string line = text.substr(0, text.find('\n'));
  for (std::size_t at; (at = line.find(kImageInTool)) != std::string::npos;) {
    line.replace(at, std::string_view(kImageInTool).size(), image.string());
  }
  return line.empty() ? "no reason given" : line;
}

// A path of the image's listing that stays inside the copy: no empty, "." or ".." part.
bool StaysInside(const fs::path& path) {
  if (path.empty() || path.is_absolute()) return false;
  for (const fs::path& part : path) {
    if (part.empty() || part == "." || part == "..") return false;
  }
  return true;
}

}  // namespace

FatImageCopy::FatImageCopy(int image_fd, const fs::path& shown) : image_(shown) {
  // Above the descriptors the tool's process is given, so that moving it to kImageFdInTool there
  // always makes a new descriptor, without close-on-exec.
  UniqueFd image(::fcntl(image_fd, F_DUPFD_CLOEXEC, kImageFdInTool + 1));
  if (!image.valid()) throw FatImageError("cannot hand " + image_.string() + " to mtools: " + std::strerror(errno));
  std::string pattern = (fs::temp_directory_path() / "kalvori-fat-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw FatImageError("cannot make a temporary folder for " + image_.string());
  scratch_ = pattern;
  dir_ = scratch_ / "volume";
  try {
    fs::create_directory(dir_);
    // The attribute listing walks the whole tree: it also tells whether this is a FAT image at all.
    ToolRun listing = RunTool({"mattrib", "-i", kImageInTool, "-/", "::"}, image.get(), scratch_);
    if (listing.status != 0) {
      throw FatImageError(image_.string() + " is not a FAT image that mtools can read: " + FirstLine(listing.err, image_));
    }
    std::vector<std::string> read_only;
    bool any = false;
    std::istringstream lines(listing.out);
    for (std::string line; std::getline(lines, line);) {
      std::size_t at = line.find(kImageRoot);
      if (at == std::string::npos) continue;
      std::string path = line.substr(at + 3);
      if (path.empty()) continue;
      any = true;
      if (line.substr(0, at).find('R') != std::string::npos) read_only.push_back(path);
    }
    if (any) {
      ToolRun copy =
          RunTool({"mcopy", "-s", "-n", "-m", "-i", kImageInTool, "::/*", dir_.string() + "/"}, image.get(), scratch_);
      if (copy.status != 0) {
        throw FatImageError("mtools cannot copy the files out of " + image_.string() + ": " + FirstLine(copy.err, image_));
      }
    }
    // A read-only file is one without write permission, as the file system serves it.
    for (const std::string& path : read_only) {
      if (!StaysInside(path)) continue;
      fs::path host = dir_ / fs::path(path);
      std::error_code error;
      if (fs::is_regular_file(fs::symlink_status(host, error))) {
        fs::permissions(host, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove, error);
      }
    }
  } catch (...) {
    std::error_code ignored;
    fs::remove_all(scratch_, ignored);
    throw;
  }
}

FatImageCopy::~FatImageCopy() {
  std::error_code ignored;
  fs::remove_all(scratch_, ignored);
}

}  // namespace sim
