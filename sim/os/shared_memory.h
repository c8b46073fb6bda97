// The module's named shared memory ("NAND_FLASH_BBMT"): regions that every process of one module
// sees under the same name.
//
// On the host a region is a POSIX shared-memory object whose name is derived from the module
// folder's absolute path, "/kalvori-<hash of the folder>-<name>": two simulated modules (parallel
// tests) never share a region, and another host process that opens the same module's region by that
// name sees the same bytes while the module is powered.
//
// Lifetime, as RAM: a module's power-on (sim::Module construction) starts with no region; anything
// a crashed run left under this module's prefix is removed then. A region lives from its first
// creation until the module powers off (sim::Module destruction), which unmaps every view and
// removes the objects, so nothing is left in /dev/shm. Regions that exist from power-on on are
// created by the stand-ins of other processes, such as the operating system's flash driver.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

class SharedMemory {
 public:
  // One region: an open POSIX object of a fixed size.
  struct Region {
    std::u16string name;
    std::string posix_name;
    int fd = -1;
    std::uint32_t bytes = 0;
  };

  explicit SharedMemory(const std::filesystem::path& module_folder);
  ~SharedMemory();
  SharedMemory(const SharedMemory&) = delete;
  SharedMemory& operator=(const SharedMemory&) = delete;

  // The POSIX name of a region of the module in module_folder.
  static std::string PosixName(const std::filesystem::path& module_folder, std::u16string_view name);

  // Creates the region zero-filled with the given size, or opens it when it exists (keeping its
  // size). created tells which. Null (with errno) when the host refuses.
  std::shared_ptr<Region> CreateOrOpen(std::u16string_view name, std::uint32_t bytes, bool& created);
  // The region of that name, or null.
  std::shared_ptr<Region> Find(std::u16string_view name) const;

  // Maps bytes (0: all) of a region from offset 0; the view stays until power-off. Null on failure.
  std::uint8_t* MapView(const Region& region, std::uint32_t bytes, bool writable);

  // Names of the regions that exist now.
  std::vector<std::u16string> Names() const;

  // Every view unmapped and every region removed, as when the module powers off.
  void Clear();

 private:
  std::string prefix_;
  std::vector<std::shared_ptr<Region>> regions_;
  struct View {
    void* address;
    std::size_t bytes;
  };
  std::vector<View> views_;
};

}  // namespace sim
