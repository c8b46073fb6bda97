// kalvori bundle: packs host files into a module's tester region, lists it and unpacks it.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/core/description.h"
#include "sim/core/text.h"
#include "tester/tester.h"
#include "tools/bundle.h"
#include "tools/command_status.h"
#include "tools/commands.h"

namespace tools {

namespace {

constexpr int kStatusFailed = 1;   // the flash failed, or what it holds is malformed
constexpr int kStatusRefused = 2;  // the input cannot make a bundle; nothing was written
constexpr int kProgressWidth = 30;

// A progress bar on stderr, redrawn in place.
void DrawProgress(std::uint32_t done, std::uint32_t total) {
  int filled = total == 0 ? kProgressWidth : static_cast<int>(std::uint64_t{done} * kProgressWidth / total);
  std::string bar(static_cast<std::size_t>(filled), '#');
  bar.resize(kProgressWidth, '.');
  int percent = total == 0 ? 100 : static_cast<int>(std::uint64_t{done} * 100 / total);
  std::fprintf(stderr, "\rerasing the tester region [%s] %3d%%", bar.c_str(), percent);
  std::fflush(stderr);
}

// Messages and listings carry names from the bundle and the module folder: shown escaped.
void Warn(const std::string& text) { std::cerr << "kalvori bundle: warning: " << sim::Printable(text) << "\n"; }

int Refuse(const std::string& text) {
  std::cerr << "kalvori bundle: " << sim::Printable(text) << "; nothing was written\n";
  return kStatusRefused;
}

int Fail(const std::string& text) {
  std::cerr << "kalvori bundle: " << sim::Printable(text) << "\n";
  return kStatusFailed;
}

int Pack(const std::string& module, const std::vector<std::string>& inputs) {
  std::vector<BundleFile> files;
  std::vector<std::uint8_t> encoded;
  try {
    for (const std::string& input : inputs) files.push_back(LoadBundleInput(input));
    encoded = EncodeBundle(files);
  } catch (const BundleError& e) {
    return Refuse(e.what());
  }
  int status = RunCommand<BundleError>(
      [&] {
        ModuleFlash flash(module);
        for (const std::string& warning : BundleWarnings(files)) Warn(warning);
        bool ok = WriteBundle(flash, encoded, DrawProgress);
        DrawProgress(1, 1);
        std::fputc('\n', stderr);
        if (!ok)
          return Fail("the flash failed while the region was erased or written; the region is left in part");
        return 0;
      },
      Refuse, Fail);
  if (status != 0) return status;
  std::cout << "packed " << files.size() << (files.size() == 1 ? " file" : " files") << " (" << encoded.size()
            << " of " << TESTER_REGION_LENGTH << " bytes) into the tester region of " << module << "\n";
  for (auto it = files.rbegin(); it != files.rend(); ++it) {
    if (IsProgramName(it->name)) {
      std::cout << "the hand-off will launch " << sim::Printable(DeviceNameToUtf8(it->name)) << "\n";
      break;
    }
  }
  return 0;
}

// Reads the bundle; status is set when the module cannot be read.
std::optional<BundleContents> Read(const std::string& module, int& status) {
  std::optional<BundleContents> contents;
  status = RunCommand<BundleError>(
      [&] {
        ModuleFlash flash(module);
        contents = ReadBundle(flash);
        return 0;
      },
      Refuse, Fail);
  return contents;
}

int List(const std::string& module, bool json) {
  int status = 0;
  std::optional<BundleContents> contents = Read(module, status);
  if (!contents) return status;
  std::uint64_t payload = 0;
  for (const BundleRecord& r : contents->records) payload += r.file.payload.size();
  if (json) {
    nlohmann::json records = nlohmann::json::array();
    for (std::size_t i = 0; i < contents->records.size(); ++i) {
      const BundleRecord& r = contents->records[i];
      records.push_back({{"offset", r.offset},
                         {"size", r.file.payload.size()},
                         {"name", DeviceNameToUtf8(r.file.name)},
                         {"launched", contents->program == i}});
    }
    nlohmann::json out = {{"records", records},
                          {"files", contents->records.size()},
                          {"bytes", payload},
                          {"launched", contents->program ? nlohmann::json(DeviceNameToUtf8(
                                                                contents->records[*contents->program].file.name))
                                                          : nlohmann::json(nullptr)},
                          {"problem", contents->problem.empty() ? nlohmann::json(nullptr)
                                                                : nlohmann::json(contents->problem)}};
    std::cout << out.dump(2) << "\n";
    return contents->problem.empty() ? 0 : kStatusFailed;
  }
  if (contents->records.empty() && contents->problem.empty()) {
    std::cout << "the tester region holds no bundle (erased, or served already)\n";
    return 0;
  }
  for (std::size_t i = 0; i < contents->records.size(); ++i) {
    const BundleRecord& r = contents->records[i];
    char line[64];
    std::snprintf(line, sizeof line, "%s %10zu  ", sim::Hex(r.offset).c_str(), r.file.payload.size());
    std::cout << line << sim::Printable(DeviceNameToUtf8(r.file.name)) << (contents->program == i ? "  (launched)" : "")
              << "\n";
  }
  std::cout << contents->records.size() << (contents->records.size() == 1 ? " file, " : " files, ") << payload
            << " bytes\n";
  if (!contents->program) Warn("no file name ends in \".exe\": the hand-off starts nothing");
  if (!contents->problem.empty()) return Fail(contents->problem + "; the hand-off stops there");
  return 0;
}

int Extract(const std::string& module, const std::string& folder) {
  int status = 0;
  std::optional<BundleContents> contents = Read(module, status);
  if (!contents) return status;
  try {
    for (const auto& path : ExtractBundle(*contents, folder)) std::cout << sim::Printable(path.string()) << "\n";
  } catch (const BundleError& e) {
    return Fail(e.what());
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
  if (!contents->problem.empty())
    return Fail(contents->problem + "; the records after it were not extracted");
  return 0;
}

}  // namespace

void AddBundleCommand(CLI::App& app, int& status) {
  auto* bundle = app.add_subcommand("bundle", "Pack, list and unpack the tester bundle in a module's flash");
  bundle->require_subcommand(1);

  struct Options {
    std::string module;
    std::vector<std::string> inputs;
    std::string folder;
    bool json = false;
  };
  auto options = std::make_shared<Options>();

  auto* pack = bundle->add_subcommand(
      "pack",
      "Erase the tester region of MODULE's flash and write FILEs into it as a bundle; each FILE may name "
      "its device path as FILE=DEVICE-NAME (default: \\ and the file's name)");
  pack->add_option("MODULE", options->module, "The module folder (holding module.json)")->required();
  pack->add_option("FILE", options->inputs, "FILE[=DEVICE-NAME]")->required();
  pack->callback([options, &status] { status = Pack(options->module, options->inputs); });

  auto* list = bundle->add_subcommand("list", "List the bundle in MODULE's tester region");
  list->add_option("MODULE", options->module, "The module folder")->required();
  list->add_flag("--json", options->json,
                 "Print the records as JSON: records [{offset, size, name, launched}], files, bytes, launched, "
                 "problem");
  list->callback([options, &status] { status = List(options->module, options->json); });

  auto* extract = bundle->add_subcommand("extract", "Write the files of MODULE's bundle under DIR");
  extract->add_option("MODULE", options->module, "The module folder")->required();
  extract->add_option("DIR", options->folder, "The host folder to write into")->required();
  extract->callback([options, &status] { status = Extract(options->module, options->folder); });
}

}  // namespace tools
