#include "sim/core/bus.h"

#include <cstring>

#include "sim/core/text.h"

namespace sim {

void BusDevice::ReadBlock(std::uint32_t offset, std::span<std::uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    std::uint32_t word_offset = (offset + static_cast<std::uint32_t>(done)) & ~3u;
    std::uint32_t skip = (offset + static_cast<std::uint32_t>(done)) & 3u;
    std::uint32_t word = Read32(word_offset);
    std::uint8_t bytes[4];
    std::memcpy(bytes, &word, 4);
    for (std::uint32_t i = skip; i < 4 && done < out.size(); ++i) out[done++] = bytes[i];
  }
}

bool BusDevice::ReadRepeated32(std::uint32_t, std::uint32_t*, std::size_t) { return false; }

bool BusDevice::WriteRepeated32(std::uint32_t, const std::uint32_t*, std::uint32_t, std::size_t) { return false; }

void Bus::Attach(std::uint32_t base, std::uint32_t size, BusDevice& device) {
  for (const Window& w : windows_) {
    std::uint64_t a0 = base, a1 = std::uint64_t{base} + size;
    std::uint64_t b0 = w.base, b1 = std::uint64_t{w.base} + w.size;
    if (a0 < b1 && b0 < a1) {
      throw std::logic_error("bus: " + device.Name() + " at " + Hex(base) + " overlaps " + w.device->Name());
    }
  }
  windows_.push_back({base, size, &device});
}

void Bus::Detach(BusDevice& device) {
  std::erase_if(windows_, [&](const Window& w) { return w.device == &device; });
  last_ = 0;
}

Bus::Window& Bus::Find(std::uint32_t address, std::uint32_t bytes, const char* what) {
  auto inside = [&](const Window& w) {
    return address >= w.base && std::uint64_t{address} + bytes <= std::uint64_t{w.base} + w.size;
  };
  if (last_ < windows_.size() && inside(windows_[last_])) return windows_[last_];
  for (std::size_t i = 0; i < windows_.size(); ++i) {
    if (inside(windows_[i])) {
      last_ = i;
      return windows_[i];
    }
  }
  throw BusFault(std::string("bus fault: ") + what + " at physical " + Hex(address) +
                 ", where no device answers");
}

std::uint32_t Bus::Read32(std::uint32_t address) {
  if (address & 3u) throw BusFault("bus fault: unaligned 32-bit read at physical " + Hex(address));
  Window& w = Find(address, 4, "32-bit read");
  clock_.Advance(w.device->AccessNs());
  ++accesses_;
  std::uint32_t value = w.device->Read32(address - w.base);
  if (tracer_) tracer_({BusAccess::Kind::kRead, address, value});
  return value;
}

void Bus::Write32(std::uint32_t address, std::uint32_t value) {
  if (address & 3u) throw BusFault("bus fault: unaligned 32-bit write at physical " + Hex(address));
  Window& w = Find(address, 4, "32-bit write");
  clock_.Advance(w.device->AccessNs());
  ++accesses_;
  if (tracer_) tracer_({BusAccess::Kind::kWrite, address, value});
  w.device->Write32(address - w.base, value);
}

void Bus::ReadRepeated32(std::uint32_t address, std::uint32_t* out, std::size_t count) {
  if (address & 3u) throw BusFault("bus fault: unaligned 32-bit read at physical " + Hex(address));
  Window& w = Find(address, 4, "32-bit read");
  if (!tracer_ && w.device->ReadRepeated32(address - w.base, out, count)) {
    clock_.Advance(w.device->AccessNs() * count);
    accesses_ += count;
    return;
  }
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t word = Read32(address);
    if (out) out[i] = word;
  }
}

void Bus::WriteRepeated32(std::uint32_t address, const std::uint32_t* in, std::uint32_t fill, std::size_t count) {
  if (address & 3u) throw BusFault("bus fault: unaligned 32-bit write at physical " + Hex(address));
  Window& w = Find(address, 4, "32-bit write");
  if (!tracer_ && w.device->WriteRepeated32(address - w.base, in, fill, count)) {
    clock_.Advance(w.device->AccessNs() * count);
    accesses_ += count;
    return;
  }
  for (std::size_t i = 0; i < count; ++i) Write32(address, in ? in[i] : fill);
}

void Bus::ReadBlock(std::uint32_t address, std::span<std::uint8_t> out) {
  if (out.empty()) return;
  Window& w = Find(address, static_cast<std::uint32_t>(out.size()), "block read");
  // The module's block copy moves bytes (hw/devmem.h): one access per byte, four per bus word.
  clock_.Advance(w.device->AccessNs() * out.size());
  accesses_ += out.size();
  w.device->ReadBlock(address - w.base, out);
  if (tracer_) tracer_({BusAccess::Kind::kBlockRead, address, static_cast<std::uint32_t>(out.size())});
}

}  // namespace sim
