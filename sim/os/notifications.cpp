#include "sim/os/notifications.h"

#include <algorithm>

#include "platform/platform.h"
#include "sim/core/text.h"

namespace sim {

namespace {

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

}  // namespace

std::vector<std::uint8_t> Notifications::MountMessage(std::u16string_view name, bool attached) {
  std::u16string folder = u"\\" + std::u16string(name);
  std::vector<std::uint8_t> message(kFatMountClass.begin(), kFatMountClass.end());
  PutU32(message, 0);
  PutU32(message, attached ? 1 : 0);
  PutU32(message, static_cast<std::uint32_t>((folder.size() + 1) * 2));
  for (char16_t c : folder) {
    message.push_back(static_cast<std::uint8_t>(c & 0xFF));
    message.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  message.push_back(0);
  message.push_back(0);
  return message;
}

void* Notifications::Request(const ClassId& device_class, void* queue, bool all, std::uint32_t& error) {
  if (!module_.Lookup<MsgQueue>(queue)) {
    error = OS_ERROR_INVALID_HANDLE;
    return nullptr;
  }
  void* registration = module_.NewHandle(std::make_unique<Registration>(device_class, queue));
  registrations_.push_back(registration);
  if (all && device_class == kFatMountClass) {
    for (const Volume& v : files_.volumes()) {
      Post(queue, MountMessage(v.name, true), "\\" + ToUtf8(v.name) + " mounted (already present)");
    }
  }
  return registration;
}

bool Notifications::Stop(void* registration) {
  auto it = std::find(registrations_.begin(), registrations_.end(), registration);
  if (it == registrations_.end()) return false;
  registrations_.erase(it);
  return module_.CloseHandle(registration);
}

void Notifications::Announce(std::u16string_view name, bool attached) {
  std::string what = "\\" + ToUtf8(name) + (attached ? " mounted" : " removed");
  for (void* handle : registrations_) {
    Registration* r = module_.Lookup<Registration>(handle);
    if (r && r->device_class == kFatMountClass) Post(r->queue, MountMessage(name, attached), what);
  }
}

void Notifications::PostRaw(const std::vector<std::uint8_t>& message) {
  for (void* handle : registrations_) {
    Registration* r = module_.Lookup<Registration>(handle);
    if (r && r->device_class == kFatMountClass) {
      Post(r->queue, message, "a raw message of " + std::to_string(message.size()) + " bytes");
    }
  }
}

void Notifications::Post(void* queue, std::vector<std::uint8_t> message, const std::string& what) {
  MsgQueue* q = module_.Lookup<MsgQueue>(queue);
  if (!q) return;  // the queue was closed while still registered
  if (message.size() > q->max_message_bytes) {
    module_.Report("dropped notification " + what + ": " + std::to_string(message.size()) +
                   " bytes exceed the queue's message size of " + std::to_string(q->max_message_bytes));
    return;
  }
  if (q->max_messages != 0 && q->messages.size() >= q->max_messages) {
    module_.Report("dropped notification " + what + ": the queue is full");
    return;
  }
  q->messages.push_back(std::move(message));
  ++delivered_;
  module_.Report("notification: " + what);
}

}  // namespace sim
