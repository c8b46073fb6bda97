// The host folders behind the module's file system, held open and indexed by case-folded name, so
// that a device path resolves in constant time per part: a part is looked up in its folder's index
// (no system call; a missing name is a miss, never a scan) and the folder below is reached from the
// one above by descriptor, never by a path, so a link swapped in anywhere is met by an O_NOFOLLOW
// open and refused.
//
// A folder's index is built by reading the folder once and kept current by the simulator's own
// changes and by the kernel's change notifications (inotify) for every folder the tree holds: the
// changes reported since the last operation are taken in at the start of each (Refresh). A folder
// the kernel cannot watch (no inotify, or its watch limit reached) is checked by its modification
// time at every use instead; a change made there by another program within the same clock tick as
// one of the simulator's own may then go unseen until the folder next changes.
//
// Descriptors: the folders a device path has reached stay known; at most kOpenFolderBudget of them
// (besides the tops) keep their descriptors open between operations, the least recently used are
// closed and reopened from the folder above when needed again (checking that it is the same folder).
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "sim/core/host_paths.h"

namespace sim {

// True when a device path could address this name: not empty, not "." or "..", and free of
// \ / : * ? " < > | and control characters.
bool IsDeviceName(std::u16string_view name);

// The device's name for a host name: its UTF-16 form, when it round-trips and is a device name.
bool DeviceNameOf(const std::string& host, std::u16string& name);

class HostTree {
 public:
  struct Folder;

  static constexpr std::size_t kOpenFolderBudget = 256;

  HostTree();
  ~HostTree();
  HostTree(const HostTree&) = delete;
  HostTree& operator=(const HostTree&) = delete;

  // For tests: trees made from now on check every folder by its modification time, as where the
  // kernel cannot watch.
  static void UseChangeNotifications(bool use);

  // A folder the tree starts from (the device's root, a mounted volume's folder), opened by the caller.
  Folder* AddTop(UniqueFd fd, std::filesystem::path host);
  void RemoveTop(Folder* top);

  // Takes in the changes the host reported since the last call and closes descriptors beyond the
  // budget. Call once at the start of every operation: folders obtained before stay valid until then.
  void Refresh();

  // The folder's descriptor, reopened if it was closed; -1 when the folder is gone.
  int Fd(Folder& folder);
  // The host name the device name `name` stands for in folder, or null: the name itself when the host
  // has it, else the first in byte order of the host names equal to it without regard to case.
  const std::string* Find(Folder& folder, std::u16string_view name);
  // The sub-folder host_name of folder; null, with why not, when it cannot be opened as a folder.
  Folder* Sub(Folder& folder, const std::string& host_name, HostError& error);

  struct Listed {
    std::string host;
    struct stat st;
  };
  // The folder's regular files and sub-folders whose names a device path can address.
  HostError List(Folder& folder, std::vector<Listed>& entries);

  // The simulator's own changes to a folder.
  void Added(Folder& folder, const std::string& host_name);
  void Removed(Folder& folder, const std::string& host_name);

  // For messages and for starting programs.
  std::filesystem::path HostPath(const Folder& folder) const;

 private:
  int inotify_ = -1;
  std::unordered_map<int, std::vector<Folder*>> watched_;  // watch descriptor -> folders (a folder can be reached twice)
  std::vector<std::unique_ptr<Folder>> tops_;
  std::list<Folder*> open_;                         // sub-folders holding a descriptor, most recently used first
  std::vector<std::unique_ptr<Folder>> forgotten_;  // freed at the next Refresh
  std::vector<char> events_;   // inotify events
  std::vector<char> listing_;  // folder entries

  void Watch(Folder& folder);
  void Touch(Folder& folder);
  bool Current(Folder& folder);
  void Index(Folder& folder);
  void Forget(Folder& folder, const std::string& sub);
  void Unwatch(Folder& folder);
  void Clear(Folder& folder);
  void ForgetEverything();
  void Apply(Folder& folder, std::uint32_t mask, const std::string& name);
};

}  // namespace sim
