// kalvori flash: looks at a module's boot flash through the module's own flash library (info, map),
// and moves its image to and from the layouts other tools use (dump, load).
#include <fstream>
#include <iostream>
#include <optional>
#include <string>

#include "sim/core/description.h"
#include "sim/core/host_paths.h"
#include "sim/core/text.h"
#include "tools/command_status.h"
#include "tools/commands.h"
#include "tools/flash_image.h"
#include "tools/flash_inject.h"
#include "tools/flash_inspect.h"

namespace tools {

namespace {

constexpr int kStatusFailed = 1;   // the flash or the host failed
constexpr int kStatusRefused = 2;  // the module or the options cannot be used; nothing was done

int Refuse(const std::string& text) {
  std::cerr << "kalvori flash: " << sim::Printable(text) << "\n";
  return kStatusRefused;
}

int Fail(const std::string& text) {
  std::cerr << "kalvori flash: " << sim::Printable(text) << "\n";
  return kStatusFailed;
}

// Runs an inspection; status is set when the module cannot be looked at.
std::optional<FlashInfo> Inspect(const std::string& module, int& status) {
  std::optional<FlashInfo> info;
  status = RunCommand<FlashInspectError>(
      [&] {
        info = InspectFlash(module);
        return 0;
      },
      Refuse, Fail);
  return info;
}

int Info(const std::string& module, bool json) {
  int status = 0;
  std::optional<FlashInfo> info = Inspect(module, status);
  if (!info) return status;
  if (json) {
    std::cout << InfoJson(*info).dump(2) << "\n";
  } else {
    std::cout << InfoText(*info);
  }
  return 0;
}

int Map(const std::string& module, const std::string& svg) {
  int status = 0;
  std::optional<FlashInfo> info = Inspect(module, status);
  if (!info) return status;
  if (!info->nand) return Refuse("the module's flash is NOR: only NAND has a block map");
  std::cout << MapText(*info->nand);
  if (svg.empty()) return 0;
  sim::HostFile file;
  sim::HostError error = sim::OpenUserFile(svg, file);
  if (error == sim::HostError::kNone) error = file.Replace(MapSvg(*info->nand));
  if (error != sim::HostError::kNone) return Fail("cannot write " + svg + ": " + sim::Describe(error));
  std::cout << "picture written to " << sim::Printable(svg) << "\n";
  return 0;
}

int Move(bool dump, const std::string& module, const std::string& file, std::optional<std::uint32_t> chip_select,
         std::optional<std::uint32_t> device) {
  std::optional<FlashDevicePick> pick;
  if (chip_select || device) pick = FlashDevicePick{chip_select.value_or(0), device.value_or(0)};
  return RunCommand<FlashInspectError>(
      [&] {
        FlashImageResult r = dump ? DumpFlash(module, file, pick) : LoadFlash(module, file, pick);
        std::cout << (dump ? "dumped " : "loaded ") << r.bytes << " bytes " << (dump ? "into " : "from ")
                  << sim::Printable(file) << "\n";
        return 0;
      },
      Refuse, Fail);
}

int Inject(const std::string& module, const InjectRequest& request) {
  return RunCommand<FlashInspectError>(
      [&] {
        for (const std::string& line : InjectFaults(module, request)) std::cout << sim::Printable(line) << "\n";
        std::cout << "module.json updated; the next kalvori sim meets the faults\n";
        return 0;
      },
      [](const std::string& text) { return Refuse(text + "; nothing was written"); }, Fail);
}

}  // namespace

void AddFlashCommand(CLI::App& app, int& status) {
  auto* flash = app.add_subcommand("flash", "Look at a module's boot flash through the module's own flash library");
  flash->require_subcommand(1);

  struct Options {
    std::string module;
    std::string svg;
    std::string file;
    std::optional<std::uint32_t> chip_select;
    std::optional<std::uint32_t> device;
    bool json = false;
    InjectRequest inject;
  };
  auto options = std::make_shared<Options>();

  auto* info = flash->add_subcommand(
      "info",
      "Show MODULE's flash: the part and its geometry, the usable size, the tester region, and on NAND the "
      "bad-block table, the map and the spares left; and the blocks' program and erase counts");
  info->add_option("MODULE", options->module, "The module folder (holding module.json)")->required();
  info->add_flag("--json", options->json, "Print the same as one JSON object");
  info->callback([options, &status] { status = Info(options->module, options->json); });

  auto* map = flash->add_subcommand(
      "map", "Show the blocks of MODULE's NAND flash, one character each (good, table, tester region, factory-bad, "
             "grown-bad, spare in use, spare free)");
  map->add_option("MODULE", options->module, "The module folder")->required();
  map->add_option("--svg", options->svg, "Also draw the map as an SVG picture into FILE");
  map->callback([options, &status] { status = Map(options->module, options->svg); });

  for (bool dump : {true, false}) {
    auto* move = flash->add_subcommand(
        dump ? "dump" : "load",
        dump ? "Write MODULE's flash image into FILE: on NAND each page followed by its spare bytes, device after "
               "device (as nanddump writes a device), on NOR the flash as the processor reads it"
             : "Replace MODULE's flash image with FILE, in the layout flash dump writes (its size must match)");
    move->add_option("MODULE", options->module, "The module folder")->required();
    move->add_option("FILE", options->file, dump ? "The file to write" : "The file to read")->required();
    move->add_option("--chip-select", options->chip_select, "NAND: only the device(s) on this chip select (0 or 1)");
    move->add_option("--device", options->device, "NAND: only this device of a pair (0: low byte lane, 1: high)");
    move->callback([options, &status, dump] {
      status = Move(dump, options->module, options->file, options->chip_select, options->device);
    });
  }

  auto* inject = flash->add_subcommand(
      "inject", "Make MODULE's flash fail in its next runs, by adding faults to its module.json (flash.faults)");
  inject->add_option("MODULE", options->module, "The module folder")->required();
  InjectRequest& r = options->inject;
  inject->add_option("--bad-block", r.bad_blocks, "BLOCK goes bad: its programs and erases fail from now on");
  inject->add_option("--program-fail", r.program_fail, "BLOCK[:AFTER]: programs of the block fail (after AFTER more succeed)");
  inject->add_option("--erase-fail", r.erase_fail, "BLOCK[:AFTER]: erases of the block fail (after AFTER more succeed)");
  inject->add_option("--bit-flip", r.bit_flips,
                     "BLOCK[:PAGE[:BITS]]: NAND reads of the block (or one page) show BITS flipped bits in each 256 "
                     "bytes (default 1)");
  inject->add_option("--power-cut", r.power_cut,
                     "N[:OP[:TEAR[:SEED]]]: the power fails during the N-th program, erase or either (OP program, "
                     "erase, any; NOR also write: any bus write) after power-on, leaving it torn (TEAR bits or half)");
  inject->add_flag("--clear", r.clear, "Remove every flash fault first");
  inject->callback([options, &status] { status = Inject(options->module, options->inject); });
}

}  // namespace tools
