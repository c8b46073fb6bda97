// The module's time. Tests run on a virtual clock: nothing waits, and time moves only when the
// device code sleeps, polls or touches the bus. The command line runs on the real clock.
#pragma once

#include <chrono>
#include <cstdint>

namespace sim {

class Clock {
 public:
  enum class Kind { kVirtual, kReal };

  // What the operating system charges for a tick-count query; makes busy polls advance time.
  static constexpr std::uint64_t kTickQueryNs = 1000;

  explicit Clock(Kind kind, std::uint32_t tick_at_start_ms = 0);

  bool IsVirtual() const { return kind_ == Kind::kVirtual; }

  // Nanoseconds since the module started.
  std::uint64_t NowNs() const;
  std::uint64_t NowMs() const { return NowNs() / 1'000'000; }

  // The operating system's millisecond tick count (wraps at 2^32).
  std::uint32_t TickCountMs() const;

  // Virtual clock: moves time on. Real clock: nothing (real time moves by itself).
  void Advance(std::uint64_t ns);
  void AdvanceTo(std::uint64_t ns);

  // Virtual clock: advances at once. Real clock: sleeps.
  void Sleep(std::uint64_t ns);

 private:
  Kind kind_;
  std::uint32_t tick_at_start_ms_;
  std::uint64_t virtual_ns_ = 0;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace sim
