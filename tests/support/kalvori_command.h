// Running the built kalvori program as a user would, for the command-line tests.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/support/module_fixture.h"

namespace testing_support {

struct CommandRun {
  int status = -1;  // the exit status; -1 when it did not exit normally
  std::string out;
  std::string err;
};

// text in single quotes for the shell.
inline std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

inline std::string ShellQuote(const std::filesystem::path& path) { return ShellQuote(path.string()); }

// The built program as the shell starts it: behind the emulator in a cross build (KALVORI_EMULATOR,
// words separated by spaces), since the build machine cannot run it itself.
inline std::string KalvoriProgram() {
  std::string program;
  std::string emulator = KALVORI_EMULATOR;
  for (std::size_t at = 0; at < emulator.size();) {
    std::size_t end = emulator.find(' ', at);
    if (end == std::string::npos) end = emulator.size();
    if (end > at) program += ShellQuote(emulator.substr(at, end - at)) + " ";
    at = end + 1;
  }
  return program + ShellQuote(std::string(KALVORI_KALVORI_BIN));
}

// Runs kalvori with the arguments (as the shell reads them) and empty standard input; its output
// passes through files in scratch.
inline CommandRun RunKalvori(const std::string& arguments, const std::filesystem::path& scratch) {
  std::filesystem::path out = scratch / "kalvori-stdout.txt", err = scratch / "kalvori-stderr.txt";
  std::string command =
      KalvoriProgram() + " " + arguments + " </dev/null >" + ShellQuote(out) + " 2>" + ShellQuote(err);
  int raw = std::system(command.c_str());
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFile(out), ReadFile(err)};
}

}  // namespace testing_support
