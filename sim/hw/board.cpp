// The module's hardware as its description names it: the processor's GPIO and pin-multiplexing
// registers on every module, and the boot flash (a NOR pair at physical 0, or NAND behind the
// processor's NAND controller).
#include "sim/hw/gpio.h"
#include "sim/module.h"
#include "sim/hw/nand_controller.h"
#include "sim/os/nand_os_driver.h"
#include "sim/hw/nor_flash.h"

namespace sim {

void Module::AttachHardware() {
  AddDevice(std::make_unique<GpioModel>(Description::ProductOfMainId(description_.cpu_main_id))).AttachTo(bus_);

  const nlohmann::json& flash = description_.flash;
  std::string type = "none";
  if (!flash.is_null()) {
    if (!flash.contains("type") || !flash["type"].is_string()) {
      throw DescriptionError("module description: field 'flash.type': expected \"nor\", \"nand\" or \"none\"");
    }
    type = flash["type"].get<std::string>();
  }
  if (type == "none") return;
  if (type == "nor") {
    AddDevice(std::make_unique<NorFlash>(clock_, ParseNorFlashDescription(flash, description_.folder))).AttachTo(bus_);
    return;
  }
  if (type == "nand") {
    // The model creates a missing image; the factory's table and "os_driver" are sim/nand_os_driver.h's.
    bool new_image = NandImageIsNew(flash, description_.folder);
    AttachNandFlash(*this, flash);
    PrepareNandFlash(*this, flash, new_image);
    return;
  }
  // TEMPORARY until the flash models land.
  throw DescriptionError("module description: field 'flash.type': \"" + type + "\" is not supported");
}

}  // namespace sim
