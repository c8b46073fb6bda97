// The simulated module: what the host platform serves the device code from. A test builds one,
// drives it (mounts, key presses, injected faults) and inspects it (debug transcript, started
// programs, files, flash). Exactly one module is active at a time; constructing it is the module's
// power-on and the launcher process's start.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/core/address_space.h"
#include "sim/core/bus.h"
#include "sim/core/clock.h"
#include "sim/core/description.h"
#include "sim/core/faults.h"
#include "sim/os/shared_memory.h"

namespace sim {

struct Services;  // sim/services.h

struct ModuleOptions {
  Clock::Kind clock = Clock::Kind::kVirtual;
  bool echo_debug = false;    // also write the debug output to stdout
  bool echo_reports = false;  // also write the simulator's reports to stderr
};

// Something a handle stands for (an open file, a search, a queue, ...).
struct HandleObject {
  virtual ~HandleObject() = default;
};

class Module {
 public:
  explicit Module(Description description, ModuleOptions options = {});
  ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  // The active module; aborts with a clear message when there is none.
  static Module& Active();
  static bool HasActive();

  const Description& description() const { return description_; }
  Clock& clock() { return clock_; }
  Faults& faults() { return faults_; }
  Bus& bus() { return bus_; }
  AddressSpace& address_space() { return address_space_; }
  // Named shared memory; a power-on starts without any (sim/shared_memory.h).
  SharedMemory& shared_memory() { return shared_memory_; }

  // --- the operating system's per-thread error value ---
  std::uint32_t last_error() const { return last_error_; }
  void set_last_error(std::uint32_t error) { last_error_ = error; }

  // --- handles ---
  void* NewHandle(std::unique_ptr<HandleObject> object);
  template <class T>
  T* Lookup(void* handle) {
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == handles_.end() ? nullptr : dynamic_cast<T*>(it->second.get());
  }
  bool CloseHandle(void* handle);
  std::size_t OpenHandleCount() const { return handles_.size(); }

  // --- debug output and the simulator's own reports ---
  // The module's debug output, UTF-8, exactly as written (CR LF kept).
  void DebugWrite(std::u16string_view text);
  const std::string& DebugTranscript() const { return debug_; }
  // A line of the simulator's own (not something the module printed).
  void Report(const std::string& line);
  const std::vector<std::string>& Reports() const { return reports_; }

  // --- hardware: the models on the bus, owned by the module ---
  template <class T>
  T& AddDevice(std::unique_ptr<T> device) {
    T& ref = *device;
    devices_.push_back(std::move(device));
    return ref;
  }
  template <class T>
  T* FindDevice() {
    for (auto& d : devices_) {
      if (auto* t = dynamic_cast<T*>(d.get())) return t;
    }
    return nullptr;
  }

  // --- operating-system services: files, volumes, registry, keys, processes, notifications, events ---
  Services& os();

  // --- local heap ---
  void* HeapAlloc(std::uint32_t bytes);
  void HeapFree(void* memory);
  std::size_t LiveHeapBlocks() const { return heap_blocks_.size(); }

 private:
  static Module* active_;

  Description description_;
  ModuleOptions options_;
  Clock clock_;
  Faults faults_;
  Bus bus_;
  AddressSpace address_space_;
  SharedMemory shared_memory_;
  std::uint32_t last_error_ = 0;
  std::map<std::uintptr_t, std::unique_ptr<HandleObject>> handles_;
  std::uintptr_t next_handle_ = 0x1000;
  std::string debug_;
  std::vector<std::string> reports_;
  std::map<void*, std::uint32_t> heap_blocks_;
  std::vector<std::unique_ptr<BusDevice>> devices_;  // after bus_: detached before it goes

  std::unique_ptr<Services> services_;  // last: goes first

  // Builds the models the description names and attaches them to the bus (sim/hardware.cpp).
  void AttachHardware();
};

// Puts every module-level variable of the device code back to its value at process start.
void ResetDeviceState();

}  // namespace sim
