#include "sim/core/description.h"

#include <fstream>

#include "sim/core/config_reader.h"

namespace sim {

void FieldError(const std::string& field, const std::string& what) {
  throw DescriptionError("module description: field '" + field + "': " + what);
}

Description LoadDescription(const std::filesystem::path& folder) {
  std::filesystem::path file = folder / kDescriptionFile;
  std::ifstream in(file);
  if (!in) throw DescriptionError("module description: cannot open " + file.string());
  nlohmann::json json;
  try {
    json = nlohmann::json::parse(in, nullptr, true, /*ignore_comments=*/true);
  } catch (const nlohmann::json::parse_error& e) {
    throw DescriptionError("module description: " + file.string() + " is not valid JSON: " + e.what());
  }
  return ParseDescription(json, std::filesystem::absolute(folder));
}

}  // namespace sim
