// Message queues and device notifications. A queue holds whole messages up to its size limit; a
// registration for the FAT mount class receives one message for every volume that comes or goes,
// laid out as the operating system sends them (little-endian):
//
//   offset  0  16 bytes  the device class identifier
//   offset 16   4 bytes  reserved, 0
//   offset 20   4 bytes  attached flag: 1 mounted, 0 removed
//   offset 24   4 bytes  byte length of the name, terminator included
//   offset 28            the folder name, UTF-16 with a leading backslash, zero-terminated
//
// A message larger than a queue's maximum message size, or one for a full queue, is dropped (and
// reported), as a write that does not wait would be.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "sim/core/module_core.h"
#include "sim/os/filesystem.h"

namespace sim {

using ClassId = std::array<std::uint8_t, 16>;

// {169E1941-04CE-4690-97AC-776187EB67CC} in memory order.
inline constexpr ClassId kFatMountClass = {0x41, 0x19, 0x9E, 0x16, 0xCE, 0x04, 0x90, 0x46,
                                           0x97, 0xAC, 0x77, 0x61, 0x87, 0xEB, 0x67, 0xCC};

inline constexpr std::size_t kMountNameOffset = 28;

struct MsgQueue : HandleObject {
  MsgQueue(std::uint32_t max_messages, std::uint32_t max_message_bytes, bool read_access)
      : max_messages(max_messages), max_message_bytes(max_message_bytes), read_access(read_access) {}
  std::uint32_t max_messages;  // 0: no limit
  std::uint32_t max_message_bytes;
  bool read_access;
  std::deque<std::vector<std::uint8_t>> messages;
};

struct Registration : HandleObject {
  Registration(ClassId device_class, void* queue) : device_class(device_class), queue(queue) {}
  ClassId device_class;
  void* queue;
};

class Notifications {
 public:
  Notifications(ModuleCore& module, const FileSystem& files) : module_(module), files_(files) {}

  // Registers queue for the class; with all, every volume already mounted is announced to it at
  // once. Returns the registration handle, or null with error set.
  void* Request(const ClassId& device_class, void* queue, bool all, std::uint32_t& error);
  bool Stop(void* registration);

  // A volume came (attached) or went: a message to every registration of the FAT mount class.
  void Announce(std::u16string_view name, bool attached);
  // Posts the bytes as they are to every registration of the FAT mount class (malformed messages).
  void PostRaw(const std::vector<std::uint8_t>& message);

  // The message announcing the folder \NAME.
  static std::vector<std::uint8_t> MountMessage(std::u16string_view name, bool attached);

  // Messages placed in queues so far.
  std::uint32_t delivered() const { return delivered_; }

 private:
  ModuleCore& module_;
  const FileSystem& files_;
  std::vector<void*> registrations_;
  std::uint32_t delivered_ = 0;

  void Post(void* queue, std::vector<std::uint8_t> message, const std::string& what);
};

}  // namespace sim
