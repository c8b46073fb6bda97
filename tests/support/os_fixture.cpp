#include "tests/support/os_fixture.h"

#include "launcher/launcher.h"
#include "sim/env/script.h"
#include "sim/core/text.h"

namespace testing_support {

void OsModuleTest::InternalDisk(const std::string& name) {
  description_.stores.push_back("DSK0:");
  SetFolderValue("\\" + name);
  std::filesystem::create_directories(volume(name));
  description_.volumes_at_start.push_back({name, volume(name)});
}

void OsModuleTest::SetFolderValue(const std::string& folder) {
  sim::RegistryValueDescription value;
  value.key = kProfileKey;
  value.name = "Folder";
  value.text = folder;
  description_.registry.push_back(value);
}

sim::Module& OsModuleTest::Start() {
  module_.reset();  // one module at a time: a second start powers the first off
  module_ = std::make_unique<sim::Module>(description_);
  return *module_;
}

void OsModuleTest::RunScript(const std::string& script) {
  if (!module_) Start();
  os().events.RunScript(sim::ParseScript(script));
  EXPECT_EQ(WatchMounts(nullptr, nullptr, nullptr, 0), 0);
}

std::vector<std::string> OsModuleTest::Started() const {
  std::vector<std::string> out;
  for (const sim::Launch& l : module_->os().processes.launches()) {
    std::string line = sim::ToUtf8(l.image);
    if (!l.command_line.empty()) line += " " + sim::ToUtf8(l.command_line);
    out.push_back(line);
  }
  return out;
}

}  // namespace testing_support
