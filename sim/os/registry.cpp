#include "sim/os/registry.h"

#include "platform/platform.h"
#include "sim/core/text.h"

namespace sim {

namespace {

// Folds case and drops a leading or trailing backslash: "\System\X\" and "system\x" are one key.
std::u16string KeyPath(std::u16string_view path) {
  while (!path.empty() && path.front() == u'\\') path.remove_prefix(1);
  while (!path.empty() && path.back() == u'\\') path.remove_suffix(1);
  std::u16string out(path);
  for (char16_t& c : out) c = FoldCase(c);
  return out;
}

std::u16string ValueName(std::u16string_view name) {
  std::u16string out(name);
  for (char16_t& c : out) c = FoldCase(c);
  return out;
}

}  // namespace

Registry::Registry(const std::vector<RegistryValueDescription>& values) {
  for (const RegistryValueDescription& v : values) {
    std::u16string key = ToUtf16(v.key), name = ToUtf16(v.name);
    if (v.is_dword) {
      RegistryValue value{OS_REG_DWORD, std::vector<std::uint8_t>(4)};
      for (int i = 0; i < 4; ++i) value.data[i] = static_cast<std::uint8_t>(v.dword >> (8 * i));
      Set(key, name, std::move(value));
    } else {
      SetString(key, name, ToUtf16(v.text));
    }
  }
}

bool Registry::CreateKey(std::u16string_view path) { return keys_.try_emplace(KeyPath(path)).second; }

bool Registry::HasKey(std::u16string_view path) const { return keys_.count(KeyPath(path)) != 0; }

const RegistryValue* Registry::Find(std::u16string_view key, std::u16string_view name) const {
  auto k = keys_.find(KeyPath(key));
  if (k == keys_.end()) return nullptr;
  auto v = k->second.find(ValueName(name));
  return v == k->second.end() ? nullptr : &v->second;
}

void Registry::Set(std::u16string_view key, std::u16string_view name, RegistryValue value) {
  keys_[KeyPath(key)][ValueName(name)] = std::move(value);
}

void Registry::SetString(std::u16string_view key, std::u16string_view name, std::u16string_view text) {
  RegistryValue value{OS_REG_SZ, {}};
  for (char16_t c : text) {
    value.data.push_back(static_cast<std::uint8_t>(c & 0xFF));
    value.data.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  value.data.push_back(0);
  value.data.push_back(0);
  Set(key, name, std::move(value));
}

}  // namespace sim
