// The module's physical bus: every device-memory access of the device code arrives here with its
// physical address and is handed to the model that owns that address. An address that no model
// owns is a bus fault, never a silent 0.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/core/clock.h"

namespace sim {

// A simulated bus fault (unmapped physical address, unaligned access). Thrown through the device
// code so that a test fails loudly at the access that caused it.
struct BusFault : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A model that answers 32-bit accesses in a physical range.
class BusDevice {
 public:
  virtual ~BusDevice() = default;

  virtual std::string Name() const = 0;
  // offset: byte offset from the device's base, a multiple of 4.
  virtual std::uint32_t Read32(std::uint32_t offset) = 0;
  virtual void Write32(std::uint32_t offset, std::uint32_t value) = 0;
  // A block copy out of the device (the NOR array read). The default reads word by word.
  virtual void ReadBlock(std::uint32_t offset, std::span<std::uint8_t> out);
  // A run of count 32-bit accesses to one register (a FIFO), taken at once, each word exactly as
  // Read32 / Write32 would take it. out null: the words read are dropped; in null: every write is of
  // fill. False (the default): the model takes no runs, the bus makes the accesses one by one.
  virtual bool ReadRepeated32(std::uint32_t offset, std::uint32_t* out, std::size_t count);
  virtual bool WriteRepeated32(std::uint32_t offset, const std::uint32_t* in, std::uint32_t fill, std::size_t count);
  // Time one access takes on the bus, charged to the clock.
  virtual std::uint64_t AccessNs() const { return 0; }
};

struct BusAccess {
  enum class Kind { kRead, kWrite, kBlockRead };
  Kind kind;
  std::uint32_t address;  // physical
  std::uint32_t value;    // read or written; for a block read, its length
};

class Bus {
 public:
  explicit Bus(Clock& clock) : clock_(clock) {}

  // The device answers [base, base + size). Ranges must not overlap.
  void Attach(std::uint32_t base, std::uint32_t size, BusDevice& device);
  void Detach(BusDevice& device);

  std::uint32_t Read32(std::uint32_t address);
  void Write32(std::uint32_t address, std::uint32_t value);
  void ReadBlock(std::uint32_t address, std::span<std::uint8_t> out);
  // count accesses to one address, in order, each charged and counted as a single access; while a
  // tracer is set they are made (and traced) one by one.
  void ReadRepeated32(std::uint32_t address, std::uint32_t* out, std::size_t count);
  void WriteRepeated32(std::uint32_t address, const std::uint32_t* in, std::uint32_t fill, std::size_t count);

  // Every access, in order, while a tracer is set (tests compare register traces with it).
  void SetTracer(std::function<void(const BusAccess&)> tracer) { tracer_ = std::move(tracer); }

  // Accesses made; a block read makes one per byte, as the module's byte copy does.
  std::uint64_t AccessCount() const { return accesses_; }

 private:
  struct Window {
    std::uint32_t base;
    std::uint32_t size;
    BusDevice* device;
  };
  Window& Find(std::uint32_t address, std::uint32_t bytes, const char* what);

  Clock& clock_;
  std::vector<Window> windows_;
  std::size_t last_ = 0;
  std::function<void(const BusAccess&)> tracer_;
  std::uint64_t accesses_ = 0;
};

}  // namespace sim
