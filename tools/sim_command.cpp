#include "tools/commands.h"

namespace tools {

void AddSimCommand(CLI::App& app, int& status) {
  auto* sim = app.add_subcommand("sim", "Run the launcher on a simulated module");
  sim->callback([&status] { status = 1; });
}

}  // namespace tools
