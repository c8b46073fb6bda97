// Faults a test (or a module description) injects into the operating-system services: "the next
// two attribute queries of \Network\x.exe fail with 1222", "the second physical mapping fails".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

enum class FaultOp {
  kCreateMsgQueue,
  kGetFileAttributes,
  kCopyFile,
  kCreateProcess,
  kCreateFile,
  kWriteFile,
  kReadFile,
  kCreateDirectory,
  kLocalAlloc,
  kVirtualAlloc,
  kVirtualCopy,
  kCreateFileMapping,
  kMapViewOfFile,
  kKernelIoControl,
};

struct FaultRule {
  FaultOp op;
  std::uint32_t error = 31;  // the last-error value the failing call leaves (default: general failure)
  std::uint32_t skip = 0;    // matching calls that still succeed first
  int count = 1;             // matching calls that fail after those; -1: every one
  std::string subject;       // empty: any call; else the call's subject must contain it, ignoring case
};

class Faults {
 public:
  void Add(FaultRule rule) { rules_.push_back(std::move(rule)); }
  void Clear() { rules_.clear(); }

  // Called by a service before it acts. subject: a device path, a physical address in hex, ...
  // Returns the error to fail with, or nothing.
  std::optional<std::uint32_t> Take(FaultOp op, std::string_view subject = {});

 private:
  std::vector<FaultRule> rules_;
};

}  // namespace sim
