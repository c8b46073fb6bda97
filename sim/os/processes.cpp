#include "sim/os/processes.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "sim/core/text.h"

extern char** environ;

namespace sim {

namespace {

constexpr std::uint32_t kErrorBadExeFormat = 193;  // the image is not a program

std::vector<std::string> SplitArguments(const std::string& line) {
  std::vector<std::string> args;
  std::size_t i = 0;
  while (i < line.size()) {
    std::size_t end = line.find(' ', i);
    if (end == std::string::npos) end = line.size();
    if (end > i) args.push_back(line.substr(i, end - i));
    i = end + 1;
  }
  return args;
}

}  // namespace

Processes::~Processes() {
  for (pid_t child : children_) ::waitpid(child, nullptr, WNOHANG);
}

std::uint32_t Processes::Create(std::u16string_view image, std::u16string_view command_line,
                                std::uint32_t& process_id) {
  std::u16string name(image);
  std::size_t last = name.rfind(u'\\');
  if (name.find(u'.', last == std::u16string::npos ? 0 : last) == std::u16string::npos) name += u".exe";
  std::vector<std::u16string> candidates;
  if (!name.empty() && name[0] == u'\\') {
    candidates.push_back(name);
  } else {
    candidates.push_back(u"\\" + name);
    candidates.push_back(u"\\Windows\\" + name);
  }
  for (const std::u16string& candidate : candidates) {
    Resolved r = files_.Resolve(candidate);
    if (r.error == OS_ERROR_NO_NETWORK) return r.error;
    if (r.error || !r.exists || r.directory) continue;
    if (run_host_programs_) {
      if (std::uint32_t error = RunOnHost(r, command_line)) return error;
    }
    process_id = next_id_;
    next_id_ += 4;
    launches_.push_back({candidate, std::u16string(command_line), module_.clock().NowMs(), process_id});
    std::string line = "started " + Printable(candidate);
    if (!command_line.empty()) line += " " + Printable(command_line);
    module_.Report(line);
    return 0;
  }
  return OS_ERROR_FILE_NOT_FOUND;
}

std::uint32_t Processes::RunOnHost(const Resolved& image, std::u16string_view command_line) {
  const std::string shown = files_.HostPath(image).string();
  // Run from the descriptor of the file the path resolved to, so that a link swapped in since cannot
  // divert the start.
  HostEntry program = files_.OpenProgram(image);
  if (!program) {
    module_.Report("cannot run " + shown + " on the host: it " + Describe(program.error));
    return OS_ERROR_ACCESS_DENIED;
  }
  std::vector<std::string> args = SplitArguments(ToUtf8(command_line));
  args.insert(args.begin(), shown);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string path = "/proc/self/fd/" + std::to_string(program.fd.get());
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  // Kept open in the child (a script's interpreter reads the script through it), closed here.
  ::posix_spawn_file_actions_adddup2(&actions, program.fd.get(), program.fd.get());
  pid_t child = 0;
  int error = ::posix_spawn(&child, path.c_str(), &actions, nullptr, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    module_.Report("cannot run " + shown + " on the host: " + std::strerror(error));
    return error == ENOEXEC ? kErrorBadExeFormat : error == EACCES ? OS_ERROR_ACCESS_DENIED : OS_ERROR_GEN_FAILURE;
  }
  children_.push_back(child);
  return 0;
}

}  // namespace sim
