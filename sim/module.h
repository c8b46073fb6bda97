// The simulated module: what the host platform serves the device code from. A test builds one,
// drives it (mounts, key presses, injected faults) and inspects it (debug transcript, started
// programs, files, flash). Exactly one module is active at a time; constructing it is the module's
// power-on and the launcher process's start.
//
// A module composes the layers below it: its core (sim/core/module_core.h: description, clock, bus,
// the launcher process's handles, heap and output), the board of hardware models the description
// names (sim/hw/board.h), and the operating-system services with the events around the module
// (sim/services.h).
#pragma once

#include <functional>
#include <memory>

#include "sim/core/device_state.h"  // ResetDeviceState: a fresh launcher process on the same module
#include "sim/core/module_core.h"
#include "sim/hw/board.h"
#include "sim/os/shared_memory.h"

namespace sim {

struct Services;  // sim/services.h

// Changes the board before power-on (a test puts a device of its own on the bus; sim/hw/board.h).
// The core gives the module's clock and reports to the devices it makes.
using BoardFitter = std::function<void(Board& board, ModuleCore& core)>;

class Module : public ModuleCore {
 public:
  // Power-on with the board the description names.
  explicit Module(Description description, ModuleOptions options = {});
  // Power-on with the board the description names, changed by fit before any device is on the bus.
  Module(Description description, const BoardFitter& fit, ModuleOptions options = {});
  ~Module();

  // The active module; aborts with a clear message when there is none.
  static Module& Active();
  static bool HasActive();

  // A fresh launcher process on the powered module, as when the launcher is started again: the old
  // process ends (ModuleCore::EndProcess) and the device code's module-level state is back at its
  // initial values. The hardware, the files, the volumes and the named shared memory stay.
  void StartLauncherProcess();

  // Named shared memory; a power-on starts without any (sim/os/shared_memory.h).
  SharedMemory& shared_memory() { return shared_memory_; }

  // --- hardware: the board's devices, on the bus ---
  const Board& board() const { return board_; }
  // The first device of that type on the board, or null.
  template <class T>
  T* FindDevice() const {
    return board_.Find<T>();
  }

  // --- operating-system services: files, volumes, registry, keys, processes, notifications, events ---
  Services& os();

 private:
  static Module* active_;

  SharedMemory shared_memory_;
  Board board_;                         // detached with the core's bus, which outlives it
  std::unique_ptr<Services> services_;  // last: goes first
};

}  // namespace sim
