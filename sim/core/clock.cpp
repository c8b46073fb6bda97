#include "sim/core/clock.h"

#include <thread>

namespace sim {

Clock::Clock(Kind kind, std::uint32_t tick_at_start_ms)
    : kind_(kind), tick_at_start_ms_(tick_at_start_ms), start_(std::chrono::steady_clock::now()) {}

std::uint64_t Clock::NowNs() const {
  if (IsVirtual()) return virtual_ns_;
  auto elapsed = std::chrono::steady_clock::now() - start_;
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count());
}

std::uint32_t Clock::TickCountMs() const {
  return static_cast<std::uint32_t>(tick_at_start_ms_ + NowMs());
}

void Clock::Advance(std::uint64_t ns) {
  if (IsVirtual()) virtual_ns_ += ns;
}

void Clock::AdvanceTo(std::uint64_t ns) {
  if (IsVirtual() && ns > virtual_ns_) virtual_ns_ = ns;
}

void Clock::Sleep(std::uint64_t ns) {
  if (IsVirtual()) {
    virtual_ns_ += ns;
  } else {
    std::this_thread::sleep_for(std::chrono::nanoseconds(ns));
  }
}

}  // namespace sim
