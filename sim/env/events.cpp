#include "sim/env/events.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/platform.h"
#include "sim/core/text.h"

namespace sim {

namespace {

// The self-pipe through which SIGINT and SIGTERM reach the waits.
int signal_pipe[2] = {-1, -1};
struct sigaction previous_int;
struct sigaction previous_term;

extern "C" void OnSignal(int signal_number) {
  unsigned char byte = static_cast<unsigned char>(signal_number);
  ssize_t ignored = ::write(signal_pipe[1], &byte, 1);
  (void)ignored;
}

constexpr std::uint64_t kNsPerMs = 1'000'000;

}  // namespace

std::filesystem::path MountFolder(const Description& d, const ScriptCommand& command) {
  if (command.host_dir.empty()) return d.volumes / ToUtf8(command.name);
  return command.host_dir.is_absolute() ? command.host_dir : d.folder / command.host_dir;
}

Events::Events(ModuleCore& module, FileSystem& files, Notifications& notifications, Keyboard& keyboard)
    : module_(module), files_(files), notifications_(notifications), keyboard_(keyboard) {}

Events::~Events() {
  if (watch_fd_ >= 0) ::close(watch_fd_);
  if (catching_signals_) {
    ::sigaction(SIGINT, &previous_int, nullptr);
    ::sigaction(SIGTERM, &previous_term, nullptr);
    ::close(signal_pipe[0]);
    ::close(signal_pipe[1]);
    signal_pipe[0] = signal_pipe[1] = -1;
  }
}

// --- happenings ---

std::filesystem::path Events::HostDir(const ScriptCommand& command) const {
  return MountFolder(module_.description(), command);
}

std::string Events::Mount(std::u16string_view name, const std::filesystem::path& host_dir) {
  std::filesystem::path dir = host_dir.empty() ? module_.description().volumes / ToUtf8(name) : host_dir;
  std::string problem = files_.Mount(name, dir);
  if (!problem.empty()) {
    module_.Report("cannot mount: " + problem);
    return problem;
  }
  module_.Report("mounted \\" + ToUtf8(name) + " (" + dir.string() + ")");
  notifications_.Announce(name, true);
  return {};
}

std::string Events::Unmount(std::u16string_view name) {
  std::u16string shown(name);
  for (const Volume& v : files_.volumes()) {
    if (EqualIgnoringCase(v.name, name)) shown = v.name;
  }
  std::string problem = files_.Unmount(name);
  if (!problem.empty()) {
    module_.Report("cannot unmount: " + problem);
    return problem;
  }
  module_.Report("unmounted \\" + ToUtf8(shown));
  notifications_.Announce(shown, false);
  return {};
}

void Events::Shift(bool down) {
  if (down) {
    keyboard_.Press(OS_VK_SHIFT);
  } else {
    keyboard_.Release(OS_VK_SHIFT);
  }
  module_.Report(down ? "shift down" : "shift up");
}

void Events::Quit(const std::string& reason) {
  if (ended_) return;
  ended_ = true;
  end_reason_ = reason;
  module_.Report("the run ends: " + reason);
}

void Events::Apply(const Entry& entry) {
  if (entry.end_of_script) {
    --scripts_open_;
    last_closed_ = "end of script";
    module_.Report(last_closed_);
    return;
  }
  const ScriptCommand& c = entry.command;
  switch (c.kind) {
    case ScriptCommand::Kind::kMount:
      Mount(c.name, HostDir(c));
      break;
    case ScriptCommand::Kind::kUnmount:
      Unmount(c.name);
      break;
    case ScriptCommand::Kind::kShiftDown:
      Shift(true);
      break;
    case ScriptCommand::Kind::kShiftUp:
      Shift(false);
      break;
    case ScriptCommand::Kind::kQuit:
      Quit("quit");
      break;
    case ScriptCommand::Kind::kWait:
      break;  // only moves the commands after it
  }
}

// --- sources ---

void Events::Schedule(std::uint64_t at_ns, const ScriptCommand& command) {
  pending_[{at_ns, order_++}] = Entry{command, false};
}

void Events::RunScript(const std::vector<ScriptCommand>& commands) {
  std::uint64_t at = module_.clock().NowNs();
  for (const ScriptCommand& c : commands) {
    if (c.kind == ScriptCommand::Kind::kWait) {
      at += c.ms * kNsPerMs;
    } else {
      Schedule(at, c);
    }
  }
  pending_[{at, order_++}] = Entry{{}, true};
  ++scripts_open_;
}

void Events::ReadCommands(int fd) {
  input_fd_ = fd;
  input_partial_.clear();
  input_line_ = 0;
  input_cursor_ns_ = module_.clock().NowNs();
}

std::string Events::WatchVolumes() {
  const std::filesystem::path& dir = module_.description().volumes;
  HostEntry volumes = module_.host_paths().Open(dir, EntryKind::kFolder);
  if (!volumes) return "cannot watch " + module_.host_paths().Explain(dir, volumes.error);
  int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return std::string("cannot watch: ") + std::strerror(errno);
  // Through the descriptor: the folder just checked, not whatever the path names by now.
  const std::string held = "/proc/self/fd/" + std::to_string(volumes.fd.get());
  if (::inotify_add_watch(fd, held.c_str(),
                          IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_ONLYDIR | IN_DELETE_SELF |
                              IN_MOVE_SELF) < 0) {
    std::string why = std::strerror(errno);
    ::close(fd);
    return "cannot watch " + dir.string() + ": " + why;
  }
  watch_fd_ = fd;
  module_.Report("watching " + dir.string());
  return {};
}

void Events::CatchSignals() {
  if (catching_signals_) return;
  if (::pipe2(signal_pipe, O_NONBLOCK | O_CLOEXEC) != 0) return;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, &previous_int);
  ::sigaction(SIGTERM, &action, &previous_term);
  catching_signals_ = true;
}

void Events::TakeInputLine(const std::string& line) {
  ++input_line_;
  ScriptCommand command;
  try {
    if (!ParseScriptLine(line, input_line_, command)) return;
  } catch (const ScriptError& e) {
    module_.Report(std::string("input ") + e.what() + " (ignored)");
    return;
  }
  input_cursor_ns_ = std::max(input_cursor_ns_, module_.clock().NowNs());
  if (command.kind == ScriptCommand::Kind::kWait) {
    input_cursor_ns_ += command.ms * kNsPerMs;
  } else {
    Schedule(input_cursor_ns_, command);
  }
}

void Events::ReadInput() {
  char buffer[4096];
  ssize_t n = ::read(input_fd_, buffer, sizeof buffer);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n <= 0) {
    if (!input_partial_.empty()) TakeInputLine(input_partial_);
    input_partial_.clear();
    input_fd_ = -1;
    last_closed_ = "end of input";
    module_.Report(last_closed_);
    return;
  }
  input_partial_.append(buffer, static_cast<std::size_t>(n));
  std::size_t newline;
  while ((newline = input_partial_.find('\n')) != std::string::npos) {
    std::string line = input_partial_.substr(0, newline);
    input_partial_.erase(0, newline + 1);
    TakeInputLine(line);
  }
}

void Events::ReadWatch() {
  alignas(struct inotify_event) char buffer[4096];
  ssize_t n = ::read(watch_fd_, buffer, sizeof buffer);
  if (n <= 0) return;
  for (ssize_t at = 0; at < n;) {
    const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
    at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
    if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
      ::close(watch_fd_);
      watch_fd_ = -1;
      module_.Report("the volumes folder went away; the watch ends");
      return;
    }
    if (!(event->mask & IN_ISDIR) || event->len == 0) continue;
    std::u16string name = ToUtf16(event->name);
    if (event->mask & (IN_CREATE | IN_MOVED_TO)) {
      std::string problem = CheckVolumeName(name);
      if (!problem.empty()) {
        module_.Report(std::string("new folder '") + event->name + "' is not mounted: " + problem);
        continue;
      }
      Mount(name, module_.description().volumes / event->name);
    } else if (event->mask & (IN_DELETE | IN_MOVED_FROM)) {
      if (CheckVolumeName(name).empty()) Unmount(name);
    }
  }
}

void Events::ReadSignals() {
  unsigned char byte = 0;
  while (::read(signal_pipe[0], &byte, 1) == 1) {
    Quit(byte == SIGINT ? "SIGINT" : byte == SIGTERM ? "SIGTERM" : "a signal");
  }
}

void Events::PollSources(int timeout_ms) {
  std::vector<pollfd> fds;
  if (input_fd_ >= 0) fds.push_back({input_fd_, POLLIN, 0});
  if (watch_fd_ >= 0) fds.push_back({watch_fd_, POLLIN, 0});
  if (catching_signals_) fds.push_back({signal_pipe[0], POLLIN, 0});
  if (fds.empty() && timeout_ms == 0) return;
  if (::poll(fds.data(), fds.size(), timeout_ms) <= 0) return;  // timed out, or a signal came (the pipe has it)
  for (const pollfd& p : fds) {
    if (!p.revents) continue;
    if (p.fd == input_fd_) {
      ReadInput();
    } else if (p.fd == watch_fd_) {
      ReadWatch();
    } else if (catching_signals_ && p.fd == signal_pipe[0]) {
      ReadSignals();
    }
  }
}

// --- waits ---

void Events::PumpDue() {
  PollSources(0);
  std::uint64_t now = module_.clock().NowNs();
  while (!pending_.empty() && pending_.begin()->first.first <= now) {
    Entry entry = std::move(pending_.begin()->second);
    pending_.erase(pending_.begin());
    Apply(entry);
  }
}

bool Events::Ended() const {
  return ended_ || (scripts_open_ == 0 && input_fd_ < 0 && watch_fd_ < 0 && pending_.empty());
}

Events::WaitResult Events::WaitFor(const std::function<bool()>& ready, std::optional<std::uint64_t> deadline_ns) {
  Clock& clock = module_.clock();
  for (;;) {
    PumpDue();
    if (ready()) return WaitResult::kReady;
    std::uint64_t now = clock.NowNs();
    if (deadline_ns && now >= *deadline_ns) return WaitResult::kTimedOut;
    if (Ended() && !deadline_ns) {
      if (!ended_) Quit(last_closed_.empty() ? "nothing more can happen (no script, input or watch)" : last_closed_);
      return WaitResult::kEnded;
    }
    std::optional<std::uint64_t> next;
    if (!pending_.empty()) next = pending_.begin()->first.first;
    if (deadline_ns && (!next || *deadline_ns < *next)) next = deadline_ns;
    if (clock.IsVirtual()) {
      if (next) {
        clock.AdvanceTo(*next);
      } else {
        PollSources(-1);  // only input, the watch or a signal can bring anything now
      }
    } else {
      int timeout = -1;
      if (next) {
        std::uint64_t ms = (*next - now + kNsPerMs - 1) / kNsPerMs;
        timeout = ms > 60'000 ? 60'000 : static_cast<int>(ms);
      }
      PollSources(timeout);
    }
  }
}

}  // namespace sim
