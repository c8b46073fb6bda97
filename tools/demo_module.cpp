#include "tools/demo_module.h"

#include <fstream>
#include <stdexcept>

#include "tools/bundle.h"

namespace tools {

namespace fs = std::filesystem;

namespace {

void Write(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

// Programs are only recorded on a simulated module; their content does not matter.
std::string Program(const std::string& name) { return "demo program " + name + "\n"; }

// A shortcut: the command's length, '#', the command.
std::string Shortcut(const std::string& command) { return std::to_string(command.size()) + "#" + command; }

}  // namespace

nlohmann::json DemoDescription(DemoFlash flash) {
  // Product 17 carries NOR flash; any other processor NAND flash behind its controller.
  const bool nor = flash == DemoFlash::kNor;
  return {
      {"comment", "The demo module of kalvori sim."},
      {"cpu_product", nor ? 17 : 8},
      {"boot_config", {{"item12", "0x00800000"}}},  // bit 23: serve the tester bundle
      {"flash", nor ? nlohmann::json{{"type", "nor"}, {"image", "flash.img"}}
                    : nlohmann::json{{"type", "nand"}, {"chip", "0xF1EC"}, {"image", "flash.img"}, {"os_driver", true}}},
      {"registry", {{"HKEY_LOCAL_MACHINE\\System\\StorageManager\\Profiles\\MSFlash", {{"Folder", "\\Flash Disk"}}}}},
      {"stores", {"DSK0:"}},
      {"volumes", {"Flash Disk"}},
      {"network_shares", {{{"path", "\\Network"}, {"unavailable_ms", 3000}}}},
  };
}

void BuildDemoModule(const fs::path& folder, DemoFlash boot_flash_kind) {
  fs::create_directories(folder);
  Write(folder / "module.json", DemoDescription(boot_flash_kind).dump(2) + "\n");

  // The device's own files.
  const fs::path root = folder / "root";
  Write(root / "Windows" / "explorer.exe", Program("explorer.exe"));
  Write(root / "Network" / "Tools" / "inventory.exe", Program("inventory.exe"));

  // The internal flash disk: a tree to install and a program to start.
  const fs::path flash = folder / "volumes" / "Flash Disk";
  Write(flash / "AutoCopy" / "Windows" / "demo.dll", "demo library\n");
  Write(flash / "AutoCopy" / "Program Files" / "Demo Viewer" / "viewer.exe", Program("viewer.exe"));
  Write(flash / "AutoCopy" / "Program Files" / "Demo Viewer" / "viewer.ini", "[viewer]\r\nzoom=2\r\n");
  fs::create_directories(flash / "AutoCopy" / "Temp");
  Write(flash / "AutoRun" / "welcome.exe", Program("welcome.exe"));

  // The memory card: a program, a shortcut with a quoted target and arguments, one to the network.
  const fs::path card = folder / "volumes" / "Storage Card";
  Write(card / "AutoCopy" / "Windows" / "card.txt", "copied from the card\r\n");
  Write(card / "AutoRun" / "setup.exe", Program("setup.exe"));
  Write(card / "AutoRun" / "viewer.lnk", Shortcut("\"\\Program Files\\Demo Viewer\\viewer.exe\" -s -v"));
  Write(card / "AutoRun" / "inventory.lnk", Shortcut("\\Network\\Tools\\inventory.exe"));

  // The boot flash's tester bundle: served, erased and started at the first start-up only.
  auto bytes = [](const std::string& text) { return std::vector<std::uint8_t>(text.begin(), text.end()); };
  const std::vector<BundleFile> bundle = {{"\\tester.ini", bytes("[tester]\r\nloops=3\r\n")},
                                          {"\\KalvoriTester.exe", bytes(Program("KalvoriTester.exe"))}};
  ModuleFlash boot_flash(folder);
  if (!WriteBundle(boot_flash, EncodeBundle(bundle), nullptr)) {
    throw std::runtime_error("cannot write the tester bundle into " + (folder / "flash.img").string());
  }
}

std::string DemoScript() {
  return "# The card goes in a moment after start and comes out a little later.\n"
         "wait 2000\n"
         "mount \"Storage Card\"\n"
         "wait 3000\n"
         "unmount \"Storage Card\"\n"
         "wait 500\n";
}

}  // namespace tools
