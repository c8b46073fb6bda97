// The module's hardware as a short list of bus devices at their physical bases. One function,
// BuildBoard, makes the board a module description names:
//
//   device             base         window          on
//   GPIO block         0x40E00000   4 KiB           every module (GpioModel, in its processor's layout)
//   pin-mux page       0x40E10000   4 KiB           processors with the pin-mux layout (PinMux)
//   NOR pair           0            2 * 2^size_code "flash": {"type": "nor"} (NorFlash)
//   NAND controller    0x43100000   4 KiB           "flash": {"type": "nand"} (NandController); a new
//                                                   image gets the factory's bad-block table first
//
// sim::Module builds the board at power-on and puts every device on its bus. Before that, a test may
// change the board (sim::Module's board fitter): replace a model by a device of its own (a second NOR
// model for a differential test, a register file that records, a model with other timing), add one,
// or take one away. The board owns its devices; a device stays where it is for the module's life.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/core/bus.h"
#include "sim/core/clock.h"
#include "sim/core/description.h"
#include "sim/core/host_paths.h"

namespace sim {

// Where a model sends a line for the module's reports.
using Reporter = std::function<void(const std::string&)>;

class Board {
 public:
  struct Slot {
    std::uint32_t base;   // physical
    std::uint32_t bytes;  // the device answers [base, base + bytes)
    std::unique_ptr<BusDevice> device;
  };

  Board() = default;
  Board(Board&&) = default;
  Board& operator=(Board&&) = default;

  // Adds a device answering [base, base + bytes). Windows may not overlap (std::logic_error, as the
  // bus refuses them).
  template <class T>
  T& Add(std::uint32_t base, std::uint32_t bytes, std::unique_ptr<T> device) {
    T& added = *device;
    AddSlot(base, bytes, std::move(device));
    return added;
  }
  // Puts device in place of the one at base, in the same window. std::invalid_argument when no
  // device sits at base.
  template <class T>
  T& Replace(std::uint32_t base, std::unique_ptr<T> device) {
    T& placed = *device;
    SlotAt(base).device = std::move(device);
    return placed;
  }
  // Takes the device at base off the board; null when there is none.
  std::unique_ptr<BusDevice> Remove(std::uint32_t base);

  // The device at base, or null.
  BusDevice* At(std::uint32_t base) const;
  // The first device of that type, or null.
  template <class T>
  T* Find() const {
    for (const Slot& slot : slots_) {
      if (auto* t = dynamic_cast<T*>(slot.device.get())) return t;
    }
    return nullptr;
  }
  const std::vector<Slot>& slots() const { return slots_; }

  // Puts every device on the bus.
  void AttachTo(Bus& bus) const;

 private:
  void AddSlot(std::uint32_t base, std::uint32_t bytes, std::unique_ptr<BusDevice> device);
  Slot& SlotAt(std::uint32_t base);

  std::vector<Slot> slots_;
};

// The board the description names (the table above). clock: the module's, for the models' busy
// times; report: where the models' reports go; image: the flash image the description names, held
// by its folder since the module folder was checked (ModuleCore::TakeFlashImage), opened there and
// never again by its path, so that a link swapped in meanwhile leads nowhere (std::logic_error when
// the description names an image file and none is given). Throws DescriptionError naming the field
// for a flash that cannot be made (an image that does not fit the chip, factory-bad blocks the
// table cannot hold), before any file is created for it where the description alone shows it.
Board BuildBoard(const Description& description, Clock& clock, const Reporter& report, HostFile image = {});

}  // namespace sim
