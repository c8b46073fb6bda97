// kalvori: the launcher on a simulated module, and the tools that reach a module's flash.
#include <CLI/CLI.hpp>

#include "tools/commands.h"

int main(int argc, char** argv) {
  CLI::App app{"kalvori: the start-up launcher on a simulated module, and tools for module flash images"};
  app.set_version_flag("--version", std::string("kalvori ") + KALVORI_VERSION);
  app.require_subcommand(1);
  int status = 0;
  tools::AddSimCommand(app, status);
  tools::AddBundleCommand(app, status);
  tools::AddModuleCommand(app, status);
  tools::AddCardCommand(app, status);
  tools::AddFlashCommand(app, status);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }
  return status;
}
