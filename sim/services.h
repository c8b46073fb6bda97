// The operating-system services of a simulated module, as the host platform serves them to the
// device code: file system and volumes, registry, keys, processes, notifications and the events
// around the module. Built from the module description when the module starts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/env/events.h"
#include "sim/os/filesystem.h"
#include "sim/os/keyboard.h"
#include "sim/module.h"
#include "sim/os/notifications.h"
#include "sim/os/processes.h"
#include "sim/os/registry.h"

namespace sim {

// What the services did, for summaries.
struct Activity {
  std::uint32_t files_copied = 0;
  std::uint32_t directories_created = 0;
  std::vector<std::u16string> searches;  // every find-first pattern, in order
};

struct Services {
  // Mounts the description's volumes present at start; a missing volume folder is a DescriptionError.
  explicit Services(Module& module);

  FileSystem files;
  Registry registry;
  Keyboard keyboard;
  Processes processes;
  Notifications notifications;
  Events events;
  Activity activity;
};

}  // namespace sim
