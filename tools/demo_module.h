// The demo module that `kalvori sim` runs when it is given no module folder.
#pragma once

#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

namespace tools {

// Writes the demo module into folder (created when missing): module.json, root/ and volumes/.
//
// The module has an internal flash disk (store "DSK0:", mounted at start as \Flash Disk, named by
// the registry's "Folder" value) with an AutoCopy tree and an AutoRun program; a memory card,
// \Storage Card, that the demo script inserts a moment after start and removes later, carrying a
// program and two shortcuts (one with a quoted target and arguments, one to a network share that
// comes up a few seconds after start). Its boot flash carries a tester bundle: a NOR module by
// default, or a NAND module (a 128 MiB chip with 2 KiB pages, the operating system's flash driver
// having signed the shared bad-block map).
enum class DemoFlash { kNor, kNand };
void BuildDemoModule(const std::filesystem::path& folder, DemoFlash flash = DemoFlash::kNor);

// The description that BuildDemoModule writes, for builders that add to it before writing.
nlohmann::json DemoDescription(DemoFlash flash = DemoFlash::kNor);

// The demo's script (sim/env/script.h): the card goes in, later it comes out, then the run ends.
std::string DemoScript();

}  // namespace tools
