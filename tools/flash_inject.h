// kalvori flash inject: puts faults into a module's module.json for the user, in the configuration
// reader's own vocabulary (flash.faults: program_fail, erase_fail, bit_flips, power_cut), so that the
// next run meets them. Only the "flash" member's value is rewritten (on one line); every other field
// and every comment outside it stay as they were. The result must pass the configuration reader
// before it replaces the file; otherwise nothing is written.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tools {

struct InjectRequest {
  std::vector<std::string> bad_blocks;    // BLOCK: every program and erase of the block fails from now on
  std::vector<std::string> program_fail;  // BLOCK[:AFTER]
  std::vector<std::string> erase_fail;    // BLOCK[:AFTER]
  std::vector<std::string> bit_flips;     // BLOCK[:PAGE[:BITS]] (NAND)
  std::optional<std::string> power_cut;   // N[:OP[:TEAR[:SEED]]]
  bool clear = false;                     // remove every flash fault first
};

// Edits module.json in the module folder and returns a line for each change. Throws
// FlashInspectError (tools/flash_inspect.h) when the request or the file cannot be used, and
// sim::DescriptionError when the result would not pass the reader; nothing is written then.
std::vector<std::string> InjectFaults(const std::filesystem::path& module_folder, const InjectRequest& request);

// The text's top-level member `name` of the JSON object (comments allowed): where its value starts and
// ends; nothing when there is no such member.
std::optional<std::pair<std::size_t, std::size_t>> FindTopLevelValue(const std::string& text, const std::string& name);

}  // namespace tools
