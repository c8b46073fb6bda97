#include "sim/core/description.h"

#include <fstream>
#include <sstream>

#include "sim/core/config_reader.h"

namespace sim {

void FieldError(const std::string& field, const std::string& what) {
  throw DescriptionError("module description: field '" + field + "': " + what);
}

Description LoadDescription(const std::filesystem::path& folder) {
  const std::filesystem::path file = folder / kDescriptionFile;
  // Every refusal names the file: "module description FILE: field 'FIELD': WHAT".
  auto named = [&](const std::string& message) {
    const std::string prefix = "module description";
    return DescriptionError(message.rfind(prefix, 0) == 0 ? prefix + " " + file.string() + message.substr(prefix.size())
                                                          : message);
  };
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(file, error);
  if (std::filesystem::is_directory(status)) throw named("module description: a folder, not a file");
  if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
    throw named("module description: not a regular file");
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) throw named("module description: cannot open it");
  std::stringstream text;
  text << in.rdbuf();
  if (in.bad()) throw named("module description: cannot read it");
  try {
    return ParseDescription(ReadDescriptionText(text.str()), std::filesystem::absolute(folder));
  } catch (const DescriptionError& e) {
    throw named(e.what());
  }
}

}  // namespace sim
