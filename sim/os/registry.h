// The module's registry: keys below the local-machine root holding string and 32-bit values, filled
// from the module description at start. Key paths and value names ignore case.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "sim/core/description.h"
#include "sim/core/module_core.h"

namespace sim {

struct RegistryValue {
  std::uint32_t type = 0;          // OS_REG_SZ, OS_REG_DWORD, ...
  std::vector<std::uint8_t> data;  // as the query delivers it (a string: UTF-16 with its terminator)
};

// An open key (OsRegCreateKeyEx).
struct OpenKey : HandleObject {
  explicit OpenKey(std::u16string path) : path(std::move(path)) {}
  std::u16string path;
};

class Registry {
 public:
  explicit Registry(const std::vector<RegistryValueDescription>& values);

  // Creates the key when it is missing; true when it was created.
  bool CreateKey(std::u16string_view path);
  bool HasKey(std::u16string_view path) const;
  // Null when the key or the value is missing.
  const RegistryValue* Find(std::u16string_view key, std::u16string_view name) const;
  void Set(std::u16string_view key, std::u16string_view name, RegistryValue value);
  void SetString(std::u16string_view key, std::u16string_view name, std::u16string_view text);

 private:
  // Folded key path -> folded value name -> value.
  std::map<std::u16string, std::map<std::u16string, RegistryValue>> keys_;
};

}  // namespace sim
