// The command script that drives a simulated module's surroundings: cards going in and out, the
// Shift key, pauses and the end of the run. One command a line:
//
//   mount NAME [HOSTDIR]   a volume is mounted as \NAME (its files: HOSTDIR, default volumes/NAME)
//   unmount NAME           the volume \NAME is removed
//   shift down | shift up  the Shift key is pressed or released
//   wait MS                the following commands happen MS milliseconds later
//   quit                   the run ends (the launcher's queue wait fails)
//
// Names with spaces go in double quotes ("Storage Card"); '#' starts a comment; blank lines are
// ignored.
#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

// A malformed script line. The message starts with "line N: ".
struct ScriptError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct ScriptCommand {
  enum class Kind { kMount, kUnmount, kShiftDown, kShiftUp, kWait, kQuit };
  Kind kind = Kind::kQuit;
  std::u16string name;              // mount, unmount: the folder name without its backslash
  std::filesystem::path host_dir;   // mount: empty for the default volumes/NAME
  std::uint32_t ms = 0;             // wait
  int line = 0;                     // where the command came from (1-based)
};

// Parses one line. Returns false for a blank or comment line; throws ScriptError otherwise.
bool ParseScriptLine(std::string_view text, int line, ScriptCommand& command);
// Parses a whole script; throws ScriptError naming the first bad line.
std::vector<ScriptCommand> ParseScript(std::string_view text);

}  // namespace sim
