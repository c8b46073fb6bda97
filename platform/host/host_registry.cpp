// Host platform: the registry, served by the active simulated module (sim/os/registry.h). Only the
// local-machine root exists.
#include <cstring>

#include "platform/platform.h"
#include "sim/module.h"
#include "sim/services.h"

namespace {

sim::Module& M() { return sim::Module::Active(); }

}  // namespace

i32 OsRegCreateKeyEx(OsHKey root, const WChar* subKey, u32 reserved, WChar* keyClass, u32 options, u32 desiredAccess,
                     void* security, OsHKey* result, u32* disposition) {
  (void)reserved;
  (void)keyClass;
  (void)options;
  (void)desiredAccess;
  (void)security;
  sim::Module& m = M();
  if (root != OS_HKEY_LOCAL_MACHINE) return OS_ERROR_INVALID_HANDLE;
  if (!subKey || !result) return OS_ERROR_INVALID_PARAMETER;
  bool created = m.os().registry.CreateKey(subKey);
  if (disposition) *disposition = created ? 1u : 2u;  // created a new key : opened an existing one
  *result = m.NewHandle(std::make_unique<sim::OpenKey>(subKey));
  return OS_ERROR_SUCCESS;
}

i32 OsRegQueryValueEx(OsHKey key, const WChar* valueName, u32* reserved, u32* type, u8* data, u32* dataBytes) {
  (void)reserved;
  sim::Module& m = M();
  sim::OpenKey* open = m.Lookup<sim::OpenKey>(key);
  if (!open) return OS_ERROR_INVALID_HANDLE;
  if (data && !dataBytes) return OS_ERROR_INVALID_PARAMETER;
  const sim::RegistryValue* value = m.os().registry.Find(open->path, valueName ? valueName : u"");
  if (!value) return OS_ERROR_FILE_NOT_FOUND;
  if (type) *type = value->type;
  u32 needed = static_cast<u32>(value->data.size());
  if (!dataBytes) return OS_ERROR_SUCCESS;
  u32 room = *dataBytes;
  *dataBytes = needed;
  if (!data) return OS_ERROR_SUCCESS;
  if (room < needed) return OS_ERROR_MORE_DATA;
  std::memcpy(data, value->data.data(), needed);
  return OS_ERROR_SUCCESS;
}

i32 OsRegCloseKey(OsHKey key) {
  sim::Module& m = M();
  if (!m.Lookup<sim::OpenKey>(key)) return OS_ERROR_INVALID_HANDLE;
  m.CloseHandle(key);
  return OS_ERROR_SUCCESS;
}
