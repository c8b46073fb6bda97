// Faults a test (or a module description) injects into the operating-system services: "the next
// two attribute queries of \Network\x.exe fail with 1222", "the second physical mapping fails".
#pragma once

#include <cstdint>
#include <functional>
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
  FaultOp op = FaultOp::kCreateFile;
  std::uint32_t error = 31;  // the last-error value the failing call leaves (default: general failure)
  std::uint32_t skip = 0;    // matching calls that still succeed first
  int count = 1;             // matching calls that fail after those; -1: every one
  std::string subject;       // empty: any call; else the call's subject must contain it, ignoring case
  std::function<bool(std::string_view subject)> matches = {};  // when set, chooses the calls instead of subject
};

// Writes to some files (or all) fail once a number of bytes has been written to them: a full disk,
// or a file that cannot be written.
struct WriteFailureRule {
  std::function<bool(std::string_view path)> matches;  // empty: every file
  std::uint64_t bytes_left = 0;                         // still written before the failure
  std::uint32_t error = 112;                            // the disk is full
};

class Faults {
 public:
  void Add(FaultRule rule) { rules_.push_back(std::move(rule)); }
  void Clear() { rules_.clear(); }

  // Called by a service before it acts. subject: a device path, a physical address in hex, ...
  // Returns the error to fail with, or nothing.
  std::optional<std::uint32_t> Take(FaultOp op, std::string_view subject = {});

  void AddWriteFailure(WriteFailureRule rule) { write_rules_.push_back(std::move(rule)); }
  // A write of bytes to the file at path (a device path): how many of them may be written, and the
  // error to fail with when that is fewer than all.
  std::uint32_t TakeWrite(std::string_view path, std::uint32_t bytes, std::optional<std::uint32_t>& error);

 private:
  std::vector<FaultRule> rules_;
  std::vector<WriteFailureRule> write_rules_;
};

}  // namespace sim
