// kalvori module new DIR: a module folder ready for `kalvori sim DIR`.
#include <cstdio>
#include <string>

#include "sim/core/description.h"
#include "tools/commands.h"
#include "tools/module_new.h"

namespace tools {

namespace {

constexpr int kStatusRefused = 2;  // the options cannot make a module; nothing was written

struct ModuleNewArguments {
  std::string folder;
  std::string flash = "nor";
  std::string device_code = "0x8922";
  std::string size = "64M";
  std::string chip = "0xF1EC";
  bool os_driver = false;
  int cpu_product = -1;
  bool tester = false;
  bool flash_disk = false;
  std::string card;
};

std::uint16_t Code16(const std::string& text, const char* what) {
  std::size_t used = 0;
  unsigned long value = 0;
  try {
    value = std::stoul(text, &used, 0);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size() || text[0] == '-' || value > 0xFFFF) {
    throw ModuleNewError(std::string(what) + " '" + text + "' is not a 16-bit number such as 0x8922");
  }
  return static_cast<std::uint16_t>(value);
}

int New(const ModuleNewArguments& a) {
  try {
    NewModuleOptions o;
    o.flash = a.flash == "nand" ? NewModuleOptions::Flash::kNand
              : a.flash == "none" ? NewModuleOptions::Flash::kNone
                                  : NewModuleOptions::Flash::kNor;
    o.device_code = Code16(a.device_code, "device code");
    o.nor_bytes = ParseSize(a.size);
    o.chip = Code16(a.chip, "chip");
    o.os_driver = a.os_driver;
    if (a.cpu_product >= 0) o.cpu_product = static_cast<std::uint32_t>(a.cpu_product);
    o.tester = a.tester;
    o.flash_disk = a.flash_disk;
    o.card = a.card;
    WriteNewModule(a.folder, o);
    std::printf("wrote the module %s: %s, root/, volumes/\n", a.folder.c_str(), sim::kDescriptionFile);
    std::printf("run it with: kalvori sim %s --virtual-time\n", a.folder.c_str());
    return 0;
  } catch (const ModuleNewError& e) {
    std::fprintf(stderr, "kalvori module new: %s\n", e.what());
    return kStatusRefused;
  } catch (const sim::DescriptionError& e) {
    std::fprintf(stderr, "kalvori module new: %s\n", e.what());
    return kStatusRefused;
  }
}

}  // namespace

void AddModuleCommand(CLI::App& app, int& status) {
  auto* module = app.add_subcommand("module", "Make module folders");
  module->require_subcommand(1);
  auto a = std::make_shared<ModuleNewArguments>();
  auto* create = module->add_subcommand(
      "new", "Write a module folder (a commented module.json, root/, volumes/) ready for `kalvori sim DIR`");
  create->add_option("DIR", a->folder, "The folder to write (created; must not hold a module.json)")->required();
  create->add_option("--flash", a->flash, "The boot flash: nor (default), nand or none")
      ->check(CLI::IsMember({"nor", "nand", "none"}));
  create->add_option("--device-code", a->device_code, "NOR: the devices' device code (default 0x8922)");
  create->add_option("--size", a->size, "NOR: the whole flash, both devices, a power of two (default 64M)");
  create->add_option("--chip", a->chip,
                     "NAND: the chip's ID, maker code in the low byte: 0x75EC, 0x76EC, 0xF1EC (default), 0xD3EC, "
                     "0xDCAD");
  create->add_flag("--os-driver", a->os_driver,
                   "NAND: the operating system's flash driver signs the shared bad-block map before the launcher");
  create->add_option("--cpu-product", a->cpu_product, "The processor's product number (default 17 for NOR, 8 else)");
  create->add_flag("--tester", a->tester, "Set the tester flag (boot-configuration item 12 bit 23)");
  create->add_flag("--flash-disk", a->flash_disk,
                   "An internal flash disk: store DSK0:, mounted at start as \\Flash Disk (volumes/Flash Disk)");
  create->add_option("--card", a->card, "A card of this name mounted at start, such as \"Storage Card\"");
  create->callback([a, &status] { status = New(*a); });
}

}  // namespace tools
