// Helpers for tests that run device code on a simulated module.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "sim/core/config_reader.h"  // ReadFlashConfig: a "flash" object for a test's description
#include "sim/core/description.h"
#include "sim/module.h"

namespace testing_support {

// A fresh module folder under the test's temporary directory, removed at the end.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// A description of a module in folder with the given processor product number and nothing else.
sim::Description BareDescription(const std::filesystem::path& folder, std::uint32_t cpu_product = 17);

// Writes text to a host file, creating its folders.
void WriteFile(const std::filesystem::path& path, const std::string& text);
std::string ReadFile(const std::filesystem::path& path);

}  // namespace testing_support
