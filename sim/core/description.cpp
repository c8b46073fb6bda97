#include "sim/core/description.h"

#include <fcntl.h>

#include <cstring>

#include "sim/core/config_reader.h"
#include "sim/core/host_paths.h"

namespace sim {

void FieldError(const std::string& field, const std::string& what) {
  throw DescriptionError("module description: field '" + field + "': " + what);
}

DescriptionError NamingFile(const std::filesystem::path& file, const std::string& message) {
  const std::string prefix = "module description";
  return DescriptionError(message.rfind(prefix, 0) == 0 ? prefix + " " + file.string() + message.substr(prefix.size())
                                                        : message);
}

Description LoadDescription(const std::filesystem::path& folder) {
  const std::filesystem::path file = folder / kDescriptionFile;
  auto named = [&](const std::string& message) { return NamingFile(file, message); };
  // Opened as every file a module folder holds: no link followed at its name, and a FIFO, device
  // node or socket refused without waiting for a peer.
  HostFile held;
  HostEntry entry;
  HostError error = OpenUserFile(file, held);
  if (error == HostError::kNone) {
    entry = held.Open(O_RDONLY);
    error = entry.error;
  }
  if (error != HostError::kNone) throw named(std::string("module description: ") + kDescriptionFile + " " + Describe(error));
  std::string text;
  if (int read_error = ReadToEnd(entry.fd.get(), text)) {
    throw named(std::string("module description: cannot be read: ") + std::strerror(read_error));
  }
  try {
    return ParseDescription(ReadDescriptionText(text), std::filesystem::absolute(folder));
  } catch (const DescriptionError& e) {
    throw named(e.what());
  }
}

}  // namespace sim
