#include "sim/core/address_space.h"

#include <sys/mman.h>

#include <cstdio>

namespace sim {

namespace {

std::string Pointer(const volatile void* p) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", const_cast<const void*>(p));
  return text;
}

}  // namespace

AddressSpace::~AddressSpace() {
  for (auto& [base, r] : reservations_) munmap(reinterpret_cast<void*>(base), r.bytes);
}

void* AddressSpace::Reserve(std::uint32_t bytes) {
  std::uint64_t rounded = (std::uint64_t{bytes} + kPageSize - 1) & ~std::uint64_t{kPageSize - 1};
  if (rounded == 0) return nullptr;
  void* p = mmap(nullptr, rounded, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  auto base = reinterpret_cast<std::uintptr_t>(p);
  reservations_[base] = Reservation{base, static_cast<std::uint32_t>(rounded), {}};
  return p;
}

bool AddressSpace::Map(void* address, std::uint32_t physical, std::uint32_t bytes, std::uint32_t protect) {
  auto a = reinterpret_cast<std::uintptr_t>(address);
  bool ok = false;
  if (bytes != 0 && a % kPageSize == 0 && physical % kPageSize == 0 && bytes % kPageSize == 0) {
    auto it = reservations_.upper_bound(a);
    if (it != reservations_.begin()) {
      --it;
      Reservation& r = it->second;
      if (a >= r.base && a + bytes <= r.base + r.bytes) {
        // A new mapping replaces whatever the range held before.
        std::erase_if(r.mappings, [&](const Mapping& m) { return m.address < a + bytes && a < m.address + m.bytes; });
        r.mappings.push_back({a, bytes, physical});
        last_ = nullptr;
        ok = true;
      }
    }
  }
  map_calls_.push_back({a, physical, bytes, protect, ok});
  return ok;
}

void AddressSpace::ReleaseAll() {
  for (auto& [base, r] : reservations_) munmap(reinterpret_cast<void*>(base), r.bytes);
  reservations_.clear();
  map_calls_.clear();
  last_ = nullptr;
}

bool AddressSpace::Release(void* base) {
  auto it = reservations_.find(reinterpret_cast<std::uintptr_t>(base));
  if (it == reservations_.end()) return false;
  munmap(base, it->second.bytes);
  reservations_.erase(it);
  last_ = nullptr;
  return true;
}

const AddressSpace::Mapping* AddressSpace::FindMapping(std::uintptr_t a, std::uint32_t width) const {
  auto inside = [&](const Mapping& m) { return a >= m.address && a + width <= m.address + m.bytes; };
  if (last_ && inside(*last_)) return last_;
  auto it = reservations_.upper_bound(a);
  if (it == reservations_.begin()) return nullptr;
  --it;
  for (const Mapping& m : it->second.mappings) {
    if (inside(m)) {
      last_ = &m;
      return &m;
    }
  }
  return nullptr;
}

std::optional<std::uint32_t> AddressSpace::ToPhysical(const volatile void* pointer, std::uint32_t width) const {
  auto a = reinterpret_cast<std::uintptr_t>(pointer);
  const Mapping* m = FindMapping(a, width);
  if (!m) return std::nullopt;
  return static_cast<std::uint32_t>(m->physical + (a - m->address));
}

std::uint32_t AddressSpace::Translate(const volatile void* pointer, std::uint32_t width, const char* what) const {
  auto phys = ToPhysical(pointer, width);
  if (!phys) {
    throw BusFault(std::string("bus fault: ") + what + " through " + Pointer(pointer) +
                   ", which no mapped physical window covers");
  }
  return *phys;
}

std::uint32_t AddressSpace::Read32(const volatile void* pointer) {
  return bus_.Read32(Translate(pointer, 4, "32-bit read"));
}

void AddressSpace::Write32(volatile void* pointer, std::uint32_t value) {
  bus_.Write32(Translate(pointer, 4, "32-bit write"), value);
}

void AddressSpace::ReadRepeated32(const volatile void* pointer, std::uint32_t* destination, std::uint32_t count) {
  if (count == 0) return;
  bus_.ReadRepeated32(Translate(pointer, 4, "32-bit read"), destination, count);
}

void AddressSpace::WriteRepeated32(volatile void* pointer, const std::uint32_t* source, std::uint32_t fill,
                                   std::uint32_t count) {
  if (count == 0) return;
  bus_.WriteRepeated32(Translate(pointer, 4, "32-bit write"), source, fill, count);
}

void AddressSpace::CopyFrom(void* destination, const volatile void* source, std::uint32_t bytes) {
  if (bytes == 0) return;
  // The copy may span several mappings of one reservation (a whole-flash window is mapped in
  // pieces); each piece is one block read.
  auto* out = static_cast<std::uint8_t*>(destination);
  auto a = reinterpret_cast<std::uintptr_t>(source);
  while (bytes > 0) {
    const Mapping* m = FindMapping(a, 1);
    if (!m) {
      throw BusFault("bus fault: block read through " + Pointer(reinterpret_cast<const void*>(a)) +
                     ", which no mapped physical window covers");
    }
    std::uint32_t in_piece = static_cast<std::uint32_t>(m->address + m->bytes - a);
    std::uint32_t n = bytes < in_piece ? bytes : in_piece;
    bus_.ReadBlock(static_cast<std::uint32_t>(m->physical + (a - m->address)), {out, n});
    out += n;
    a += n;
    bytes -= n;
  }
}

}  // namespace sim
