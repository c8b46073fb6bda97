// A test that arranges a module folder (root/, volumes/, description), starts the module and looks
// at what the device code did: debug output, started programs, files on the host.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/module.h"
#include "sim/services.h"
#include "tests/support/module_fixture.h"

namespace testing_support {

class OsModuleTest : public ::testing::Test {
 protected:
  static constexpr const char* kProfileKey = "System\\StorageManager\\Profiles\\MSFlash";

  // --- arrange (before Start) ---
  const std::filesystem::path& root() const { return description_.root; }
  std::filesystem::path volume(const std::string& name) const { return description_.volumes / name; }
  // A host file below a volume's folder or below root (path uses '/').
  void Put(const std::filesystem::path& path, const std::string& content = "program") { WriteFile(path, content); }
  sim::Description& description() { return description_; }
  // The internal flash disk: store "DSK0:", the "Folder" value, its volume mounted at start.
  void InternalDisk(const std::string& name = "Flash Disk");
  void SetFolderValue(const std::string& folder);

  // --- act ---
  sim::Module& Start();
  sim::Module& module() { return *module_; }
  sim::Services& os() { return module_->os(); }
  // Runs a script against the launcher's main routine.
  void RunScript(const std::string& script);

  // --- observe ---
  // "image[ command line]" of every started program, in order.
  std::vector<std::string> Started() const;
  std::string Debug() const { return module_->DebugTranscript(); }
  double NowSeconds() { return static_cast<double>(module_->clock().NowNs()) / 1e9; }

 private:
  TempFolder folder_;
  sim::Description description_ = BareDescription(folder_.path());
  std::unique_ptr<sim::Module> module_;
};

}  // namespace testing_support
