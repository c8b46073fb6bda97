// Folders are layers, and includes run downward: a file may include only files of its own layer and
// of the layers below it. The simulator's layers, from the bottom: sim/core (clock, bus, description,
// the module's core), sim/hw (the hardware models and the board), sim/os (the operating-system
// services), sim/env (the events around the module), and the module itself at the top of sim/. The
// host platform stands on the whole simulator and the tools on everything. The device code and the
// operating-system interface it is written against (platform/platform.h) stand apart: the device
// code includes nothing of the host, and no model includes the device code it is meant to check.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

enum class Zone { kCore, kHw, kOs, kEnv, kModule, kPlatformApi, kDevice, kPlatformHost, kTools, kTests };

const char* ZoneName(Zone zone) {
  switch (zone) {
    case Zone::kCore: return "sim/core";
    case Zone::kHw: return "sim/hw";
    case Zone::kOs: return "sim/os";
    case Zone::kEnv: return "sim/env";
    case Zone::kModule: return "the module (sim/*)";
    case Zone::kPlatformApi: return "platform/platform.h";
    case Zone::kDevice: return "device code";
    case Zone::kPlatformHost: return "platform/host";
    case Zone::kTools: return "tools";
    case Zone::kTests: return "tests and benchmarks";
  }
  return "?";
}

bool Under(const std::string& path, const std::string& folder) { return path.rfind(folder + "/", 0) == 0; }

// The zone of a path relative to the source tree; nothing for files outside every zone.
std::optional<Zone> ZoneOf(const std::string& path) {
  if (Under(path, "sim/core")) return Zone::kCore;
  if (Under(path, "sim/hw")) return Zone::kHw;
  if (Under(path, "sim/os")) return Zone::kOs;
  if (Under(path, "sim/env")) return Zone::kEnv;
  if (Under(path, "sim")) return Zone::kModule;
  if (path == "platform/platform.h") return Zone::kPlatformApi;
  if (Under(path, "platform/host")) return Zone::kPlatformHost;
  // The rest of platform/ (the module's platform layer, the formatter both layers share) ships.
  if (Under(path, "platform") || Under(path, "flash") || Under(path, "launcher") || Under(path, "tester") ||
      Under(path, "hw")) {
    return Zone::kDevice;
  }
  if (Under(path, "tools")) return Zone::kTools;
  if (Under(path, "tests") || Under(path, "bench")) return Zone::kTests;
  return std::nullopt;
}

// The zones a file of the zone may include.
std::set<Zone> Allowed(Zone zone) {
  using enum Zone;
  switch (zone) {
    case kCore: return {kCore};
    case kHw: return {kCore, kHw};
    case kOs: return {kCore, kHw, kOs, kPlatformApi};
    case kEnv: return {kCore, kHw, kOs, kEnv, kPlatformApi};
    case kModule: return {kCore, kHw, kOs, kEnv, kModule, kPlatformApi};
    case kPlatformApi: return {kPlatformApi};
    case kDevice: return {kDevice, kPlatformApi};
    case kPlatformHost: return {kCore, kHw, kOs, kEnv, kModule, kPlatformApi, kDevice, kPlatformHost};
    case kTools: return {kCore, kHw, kOs, kEnv, kModule, kPlatformApi, kDevice, kPlatformHost, kTools};
    case kTests: return {kCore, kHw, kOs, kEnv, kModule, kPlatformApi, kDevice, kPlatformHost, kTools, kTests};
  }
  return {};
}

// The quoted name of an #include line; empty for any other line.
std::string IncludedName(const std::string& line) {
  std::size_t at = line.find_first_not_of(" \t");
  if (at == std::string::npos || line[at] != '#') return {};
  at = line.find_first_not_of(" \t", at + 1);
  if (at == std::string::npos || line.compare(at, 7, "include") != 0) return {};
  std::size_t open = line.find_first_not_of(" \t", at + 7);
  if (open == std::string::npos || line[open] != '"') return {};
  std::size_t close = line.find('"', open + 1);
  return close == std::string::npos ? std::string() : line.substr(open + 1, close - open - 1);
}

// Why file may not include target (both relative to the source tree); empty when it may.
std::string Violation(const std::string& file, const std::string& target) {
  std::optional<Zone> from = ZoneOf(file);
  std::optional<Zone> to = ZoneOf(target);
  if (!from || !to || Allowed(*from).count(*to)) return {};
  return file + " (" + ZoneName(*from) + ") includes " + target + " (" + ZoneName(*to) + ")";
}

TEST(IncludeDirection, IncludeLinesAreRecognised) {
  EXPECT_EQ(IncludedName("#include \"sim/core/bus.h\""), "sim/core/bus.h");
  EXPECT_EQ(IncludedName("  #  include  \"sim/module.h\"  // why"), "sim/module.h");
  EXPECT_EQ(IncludedName("#include <nlohmann/json.hpp>"), "");
  EXPECT_EQ(IncludedName("// #include \"sim/module.h\""), "");
}

TEST(IncludeDirection, TheRuleRefusesEveryUpwardInclude) {
  EXPECT_EQ(Violation("sim/hw/nor_flash.h", "sim/core/bus.h"), "");
  EXPECT_EQ(Violation("sim/os/processes.h", "sim/hw/nand_controller.h"), "");
  EXPECT_EQ(Violation("sim/env/script.cpp", "sim/os/filesystem.h"), "");
  EXPECT_EQ(Violation("sim/module.cpp", "sim/services.h"), "");
  EXPECT_EQ(Violation("sim/os/registry.cpp", "platform/platform.h"), "");
  EXPECT_EQ(Violation("platform/host/host_memory.cpp", "hw/devmem.h"), "");
  EXPECT_EQ(Violation("tools/bundle.cpp", "flash/flash_ops.h"), "");
  EXPECT_EQ(Violation("platform/host/host_core.cpp", "platform/format.h"), "");
  EXPECT_EQ(Violation("platform/format.h", "platform/platform.h"), "");

  EXPECT_NE(Violation("sim/core/device_state.cpp", "sim/module.h"), "");
  EXPECT_NE(Violation("sim/core/bus.h", "sim/hw/gpio.h"), "");
  EXPECT_NE(Violation("sim/hw/nand_controller.cpp", "sim/module.h"), "");
  EXPECT_NE(Violation("sim/hw/board.cpp", "sim/os/nand_os_driver.h"), "");
  EXPECT_NE(Violation("sim/hw/gpio.cpp", "platform/platform.h"), "");
  EXPECT_NE(Violation("sim/os/filesystem.cpp", "sim/env/script.h"), "");
  EXPECT_NE(Violation("sim/os/notifications.h", "sim/services.h"), "");
  EXPECT_NE(Violation("sim/env/events.h", "sim/module.h"), "");
  EXPECT_NE(Violation("sim/module.cpp", "platform/host/host_core.cpp"), "");
  EXPECT_NE(Violation("sim/hw/nand_controller.cpp", "flash/nand/nand.h"), "") << "models are not written from the driver";
  EXPECT_NE(Violation("flash/nand/nand.cpp", "sim/hw/nand_controller.h"), "");
  EXPECT_NE(Violation("launcher/main.cpp", "tools/commands.h"), "");
  EXPECT_NE(Violation("platform/platform.h", "flash/flash_ops.h"), "");
  EXPECT_NE(Violation("platform/format.cpp", "sim/core/text.h"), "");
  EXPECT_NE(Violation("tools/kalvori.cpp", "tests/support/module_fixture.h"), "");
  EXPECT_NE(Violation("platform/host/host_core.cpp", "tools/commands.h"), "");
}

TEST(IncludeDirection, EveryIncludeOfTheTreeRunsDownward) {
  const fs::path root = KALVORI_SOURCE_DIR;
  std::vector<std::string> violations;
  std::size_t files = 0;
  for (const char* top : {"sim", "platform", "tools", "flash", "launcher", "tester", "hw"}) {
    ASSERT_TRUE(fs::is_directory(root / top)) << top;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root / top)) {
      const fs::path& path = entry.path();
      std::string ext = path.extension().string();
      if (!entry.is_regular_file() || (ext != ".h" && ext != ".cpp" && ext != ".S")) continue;
      std::string file = fs::relative(path, root).generic_string();
      ++files;
      std::ifstream in(path);
      std::string line;
      for (int number = 1; std::getline(in, line); ++number) {
        std::string target = IncludedName(line);
        if (target.empty()) continue;
        std::string why = Violation(file, target);
        if (!why.empty()) violations.push_back(why + " at line " + std::to_string(number));
      }
    }
  }
  EXPECT_GT(files, 100u) << "the scan found too few files under " << root;
  for (const std::string& v : violations) ADD_FAILURE() << v;
}

// The models take typed configuration (sim/core/flash_config.h); module.json is read in sim/core alone.
TEST(IncludeDirection, TheHardwareModelsKnowNothingOfJson) {
  const fs::path root = KALVORI_SOURCE_DIR;
  std::size_t files = 0;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root / "sim" / "hw")) {
    if (!entry.is_regular_file()) continue;
    ++files;
    std::ifstream in(entry.path());
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
      EXPECT_EQ(line.find("nlohmann"), std::string::npos) << entry.path().string() << ":" << number << ": " << line;
    }
  }
  EXPECT_GT(files, 10u);
}

}  // namespace
