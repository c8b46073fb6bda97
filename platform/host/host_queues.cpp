// Host platform: message queues, waits, device notifications and the key state, served by the
// active simulated module (sim/os/notifications.h, sim/env/events.h, sim/os/keyboard.h).
//
// Waiting on a queue lets the module's time pass until a message arrives (sim::Events::WaitFor).
// A wait without a time-out fails once the run has ended (`quit`, end of the script, a signal):
// that is how the launcher's watch loop comes to its end on the host.
#include <cstring>

#include "platform/platform.h"
#include "sim/module.h"
#include "sim/services.h"

namespace {

sim::Module& M() { return sim::Module::Active(); }

// What a read or wait reports once nobody can write to the queue any more.
constexpr u32 kErrorPipeNotConnected = 233;
constexpr std::uint64_t kNsPerMs = 1'000'000;

std::optional<std::uint64_t> Deadline(u32 timeoutMs) {
  if (timeoutMs == OS_INFINITE) return std::nullopt;
  return M().clock().NowNs() + std::uint64_t{timeoutMs} * kNsPerMs;
}

}  // namespace

OsHandle OsCreateMsgQueue(const WChar* name, OsMsgQueueOptions* options) {
  sim::Module& m = M();
  if (auto error = m.faults().Take(sim::FaultOp::kCreateMsgQueue)) {
    m.set_last_error(*error);
    return nullptr;
  }
  if (name) {
    m.set_last_error(OS_ERROR_NOT_SUPPORTED);  // named queues are not needed here
    return nullptr;
  }
  if (!options || options->Size != sizeof(OsMsgQueueOptions) || options->MaxMessage == 0) {
    m.set_last_error(OS_ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return m.NewHandle(std::make_unique<sim::MsgQueue>(options->MaxMessages, options->MaxMessage, options->ReadAccess != 0));
}

OsBool OsReadMsgQueue(OsHandle queue, void* buffer, u32 bufferBytes, u32* bytesRead, u32 timeoutMs, u32* flags) {
  sim::Module& m = M();
  sim::MsgQueue* q = m.Lookup<sim::MsgQueue>(queue);
  if (!q) {
    m.set_last_error(OS_ERROR_INVALID_HANDLE);
    return OS_FALSE;
  }
  if (!q->read_access) {
    m.set_last_error(OS_ERROR_ACCESS_DENIED);
    return OS_FALSE;
  }
  auto result = m.os().events.WaitFor([q] { return !q->messages.empty(); }, Deadline(timeoutMs));
  if (result != sim::Events::WaitResult::kReady) {
    m.set_last_error(result == sim::Events::WaitResult::kTimedOut ? OS_ERROR_TIMEOUT : kErrorPipeNotConnected);
    return OS_FALSE;
  }
  std::vector<std::uint8_t> message = std::move(q->messages.front());
  q->messages.pop_front();
  if (!buffer || bufferBytes < message.size()) {
    m.set_last_error(OS_ERROR_INSUFFICIENT_BUFFER);  // the message is lost, as on the module
    return OS_FALSE;
  }
  // An empty message has no bytes to copy (and its vector no storage to copy from).
  if (!message.empty()) std::memcpy(buffer, message.data(), message.size());
  if (bytesRead) *bytesRead = static_cast<u32>(message.size());
  if (flags) *flags = 0;
  return OS_TRUE;
}

OsBool OsCloseMsgQueue(OsHandle queue) {
  sim::Module& m = M();
  if (!m.Lookup<sim::MsgQueue>(queue)) {
    m.set_last_error(OS_ERROR_INVALID_HANDLE);
    return OS_FALSE;
  }
  m.CloseHandle(queue);
  return OS_TRUE;
}

u32 OsWaitForSingleObject(OsHandle handle, u32 timeoutMs) {
  sim::Module& m = M();
  sim::MsgQueue* q = m.Lookup<sim::MsgQueue>(handle);
  if (!q) {
    m.set_last_error(OS_ERROR_INVALID_HANDLE);  // only queues can be waited on here
    return OS_WAIT_FAILED;
  }
  switch (m.os().events.WaitFor([q] { return !q->messages.empty(); }, Deadline(timeoutMs))) {
    case sim::Events::WaitResult::kReady:
      return OS_WAIT_OBJECT_0;
    case sim::Events::WaitResult::kTimedOut:
      return OS_WAIT_TIMEOUT;
    case sim::Events::WaitResult::kEnded:
      break;
  }
  m.set_last_error(kErrorPipeNotConnected);
  return OS_WAIT_FAILED;
}

OsHandle OsRequestDeviceNotifications(const OsGuid* deviceClass, OsHandle queue, OsBool all) {
  sim::Module& m = M();
  if (!deviceClass) {
    m.set_last_error(OS_ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  sim::ClassId id;
  std::memcpy(id.data(), deviceClass, id.size());
  std::uint32_t error = 0;
  OsHandle registration = m.os().notifications.Request(id, queue, all != 0, error);
  if (!registration) m.set_last_error(error);
  return registration;
}

OsBool OsStopDeviceNotifications(OsHandle registration) {
  sim::Module& m = M();
  if (!m.os().notifications.Stop(registration)) {
    m.set_last_error(OS_ERROR_INVALID_HANDLE);
    return OS_FALSE;
  }
  return OS_TRUE;
}

i16 OsGetAsyncKeyState(i32 virtualKey) {
  sim::Services& os = M().os();
  os.events.PumpDue();  // a key pressed by the script before now counts
  return static_cast<i16>(os.keyboard.Query(virtualKey));
}
