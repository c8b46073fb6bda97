// The subcommands of kalvori. Each Add...Command registers one subcommand whose callback runs the
// command and leaves its exit status in status.
#pragma once

#include <CLI/CLI.hpp>

namespace tools {

void AddSimCommand(CLI::App& app, int& status);
void AddBundleCommand(CLI::App& app, int& status);
void AddModuleCommand(CLI::App& app, int& status);
void AddCardCommand(CLI::App& app, int& status);
void AddFlashCommand(CLI::App& app, int& status);

}  // namespace tools
