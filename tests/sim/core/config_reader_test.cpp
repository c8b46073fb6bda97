// The one reader of module.json: the flash object into the models' typed configuration, the fault
// vocabulary both flash models share, and mistakes refused before power-on with the field named.
#include "sim/core/config_reader.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/module_fixture.h"

namespace {

using nlohmann::json;

// The message a flash object is refused with, or "accepted".
std::string Refusal(const json& flash) {
  try {
    sim::ReadFlashConfig(flash, "/modules/m");
  } catch (const sim::DescriptionError& e) {
    return e.what();
  }
  return "accepted";
}

sim::FlashConfig Read(const char* flash) { return sim::ReadFlashConfig(json::parse(flash), "/modules/m"); }

TEST(ConfigReader, TheFlashObjectBecomesTheModelsConfiguration) {
  EXPECT_EQ(Read("null").type, sim::FlashConfig::Type::kNone);
  EXPECT_EQ(Read(R"({"type": "none"})").type, sim::FlashConfig::Type::kNone);

  sim::FlashConfig nor = Read(R"({"type": "nor", "image": "flash.img", "device_code": "0x881B", "size_code": 24})");
  ASSERT_EQ(nor.type, sim::FlashConfig::Type::kNor);
  EXPECT_EQ(nor.nor.image, "/modules/m/flash.img");
  EXPECT_EQ(nor.nor.device_code, 0x881B);
  EXPECT_EQ(nor.nor.size_code, 24);
  EXPECT_EQ(Read(R"({"type": "nor"})").nor.image, "") << "no image: the cells live in memory";

  sim::FlashConfig nand = Read(R"({"type": "nand", "chip": "0x75EC", "image": "/abs/nand.img", "os_driver": true,
                                   "factory_bad_blocks": [57, {"chip_select": 0, "device": 1, "block": 9}],
                                   "busy_status_reads": 0, "clock_mhz": 104})");
  ASSERT_EQ(nand.type, sim::FlashConfig::Type::kNand);
  ASSERT_NE(nand.nand.chip, nullptr);
  EXPECT_EQ(nand.nand.chip->id, 0x75EC);
  EXPECT_EQ(nand.nand.image, "/abs/nand.img");
  EXPECT_TRUE(nand.os_driver);
  ASSERT_EQ(nand.nand.factory_bad_blocks.size(), 3u) << "a pair's block is both devices' block";
  EXPECT_EQ(nand.nand.factory_bad_blocks[1].device, 1u);
  EXPECT_EQ(nand.nand.factory_bad_blocks[2].block, 9u);
  EXPECT_EQ(nand.nand.busy_status_reads, 0u);
  EXPECT_EQ(nand.nand.clock_mhz, 104u);
}

TEST(ConfigReader, BothFlashModelsNameFailingBlocksAlike) {
  // NOR, 0x8922 at size code 25: four 64 KiB parameter blocks on the bus, then 256 KiB blocks.
  sim::NorFlashFaults nor = Read(R"({"type": "nor", "faults": {
      "program_fail": [2, {"block": 5, "after": 3}, {"offset": "0x13C0000", "after": 1}],
      "erase_fail": [{"offset": 70000}]}})").nor.faults;
  ASSERT_EQ(nor.program_fail.size(), 3u);
  EXPECT_EQ(nor.program_fail[0].offset, 0x20000u);
  EXPECT_EQ(nor.program_fail[0].after, 0u);
  EXPECT_EQ(nor.program_fail[1].offset, 0x80000u);
  EXPECT_EQ(nor.program_fail[1].after, 3u);
  EXPECT_EQ(nor.program_fail[2].offset, 0x13C0000u);
  EXPECT_EQ(nor.program_fail[2].after, 1u);
  ASSERT_EQ(nor.erase_fail.size(), 1u);
  EXPECT_EQ(nor.erase_fail[0].offset, 70000u);

  // NAND, 0xF1EC: 1024 blocks of 128 KiB.
  sim::NandFaultPlan nand = Read(R"({"type": "nand", "chip": "0xF1EC", "faults": {
      "program_fail": [2, {"block": 5, "after": 3}, {"offset": "0x13C0000", "after": 1}],
      "erase_fail": [{"offset": 70000}]}})").nand.faults;
  ASSERT_EQ(nand.program_fail.size(), 3u);
  EXPECT_EQ(nand.program_fail[0].block.block, 2u);
  EXPECT_EQ(nand.program_fail[1].block.block, 5u);
  EXPECT_EQ(nand.program_fail[1].after, 3u);
  EXPECT_EQ(nand.program_fail[2].block.block, 0x13C0000u / 0x20000u);
  EXPECT_EQ(nand.program_fail[2].after, 1u);
  ASSERT_EQ(nand.erase_fail.size(), 1u);
  EXPECT_EQ(nand.erase_fail[0].block.block, 0u);
}

TEST(ConfigReader, BothFlashModelsReadAPowerCutAlike) {
  sim::NorFlashFaults nor =
      Read(R"({"type": "nor", "faults": {"power_cut": {"at": 3, "op": "write", "tear": "half", "seed": 9}}})").nor.faults;
  ASSERT_TRUE(nor.power_cut.has_value());
  EXPECT_EQ(nor.power_cut->at, 3u);
  EXPECT_EQ(nor.power_cut->op, sim::NorFlashFaults::PowerCutAt::Op::kWrite);
  EXPECT_EQ(nor.power_cut->tear.shape, sim::TearShape::kHalf);
  EXPECT_EQ(nor.power_cut->tear.seed, 9u);
  EXPECT_EQ(Read(R"({"type": "nor", "faults": {"power_cut": {"at": 1}}})").nor.faults.power_cut->op,
            sim::NorFlashFaults::PowerCutAt::Op::kAny);

  sim::NandFaultPlan nand =
      Read(R"({"type": "nand", "chip": "0xF1EC", "faults": {"power_cut": {"at": 5, "op": "erase"}}})").nand.faults;
  ASSERT_TRUE(nand.power_cut.has_value());
  EXPECT_EQ(nand.power_cut->at, 5u);
  EXPECT_EQ(nand.power_cut->op, sim::NandOperation::kErase);
  EXPECT_EQ(Read(R"({"type": "nand", "chip": "0xF1EC", "faults": {"power_cut": {"at": 1, "op": "any"}}})")
                .nand.faults.power_cut->op,
            sim::NandOperation::kAny);
}

TEST(ConfigReader, TheOlderNorSpellingsStillMeanFlashOffsets) {
  sim::NorFlashFaults faults = Read(R"({"type": "nor", "faults": {"program_fails": ["0x13C0000"],
      "erase_fails": ["0x13C0000", 4], "program_fail": [{"offset": 8, "after": 2}]}})").nor.faults;
  ASSERT_EQ(faults.program_fail.size(), 2u);
  EXPECT_EQ(faults.program_fail[0].offset, 8u);
  EXPECT_EQ(faults.program_fail[0].after, 2u);
  EXPECT_EQ(faults.program_fail[1].offset, 0x13C0000u);
  EXPECT_EQ(faults.program_fail[1].after, 0u);
  ASSERT_EQ(faults.erase_fail.size(), 2u);
  EXPECT_EQ(faults.erase_fail[1].offset, 4u) << "an offset, not block 4";
}

TEST(ConfigReader, MistakesNameTheirFieldInOneForm) {
  struct Case {
    json flash;
    std::string message;
  };
  const Case cases[] = {
      {json::array(), "field 'flash': expected an object"},
      {{{"type", 1}}, "field 'flash.type': expected \"nor\", \"nand\" or \"none\""},
      {{{"type", "disk"}}, "field 'flash.type': \"disk\" is not supported"},
      {{{"type", "nor"}, {"sise_code", 25}},
       "field 'flash.sise_code': unknown field (known: type, image, device_code, size_code, faults, comment)"},
      {{{"type", "nand"}, {"chip", "0xF1EC"}, {"image", ""}},
       "field 'flash.image': expected the name of the image file, such as \"flash.img\""},
      {{{"type", "nor"}, {"image", 3}}, "field 'flash.image': expected the name of the image file"},
      {{{"type", "nor"}, {"faults", {{"program_fail", {300}}}}},
       "field 'flash.faults.program_fail[0]': block 300 beyond the flash's 259 blocks"},
      {{{"type", "nand"}, {"chip", "0xF1EC"}, {"faults", {{"erase_fail", {1024}}}}},
       "field 'flash.faults.erase_fail[0]': block 1024 beyond the flash's 1024 blocks"},
      {{{"type", "nor"}, {"faults", {{"erase_fail", {{{"offset", "0x4000000"}}}}}}},
       "field 'flash.faults.erase_fail[0].offset': beyond the flash's 0x04000000 bytes"},
      {{{"type", "nand"}, {"chip", "0xF1EC"}, {"faults", {{"erase_fail", {{{"offset", "0x8000000"}}}}}}},
       "field 'flash.faults.erase_fail[0].offset': beyond the flash's 0x08000000 bytes"},
      {{{"type", "nor"}, {"faults", {{"erase_fails", {"0x8000000"}}}}},
       "field 'flash.faults.erase_fails[0]': beyond the flash's 0x04000000 bytes"},
      {{{"type", "nor"}, {"faults", {{"program_fail", {{{"block", 1}, {"offset", 0}}}}}}},
       "field 'flash.faults.program_fail[0]': give either \"block\" or \"offset\""},
      {{{"type", "nand"}, {"chip", "0xF1EC"}, {"faults", {{"program_fail", {{{"after", 1}}}}}}},
       "field 'flash.faults.program_fail[0]': give either \"block\" or \"offset\""},
      {{{"type", "nor"}, {"faults", {{"program_fail", {{{"block", 1}, {"chip_select", 0}}}}}}},
       "field 'flash.faults.program_fail[0].chip_select': unknown field (known: block, offset, after)"},
      {{{"type", "nor"}, {"faults", {{"program_fail", {{{"block", 1}, {"after", -1}}}}}}},
       "field 'flash.faults.program_fail[0].after': out of range"},
      {{{"type", "nor"}, {"faults", {{"stays_lockd", {0}}}}}, "field 'flash.faults.stays_lockd': unknown field"},
      {{{"type", "nand"}, {"chip", "0xF1EC"}, {"faults", {{"program_fails", {1}}}}},
       "field 'flash.faults.program_fails': unknown field"},
      {{{"type", "nand"}, {"chip", "0xF1EC"}, {"os_driver", "yes"}}, "field 'flash.os_driver': expected true or false"},
      {{{"type", "nand"}, {"chip", "0x1234"}}, "field 'flash.chip': 0x00001234 is not a modelled chip"},
      {{{"type", "nor"}, {"faults", {{"power_cut", {{"at", 1}, {"op", "read"}}}}}},
       "field 'flash.faults.power_cut.op': expected \"program\", \"erase\", \"any\" or \"write\""},
      {{{"type", "nand"}, {"chip", "0xF1EC"}, {"faults", {{"power_cut", {{"at", 1}, {"op", "write"}}}}}},
       "field 'flash.faults.power_cut.op': expected \"program\", \"erase\" or \"any\""},
      {{{"type", "nand"}, {"chip", "0xF1EC"}, {"faults", {{"power_cut", {{"op", "erase"}}}}}},
       "field 'flash.faults.power_cut.at': missing"},
      {{{"type", "nor"}, {"faults", {{"power_cut", {{"at", 0}}}}}}, "field 'flash.faults.power_cut.at': must lie in 1 to 4294967295"},
      {{{"type", "nor"}, {"faults", {{"power_cut", {{"at", 2}, {"tear", "all"}}}}}},
       "field 'flash.faults.power_cut.tear': expected \"bits\" or \"half\""},
  };
  for (const Case& c : cases) {
    std::string refusal = Refusal(c.flash);
    EXPECT_EQ(refusal.rfind("module description: " + c.message, 0), 0u) << c.flash.dump() << "\n" << refusal;
  }
}

// A bad flash object stops the description before power-on: nothing is created for the flash.
TEST(ConfigReader, ABadFlashObjectFailsBeforeAnyImageIsMade) {
  testing_support::TempFolder folder;
  std::filesystem::create_directories(folder.path() / "root");
  for (const char* flash : {R"({"type": "nand", "chip": "0xF1EC", "image": "f.img", "os_driver": "yes"})",
                            R"({"type": "nor", "image": "f.img", "faults": {"erase_fails": ["0x8000000"]}})",
                            R"({"type": "nor", "image": "f.img", "size_code": 30})"}) {
    testing_support::WriteFile(folder.path() / "module.json",
                               std::string(R"({"cpu_product": 17, "flash": )") + flash + "}");
    EXPECT_THROW(sim::LoadDescription(folder.path()), sim::DescriptionError) << flash;
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "f.img")) << flash;
  }
}

}  // namespace

namespace {

std::string TextRefusal(const std::string& text) {
  try {
    sim::ParseDescription(sim::ReadDescriptionText(text), "/modules/m");
  } catch (const sim::DescriptionError& e) {
    return e.what();
  }
  return "accepted";
}

TEST(ConfigReader, TheTextIsRefusedWhereTheLibraryWouldPassItOrNotSayWhere) {
  struct Case {
    std::string text;
    std::string message;
  };
  for (const Case& c : std::vector<Case>{
           // A key given twice keeps one value silently in the library; here it is refused, at any depth.
           {R"({"cpu_product": 17, "cpu_product": 5})", "field 'cpu_product': given twice"},
           {R"({"cpu_product": 17, "flash": {"type": "nor", "faults": {"erase_fail": [1], "erase_fail": [2]}}})",
            "field 'flash.faults.erase_fail': given twice"},
           {R"({"cpu_product": 17, "volumes": [{"name": "A"}, {"name": "B", "name": "C"}]})",
            "field 'volumes[1].name': given twice"},
           // A number no field could hold names its field and where it stands.
           {"{\"cpu_product\":\n  1e400}", "field 'cpu_product': 1e400 is out of range of every number (line 2, column 3)"},
           {R"({"cpu_product": 17, "network_shares": [{"path": "\\N", "unavailable_ms": -1e999}]})",
            "field 'network_shares[0].unavailable_ms': -1e999 is out of range"},
           {"1e400", "field '(top level)': 1e400"},
           // Text that is no JSON says where.
           {"{\"cpu_product\": 17,\n \"shift\": tru}", "not valid JSON at line 2, column "},
           // The flash must be the kind the processor's flash library looks for.
           {R"({"cpu_product": 17, "flash": {"type": "nand", "chip": "0xF1EC"}})",
            "field 'flash.type': \"nand\" does not match the processor: cpu_product 17"},
           {R"({"cpu_product": 5, "flash": {"type": "nor"}})",
            "field 'flash.type': \"nor\" does not match the processor: cpu_product is 5"},
           {R"({"cpu_main_id": "0x69054150", "flash": {"type": "nor"}})", "cpu_product is 21 (bits 9..4 of cpu_main_id)"},
           {R"({"cpu_product": 5, "boot_config": {"item12": "0x00800000"}})",
            "field 'boot_config.item12': bit 23 asks for the tester hand-off"},
       }) {
    std::string refusal = TextRefusal(c.text);
    EXPECT_NE(refusal.find(c.message), std::string::npos) << c.text << "\n" << refusal;
    EXPECT_EQ(refusal.rfind("module description: ", 0), 0u) << refusal;
  }
  // What is right still reads, comments and all; a flag without bit 23 needs no flash.
  EXPECT_EQ(TextRefusal("// a module\n{\"cpu_product\": 17, /* NOR */ \"flash\": {\"type\": \"nor\"}}"), "accepted");
  EXPECT_EQ(TextRefusal(R"({"cpu_product": 5, "boot_config": {"item12": 1}, "flash": {"type": "none"}})"), "accepted");
}

}  // namespace
