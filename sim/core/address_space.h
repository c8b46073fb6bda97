// The launcher process's view of physical memory on the host. A reservation is real address space
// (reserved, never backed, so a stray plain access crashes at once); mapping binds a range of it to
// simulated physical addresses. Device-memory accessors translate a pointer back to its physical
// address here and hand the access to the bus.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "sim/core/bus.h"

namespace sim {

class AddressSpace {
 public:
  static constexpr std::uint32_t kPageSize = 0x1000;

  struct Mapping {
    std::uintptr_t address;  // virtual, inside a reservation
    std::uint32_t bytes;
    std::uint32_t physical;
  };
  struct Reservation {
    std::uintptr_t base;
    std::uint32_t bytes;
    std::vector<Mapping> mappings;
  };
  // One call of the mapping service, kept for tests.
  struct MapCall {
    std::uintptr_t address;
    std::uint32_t physical;
    std::uint32_t bytes;
    std::uint32_t protect;
    bool ok;
  };

  explicit AddressSpace(Bus& bus) : bus_(bus) {}
  ~AddressSpace();
  AddressSpace(const AddressSpace&) = delete;
  AddressSpace& operator=(const AddressSpace&) = delete;

  // Reserves bytes (rounded up to pages) of fresh address space; nullptr when it cannot.
  void* Reserve(std::uint32_t bytes);
  // Binds [address, address + bytes) to physical memory from physical on. Fails when the range is
  // not wholly inside one reservation or not page-aligned.
  bool Map(void* address, std::uint32_t physical, std::uint32_t bytes, std::uint32_t protect);
  // Releases the reservation that starts at base, with every mapping in it.
  bool Release(void* base);
  // Releases every reservation and forgets the mapping calls: the space of a process that ended.
  void ReleaseAll();

  // The physical address behind a pointer, for an access of the given width.
  std::optional<std::uint32_t> ToPhysical(const volatile void* pointer, std::uint32_t width) const;

  std::uint32_t Read32(const volatile void* pointer);
  void Write32(volatile void* pointer, std::uint32_t value);
  void CopyFrom(void* destination, const volatile void* source, std::uint32_t bytes);
  // count accesses of one register (see Bus::ReadRepeated32); destination may be null, source too.
  void ReadRepeated32(const volatile void* pointer, std::uint32_t* destination, std::uint32_t count);
  void WriteRepeated32(volatile void* pointer, const std::uint32_t* source, std::uint32_t fill, std::uint32_t count);

  const std::map<std::uintptr_t, Reservation>& Reservations() const { return reservations_; }
  const std::vector<MapCall>& MapCalls() const { return map_calls_; }

 private:
  const Mapping* FindMapping(std::uintptr_t address, std::uint32_t width) const;
  std::uint32_t Translate(const volatile void* pointer, std::uint32_t width, const char* what) const;

  Bus& bus_;
  std::map<std::uintptr_t, Reservation> reservations_;
  std::vector<MapCall> map_calls_;
  mutable const Mapping* last_ = nullptr;
};

}  // namespace sim
