// The module's keys as the asynchronous key-state query reports them: bit 15 while the key is down,
// bit 0 when it was pressed since the previous query (the query clears it).
#pragma once

#include <cstdint>
#include <map>

namespace sim {

class Keyboard {
 public:
  static constexpr std::uint16_t kDown = 0x8000;
  static constexpr std::uint16_t kPressedSinceQuery = 0x0001;

  void Press(int key) {
    State& s = keys_[key];
    if (!s.down) s.pressed = true;
    s.down = true;
  }
  void Release(int key) { keys_[key].down = false; }
  bool IsDown(int key) const {
    auto it = keys_.find(key);
    return it != keys_.end() && it->second.down;
  }
  std::uint16_t Query(int key) {
    State& s = keys_[key];
    std::uint16_t result = static_cast<std::uint16_t>((s.down ? kDown : 0) | (s.pressed ? kPressedSinceQuery : 0));
    s.pressed = false;
    return result;
  }

 private:
  struct State {
    bool down = false;
    bool pressed = false;
  };
  std::map<int, State> keys_;
};

}  // namespace sim
