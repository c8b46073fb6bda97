// What happens around the module while the launcher runs: volumes mounted and removed, the Shift
// key, and the end of the run. Events come from a command script (scheduled on the module's clock),
// from commands read as they arrive (standard input), from a watch of the volumes folder, and from
// SIGINT/SIGTERM.
//
// The platform's waits let time pass through WaitFor. On the virtual clock a wait jumps to the next
// scheduled event (after every command already typed has been read); on the real clock it sleeps in
// poll() on the live sources until then. The run has ended after `quit`, a signal, or when no source
// can bring anything more (the script is done, input is closed and nothing is watched); a wait with
// nothing left to wait for then fails.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/core/module_core.h"
#include "sim/env/script.h"
#include "sim/os/filesystem.h"
#include "sim/os/keyboard.h"
#include "sim/os/notifications.h"

namespace sim {

// The host folder a mount command names: its HOSTDIR (relative to the module folder), or volumes/NAME.
std::filesystem::path MountFolder(const Description& description, const ScriptCommand& command);

class Events {
 public:
  Events(ModuleCore& module, FileSystem& files, Notifications& notifications, Keyboard& keyboard);
  ~Events();
  Events(const Events&) = delete;
  Events& operator=(const Events&) = delete;

  // --- happenings, applied at once ---
  // Empty on success, else why not (also reported).
  std::string Mount(std::u16string_view name, const std::filesystem::path& host_dir = {});
  std::string Unmount(std::u16string_view name);
  void Shift(bool down);
  void Quit(const std::string& reason);

  // --- sources ---
  // Schedules the commands from the current time on; a wait moves the following ones later.
  void RunScript(const std::vector<ScriptCommand>& commands);
  // Schedules one command at a module time (nanoseconds since start).
  void Schedule(std::uint64_t at_ns, const ScriptCommand& command);
  // Reads commands from fd as they arrive; a bad line is reported and skipped.
  void ReadCommands(int fd);
  // Watches the volumes folder: a new sub-folder is mounted, a removed one is unmounted. Empty on
  // success, else why not.
  std::string WatchVolumes();
  // SIGINT and SIGTERM end the run; the earlier handlers come back when this object goes.
  void CatchSignals();

  // --- for the platform's waits ---
  void PumpDue();
  enum class WaitResult { kReady, kTimedOut, kEnded };
  WaitResult WaitFor(const std::function<bool()>& ready, std::optional<std::uint64_t> deadline_ns);
  bool Ended() const;
  const std::string& end_reason() const { return end_reason_; }

 private:
  struct Entry {
    ScriptCommand command;
    bool end_of_script = false;
  };

  ModuleCore& module_;
  FileSystem& files_;
  Notifications& notifications_;
  Keyboard& keyboard_;
  std::map<std::pair<std::uint64_t, std::uint64_t>, Entry> pending_;  // (time, order) -> event
  std::uint64_t order_ = 0;
  int scripts_open_ = 0;
  int input_fd_ = -1;  // commands read as they arrive
  std::string input_partial_;
  int input_line_ = 0;
  std::uint64_t input_cursor_ns_ = 0;
  int watch_fd_ = -1;
  bool catching_signals_ = false;
  bool ended_ = false;
  std::string end_reason_;
  std::string last_closed_;  // the last source to finish: "end of script", "end of input"

  void Apply(const Entry& entry);
  void PollSources(int timeout_ms);
  void ReadInput();
  void ReadWatch();
  void ReadSignals();
  void TakeInputLine(const std::string& line);
  std::filesystem::path HostDir(const ScriptCommand& command) const;
};

}  // namespace sim
