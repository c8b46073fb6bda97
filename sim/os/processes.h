// Process creation on the simulated module. A start is recorded (image, command line, time) and
// reported; the program itself runs on the host only when that is asked for explicitly.
//
// An image name that starts with a backslash is taken as it is; any other is looked up in the root
// and then in \Windows. A name without an extension gets ".exe". A missing image fails with
// OS_ERROR_FILE_NOT_FOUND.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sim/core/module_core.h"
#include "sim/os/filesystem.h"

namespace sim {

struct Launch {
  std::u16string image;         // the program as found: "\Windows\x.exe"
  std::u16string command_line;  // empty when none was given
  std::uint64_t time_ms = 0;    // module time of the start
  std::uint32_t process_id = 0;
};

// The process or thread handle that process creation returns.
struct ProcessHandle : HandleObject {
  ProcessHandle(std::uint32_t id, bool thread) : id(id), thread(thread) {}
  std::uint32_t id;
  bool thread;
};

class Processes {
 public:
  Processes(ModuleCore& module, FileSystem& files) : module_(module), files_(files) {}
  ~Processes();
  Processes(const Processes&) = delete;
  Processes& operator=(const Processes&) = delete;

  // Off by default: a start is only recorded. On: the image's host file is also run, with the
  // command line split at spaces as its arguments (not waited for).
  void set_run_host_programs(bool on) { run_host_programs_ = on; }

  // Returns 0 and the new process's id, or an error code.
  std::uint32_t Create(std::u16string_view image, std::u16string_view command_line, std::uint32_t& process_id);
  const std::vector<Launch>& launches() const { return launches_; }
  // Forgets the starts recorded so far (a caller that runs many starts in a row).
  void ForgetLaunches() { launches_.clear(); }

 private:
  ModuleCore& module_;
  FileSystem& files_;
  bool run_host_programs_ = false;
  std::uint32_t next_id_ = 0x100;
  std::vector<Launch> launches_;
  std::vector<pid_t> children_;

  std::uint32_t RunOnHost(const Resolved& image, std::u16string_view command_line);
};

}  // namespace sim
