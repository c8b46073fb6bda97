#include "sim/hw/board.h"

#include <stdexcept>

#include "sim/core/text.h"
#include "sim/hw/gpio.h"
#include "sim/hw/nand_controller.h"
#include "sim/hw/nand_factory.h"
#include "sim/hw/nor_flash.h"
#include "sim/hw/pin_mux.h"

namespace sim {

void Board::AddSlot(std::uint32_t base, std::uint32_t bytes, std::unique_ptr<BusDevice> device) {
  if (!device) throw std::invalid_argument("board: no device to add at " + Hex(base));
  for (const Slot& slot : slots_) {
    if (std::uint64_t{base} < std::uint64_t{slot.base} + slot.bytes &&
        std::uint64_t{slot.base} < std::uint64_t{base} + bytes) {
      throw std::logic_error("board: " + device->Name() + " at " + Hex(base) + " overlaps " + slot.device->Name());
    }
  }
  slots_.push_back({base, bytes, std::move(device)});
}

Board::Slot& Board::SlotAt(std::uint32_t base) {
  for (Slot& slot : slots_) {
    if (slot.base == base) return slot;
  }
  throw std::invalid_argument("board: no device at " + Hex(base) + " to replace");
}

std::unique_ptr<BusDevice> Board::Remove(std::uint32_t base) {
  for (auto it = slots_.begin(); it != slots_.end(); ++it) {
    if (it->base == base) {
      std::unique_ptr<BusDevice> device = std::move(it->device);
      slots_.erase(it);
      return device;
    }
  }
  return nullptr;
}

BusDevice* Board::At(std::uint32_t base) const {
  for (const Slot& slot : slots_) {
    if (slot.base == base) return slot.device.get();
  }
  return nullptr;
}

void Board::AttachTo(Bus& bus) const {
  for (const Slot& slot : slots_) bus.Attach(slot.base, slot.bytes, *slot.device);
}

namespace {

void AddNandFlash(Board& board, const Description& description, const Reporter& report) {
  NandConfig config = ParseNandConfig(description.flash, description.folder);
  // The factory's table is made before the image, so that a table the chip cannot hold leaves no
  // image behind that a later start would take as prepared.
  std::vector<std::uint8_t> table;
  try {
    table = FactoryTableFor(*config.chip, config.factory_bad_blocks);
  } catch (const std::invalid_argument& e) {
    throw DescriptionError(std::string("module description: field 'flash.factory_bad_blocks': ") + e.what());
  }
  std::unique_ptr<NandController> controller;
  try {
    controller = std::make_unique<NandController>(std::move(config), report);
  } catch (const NandImageError& e) {
    throw DescriptionError(std::string("module description: field 'flash.image': ") + e.what());
  }
  if (controller->image().created()) WriteNandTable(*controller, table);
  board.Add(NandController::kBase, NandController::kWindowBytes, std::move(controller));
}

}  // namespace

Board BuildBoard(const Description& description, Clock& clock, const Reporter& report) {
  Board board;
  auto gpio = std::make_unique<GpioModel>(Description::ProductOfMainId(description.cpu_main_id));
  GpioModel::Layout layout = gpio->layout();
  board.Add(GpioModel::kGpioBase, GpioModel::kPageBytes, std::move(gpio));
  if (layout != GpioModel::Layout::kPlain) {
    board.Add(PinMux::kBase, PinMux::kPageBytes, std::make_unique<PinMux>(layout));
  }

  const nlohmann::json& flash = description.flash;
  std::string type = "none";
  if (!flash.is_null()) {
    if (!flash.contains("type") || !flash["type"].is_string()) {
      throw DescriptionError("module description: field 'flash.type': expected \"nor\", \"nand\" or \"none\"");
    }
    type = flash["type"].get<std::string>();
  }
  if (type == "nor") {
    auto nor = std::make_unique<NorFlash>(clock, ParseNorFlashDescription(flash, description.folder));
    std::uint32_t bytes = nor->BusBytes();
    board.Add(NorFlash::kBusBase, bytes, std::move(nor));
  } else if (type == "nand") {
    AddNandFlash(board, description, report);
  } else if (type != "none") {
    throw DescriptionError("module description: field 'flash.type': \"" + type + "\" is not supported");
  }
  return board;
}

}  // namespace sim
