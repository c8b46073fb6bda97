// kalvori sim [MODULE]: the launcher on a simulated module. The launcher's debug output goes to
// stdout exactly as the module prints it, the simulator's own reports to stderr marked "[sim] ", and
// a short summary of what happened follows the debug output.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>

#include "launcher/launcher.h"
#include "sim/core/description.h"
#include "sim/module.h"
#include "sim/os/processes.h"
#include "sim/env/script.h"
#include "sim/services.h"
#include "sim/core/text.h"
#include "tools/commands.h"
#include "tools/demo_module.h"

namespace tools {

namespace {

namespace fs = std::filesystem;

struct SimOptions {
  std::string module;
  std::string script;
  bool watch = false;
  bool run_programs = false;
  bool virtual_time = false;
  bool keep_demo = false;
  std::string demo_flash = "nor";
  std::vector<std::string> allow_outside;
};

// Bad input: the message is printed and the command exits with 2.
struct InputError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A temporary folder for the demo module, removed unless it is to be kept.
class DemoFolder {
 public:
  explicit DemoFolder(bool keep) : keep_(keep) {
    std::string pattern = (fs::temp_directory_path() / "kalvori-demo-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder for the demo module");
    path_ = pattern;
  }
  ~DemoFolder() {
    std::error_code ignored;
    if (!keep_) fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
  bool keep_;
};

std::vector<sim::ScriptCommand> LoadScript(const std::string& file, const sim::Description& d) {
  // A folder opens as a stream that reads nothing: it would pass for an empty script.
  std::error_code ec;
  if (fs::is_directory(file, ec)) throw InputError("the script " + file + " is a folder, not a file of commands");
  std::ifstream in(file, std::ios::binary);
  if (!in) throw InputError("cannot read the script " + file);
  std::stringstream text;
  text << in.rdbuf();
  if (in.bad()) throw InputError("cannot read the script " + file);
  std::vector<sim::ScriptCommand> commands;
  try {
    commands = sim::ParseScript(text.str());
  } catch (const sim::ScriptError& e) {
    throw InputError(file + ": " + e.what());
  }
  const sim::HostPaths paths(d.folder, d.allowed_outside);
  for (const sim::ScriptCommand& c : commands) {
    if (c.kind != sim::ScriptCommand::Kind::kMount) continue;
    fs::path dir = sim::MountFolder(d, c);
    sim::HostEntry folder = paths.Open(dir, sim::EntryKind::kFolder);
    // A file there is a FAT image, whose contents the mount itself checks.
    if (folder.error == sim::HostError::kNotFolder) folder = paths.Open(dir, sim::EntryKind::kFile, O_RDONLY);
    if (!folder) {
      sim::HostPaths::Place place;
      paths.Locate(dir, place);
      throw InputError(file + ": line " + std::to_string(c.line) + ": mount: " +
                       (folder.error == sim::HostError::kNotFound ? "no folder or FAT image " + place.shown.string()
                                                                  : paths.Explain(dir, folder.error)));
    }
  }
  return commands;
}

// The folders the launcher served, in order of first service, with how often: each service looks
// for the folder's AutoRun programs once.
std::vector<std::pair<std::u16string, int>> ServedFolders(const sim::Activity& activity) {
  const std::u16string suffix = u"\\AutoRun\\*.exe";
  std::vector<std::pair<std::u16string, int>> served;
  for (const std::u16string& pattern : activity.searches) {
    if (pattern.size() < suffix.size() ||
        !sim::EqualIgnoringCase(std::u16string_view(pattern).substr(pattern.size() - suffix.size()), suffix)) {
      continue;
    }
    std::u16string folder = pattern.substr(0, pattern.size() - suffix.size());
    auto it = std::find_if(served.begin(), served.end(), [&](const auto& s) { return s.first == folder; });
    if (it == served.end()) {
      served.emplace_back(folder, 1);
    } else {
      ++it->second;
    }
  }
  return served;
}

void PrintSummary(sim::Module& module) {
  sim::Services& os = module.os();
  auto served = ServedFolders(os.activity);
  int serves = 0;
  std::string list;
  for (const auto& [folder, count] : served) {
    serves += count;
    list += (list.empty() ? "" : ", ") + sim::Printable(folder) + (count > 1 ? " x" + std::to_string(count) : "");
  }
  const auto& launches = os.processes.launches();
  std::printf("\n--- kalvori sim: summary ---\n");
  std::printf("notifications:    %u\n", os.notifications.delivered());
  std::printf("folders served:   %d%s\n", serves, list.empty() ? "" : ("  (" + list + ")").c_str());
  std::printf("files copied:     %u\n", os.activity.files_copied);
  std::printf("folders created:  %u\n", os.activity.directories_created);
  std::printf("programs started: %zu\n", launches.size());
  for (const sim::Launch& l : launches) {
    std::string line = sim::Printable(l.image);
    if (!l.command_line.empty()) line += " " + sim::Printable(l.command_line);
    std::printf("  %6.3f s  %s\n", static_cast<double>(l.time_ms) / 1000.0, line.c_str());
  }
  std::fflush(stdout);
}

// The message names what is wrong, often with words of the input: shown escaped.
int Complain(const std::exception& e, int status) {
  std::fprintf(stderr, "kalvori sim: %s\n", sim::Printable(std::string_view(e.what())).c_str());
  return status;
}

int RunSim(const SimOptions& o) {
  std::optional<DemoFolder> demo;
  fs::path folder = o.module;
  if (o.module.empty()) {
    demo.emplace(o.keep_demo);
    folder = demo->path();
    BuildDemoModule(folder, o.demo_flash == "nand" ? DemoFlash::kNand : DemoFlash::kNor);
    std::fprintf(stderr, "[sim] the demo module is in %s%s\n", folder.c_str(), o.keep_demo ? "" : " (removed at the end)");
  }
  sim::Description description = sim::LoadDescription(folder);
  for (const std::string& allowed : o.allow_outside) description.allowed_outside.emplace_back(allowed);

  std::optional<std::vector<sim::ScriptCommand>> script;
  if (!o.script.empty()) {
    script = LoadScript(o.script, description);
  } else if (demo) {
    script = sim::ParseScript(DemoScript());
  }

  sim::ModuleOptions options;
  options.clock = o.virtual_time ? sim::Clock::Kind::kVirtual : sim::Clock::Kind::kReal;
  options.echo_debug = true;
  options.echo_reports = true;
  sim::Module module(std::move(description), options);
  sim::Services& os = module.os();
  os.processes.set_run_host_programs(o.run_programs);
  if (script) {
    os.events.RunScript(*script);
  } else {
    if (::isatty(0)) {
      std::fprintf(stderr,
                   "[sim] commands from standard input: mount NAME [HOSTDIR], unmount NAME, shift down|up, wait MS, "
                   "quit (or end of input)\n");
    }
    os.events.ReadCommands(0);
  }
  if (o.watch) {
    std::string problem = os.events.WatchVolumes();
    if (!problem.empty()) throw InputError(problem);
  }
  os.events.CatchSignals();

  WatchMounts(0, 0, 0, 0);

  PrintSummary(module);
  return 0;
}

}  // namespace

void AddSimCommand(CLI::App& app, int& status) {
  auto options = std::make_shared<SimOptions>();
  auto* sim = app.add_subcommand("sim", "Run the launcher on a simulated module (a demo module when none is given)");
  sim->add_option("MODULE", options->module, "Module folder: module.json, root/ and volumes/");
  sim->add_option("--script", options->script,
                  "Command script (mount, unmount, shift, wait, quit); default: standard input, or the "
                  "demo's own script");
  sim->add_flag("--watch", options->watch, "Watch the volumes folder: a new sub-folder is mounted, a removed one unmounted");
  sim->add_flag("--run-programs", options->run_programs, "Also run started programs on the host (off: only recorded)");
  sim->add_flag("--virtual-time", options->virtual_time, "Run on a virtual clock: pauses and waits take no real time");
  sim->add_flag("--keep-demo", options->keep_demo, "Keep the demo module's temporary folder");
  sim->add_option("--allow-outside", options->allow_outside,
                  "A folder outside the module folder that its volumes and mount commands may name (repeatable)")
      ->check(CLI::ExistingDirectory)
      ->allow_extra_args(false);
  sim->add_option("--demo-flash", options->demo_flash, "The demo module's boot flash: nor (default) or nand")
      ->check(CLI::IsMember({"nor", "nand"}));
  sim->callback([options, &status] {
    try {
      status = RunSim(*options);
    } catch (const sim::DescriptionError& e) {
      status = Complain(e, 2);
    } catch (const InputError& e) {
      status = Complain(e, 2);
    } catch (const std::exception& e) {
      status = Complain(e, 1);
    }
  });
}

}  // namespace tools
