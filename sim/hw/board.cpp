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

// An image that does not fit the description, as the description's mistake: the field that
// disagrees with the image, or the image itself.
[[noreturn]] void ImageFieldError(const ImageError& e) {
  if (e.key == "device_code" || e.key == "size_code" || e.key == "chip") {
    FieldError("flash." + e.key, e.what());
  }
  FieldError("flash.image", e.what());
}

void AddNandFlash(Board& board, const NandConfig& config, const Reporter& report, HostFile image) {
  // The factory's table is made before the image, so that a table the chip cannot hold leaves no
  // image behind that a later start would take as prepared.
  std::vector<std::uint8_t> table;
  try {
    table = FactoryTableFor(*config.chip, config.factory_bad_blocks);
  } catch (const std::invalid_argument& e) {
    FieldError("flash.factory_bad_blocks", e.what());
  }
  std::unique_ptr<NandController> controller;
  try {
    controller = std::make_unique<NandController>(config, report, std::move(image));
  } catch (const ImageError& e) {
    ImageFieldError(e);
  }
  if (controller->image().created()) WriteNandTable(*controller, table);
  board.Add(NandController::kBase, NandController::kWindowBytes, std::move(controller));
}

}  // namespace

Board BuildBoard(const Description& description, Clock& clock, const Reporter& report, HostFile image) {
  if (!description.flash.image().empty() && !image.folder.valid()) {
    throw std::logic_error("board: the flash image " + description.flash.image().string() +
                           " was not settled in its folder");
  }
  Board board;
  auto gpio = std::make_unique<GpioModel>(Description::ProductOfMainId(description.cpu_main_id));
  GpioModel::Layout layout = gpio->layout();
  board.Add(GpioModel::kGpioBase, GpioModel::kPageBytes, std::move(gpio));
  if (layout != GpioModel::Layout::kPlain) {
    board.Add(PinMux::kBase, PinMux::kPageBytes, std::make_unique<PinMux>(layout));
  }

  switch (description.flash.type) {
    case FlashConfig::Type::kNone:
      break;
    case FlashConfig::Type::kNor: {
      std::unique_ptr<NorFlash> nor;
      try {
        nor = std::make_unique<NorFlash>(clock, description.flash.nor, std::move(image));
      } catch (const ImageError& e) {
        ImageFieldError(e);
      }
      std::uint32_t bytes = nor->BusBytes();
      board.Add(NorFlash::kBusBase, bytes, std::move(nor));
      break;
    }
    case FlashConfig::Type::kNand:
      AddNandFlash(board, description.flash.nand, report, std::move(image));
      break;
  }
  return board;
}

}  // namespace sim
