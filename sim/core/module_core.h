// The core of a simulated module, below its hardware models and operating-system services: the
// description it was built from, its clock and physical bus, and the launcher process's state that
// every service shares (address space, handles, last error, local heap, debug output) plus the
// simulator's own reports. The services of sim/os and sim/env work on it; sim::Module (sim/module.h)
// composes it with the board and the services.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sim/core/address_space.h"
#include "sim/core/bus.h"
#include "sim/core/clock.h"
#include "sim/core/description.h"
#include "sim/core/faults.h"
#include "sim/core/host_paths.h"

namespace sim {

struct ModuleOptions {
  Clock::Kind clock = Clock::Kind::kVirtual;
  // Echoes go to a terminal: control characters in them are shown escaped (sim/core/text.h), while
  // the transcripts below keep the text as written.
  bool echo_debug = false;    // also write the debug output to stdout
  bool echo_reports = false;  // also write the simulator's reports to stderr
};

// Something a handle stands for (an open file, a search, a queue, ...).
struct HandleObject {
  virtual ~HandleObject() = default;
};

class ModuleCore {
 public:
  // Throws DescriptionError when the module folder cannot be opened.
  ModuleCore(Description description, ModuleOptions options);
  ~ModuleCore();
  ModuleCore(const ModuleCore&) = delete;
  ModuleCore& operator=(const ModuleCore&) = delete;

  const Description& description() const { return description_; }
  // Where the host paths the module folder names may lead, and the way to open them.
  const HostPaths& host_paths() const { return host_paths_; }
  // The flash image the description names, held by its folder since it was checked here, for the
  // board to open (BuildBoard); empty when the description names none, and after the first call.
  HostFile TakeFlashImage() { return std::move(flash_image_); }
  Clock& clock() { return clock_; }
  Faults& faults() { return faults_; }
  Bus& bus() { return bus_; }
  AddressSpace& address_space() { return address_space_; }

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

  // --- local heap ---
  void* HeapAlloc(std::uint32_t bytes);
  void HeapFree(void* memory);
  std::size_t LiveHeapBlocks() const { return heap_blocks_.size(); }

  // --- the launcher process's end ---
  // What the operating system reclaims from a process that ends: its handles are closed, its heap
  // freed, its address space (the physical windows in it) released, its last error gone.
  void EndProcess();
  // Forgets the debug transcript and the reports so far (a caller that runs many starts in a row).
  void ForgetOutput();

 private:
  Description description_;
  HostPaths host_paths_;
  ModuleOptions options_;
  Clock clock_;
  Faults faults_;
  Bus bus_;
  AddressSpace address_space_;
  HostFile flash_image_;
  std::uint32_t last_error_ = 0;
  std::map<std::uintptr_t, std::unique_ptr<HandleObject>> handles_;
  std::uintptr_t next_handle_ = 0x1000;
  std::string debug_;
  std::vector<std::string> reports_;
  std::map<void*, std::uint32_t> heap_blocks_;
};

}  // namespace sim
