// kalvori card check CARD [--module MODULE]: what the launcher will do with a card, and what is wrong
// with it, before it goes into a module.
#include <cstdio>
#include <iostream>
#include <string>

#include "sim/core/description.h"
#include "tools/card_check.h"
#include "tools/commands.h"

namespace tools {

namespace {

constexpr int kStatusProblems = 1;  // the card has problems
constexpr int kStatusRefused = 2;   // the card or module cannot be checked

struct CardArguments {
  std::string card;
  std::string module;
  std::string volume = "Storage Card";
  bool json = false;
};

int Check(const CardArguments& a) {
  CardPlan plan;
  try {
    CardCheckOptions o;
    o.card = a.card;
    if (!a.module.empty()) o.module = a.module;
    o.volume = a.volume;
    plan = CheckCard(o);
  } catch (const CardCheckError& e) {
    std::fprintf(stderr, "kalvori card check: %s\n", e.what());
    return kStatusRefused;
  } catch (const sim::DescriptionError& e) {
    std::fprintf(stderr, "kalvori card check: %s\n", e.what());
    return kStatusRefused;
  }
  if (a.json) {
    std::cout << CardPlanJson(plan).dump(2) << "\n";
  } else {
    std::cout << CardPlanText(plan);
  }
  return plan.problems.empty() ? 0 : kStatusProblems;
}

}  // namespace

void AddCardCommand(CLI::App& app, int& status) {
  auto* card = app.add_subcommand("card", "Check cards before they go into a module");
  card->require_subcommand(1);
  auto a = std::make_shared<CardArguments>();
  auto* check = card->add_subcommand(
      "check",
      "Show what the launcher does with CARD, in order (AutoCopy's copies, AutoRun's starts) and every "
      "problem; exit status 1 when there is one");
  check->add_option("CARD", a->card, "The card: a folder, or a FAT image file")->required();
  check->add_option("--module", a->module, "The module folder whose files the card meets (default: an empty module)");
  check->add_option("--name", a->volume, "The folder the card is mounted as, without \\ (default: Storage Card)");
  check->add_flag("--json", a->json, "Print the plan as JSON: volume, copies, starts, problems, notes");
  check->callback([a, &status] { status = Check(*a); });
}

}  // namespace tools
