// kalvori card check: what the launcher will do with a card, told before the card goes in.
//
// The card is mounted on a simulated module (the given module's files, or an empty one) and walked
// by the launcher's own AutoCopy and AutoRun walks (launcher/launcher.h: WalkAutoCopy,
// WalkAutoRun) with a visitor that records instead of acting: the same enumeration order, path
// limits, shortcut reading and command splitting. Nothing is copied or started, and neither the card
// nor the module changes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace tools {

// The card or the module cannot be checked (missing, malformed). Exit status 2.
struct CardCheckError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct CardCopy {
  enum class Outcome {
    kNew,          // a file the module does not have yet
    kOverwrites,   // replaces the module's file
    kReadOnly,     // the module's file is read-only: the copy fails and it stays
    kBlocked,      // cannot be written: a folder of that name, or no folder to hold it
    kFolderNew,    // a folder created
    kFolderExists, // a folder the module has already
  };
  Outcome outcome;
  std::string source;       // device paths, UTF-8
  std::string destination;
};

struct CardStart {
  enum class Outcome {
    kStarts,       // the program is there (or AutoCopy puts it there first)
    kMissing,      // "ERROR: Cannot Access ... (Error n)"
    kNotProgram,   // a folder: "ERROR: Failed Launching ..."
    kNetwork,      // on a network share that is not up at start: waited for up to three seconds
    kUnknown,      // not on the card, and no module was given to look it up in
  };
  Outcome outcome;
  std::string entry;         // the AutoRun entry: the program or the shortcut
  std::string program;
  std::string arguments;     // empty: none
  std::uint32_t error = 0;   // kMissing: the error the launcher reports
  std::string CommandLine() const { return arguments.empty() ? program : program + " " + arguments; }
};

struct CardPlan {
  std::string volume;                  // "\Storage Card"
  std::vector<CardCopy> copies;        // in the order AutoCopy meets them
  std::vector<CardStart> starts;       // programs first, then shortcuts, in order
  std::vector<std::string> problems;   // each makes the check fail
  std::vector<std::string> notes;      // worth knowing, not wrong
};

struct CardCheckOptions {
  std::filesystem::path card;                  // the card's folder, or a FAT image file
  std::optional<std::filesystem::path> module; // the module folder to check against
  std::string volume = "Storage Card";        // mounted as \NAME
};

CardPlan CheckCard(const CardCheckOptions& options);

std::string CardPlanText(const CardPlan& plan);
nlohmann::json CardPlanJson(const CardPlan& plan);
const char* CopyOutcomeName(CardCopy::Outcome outcome);
const char* StartOutcomeName(CardStart::Outcome outcome);

}  // namespace tools
