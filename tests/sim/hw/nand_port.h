// A module with NAND flash, and the controller's registers reached the way device code reaches them:
// through a physical window, one 32-bit access at a time. Commands are composed here from the
// register contract (command word fields, status bits), not from the driver.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include <nlohmann/json.hpp>

#include "hw/devmem.h"
#include "platform/platform.h"
#include "sim/module.h"
#include "sim/hw/nand_controller.h"
#include "tests/support/module_fixture.h"

namespace nandmodel_test {

using C = sim::NandController;

inline constexpr std::uint32_t kProduct = 2;  // any module that is not the NOR one

// Command word from its fields.
inline std::uint32_t Cmd(std::uint32_t type, std::uint8_t byte1, std::uint8_t byte2, std::uint32_t cycles,
                         std::uint32_t cs = 0, bool auto_status = false) {
  return byte1 | std::uint32_t{byte2} << C::kCmdByte2Shift | cycles << C::kCmdCyclesShift |
         (byte2 ? C::kCmdTwoCommands : 0) | type << C::kCmdTypeShift | (cs ? C::kCmdChipSelect1 : 0) |
         (auto_status ? C::kCmdAutoStatus : 0);
}

struct Framing {
  bool large = true;
  bool wide = false;
  bool spare = false;
  bool ecc = false;
  std::uint32_t id_count = 5;
};

inline std::uint32_t Control(const Framing& f) {
  return (f.large ? C::kCtrlPage2K | C::kCtrlRowStart | C::kCtrlPages64 : 0) | (f.wide ? C::kCtrlWideBus : 0) |
         (f.spare ? C::kCtrlSpare : 0) | (f.ecc ? C::kCtrlEcc : 0) | f.id_count << C::kCtrlIdCountShift;
}

class NandModule {
 public:
  explicit NandModule(nlohmann::json flash) { Start(std::move(flash)); }
  ~NandModule() { Stop(); }

  void Start(nlohmann::json flash) {
    sim::Description d = testing_support::BareDescription(folder_.path(), kProduct);
    flash["type"] = "nand";
    d.flash = sim::ReadFlashConfig(std::move(flash), d.folder);
    module_ = std::make_unique<sim::Module>(std::move(d));
    nand_ = module_->FindDevice<sim::NandController>();
    window_ = OsVirtualAlloc(nullptr, C::kWindowBytes, OS_MEM_RESERVE, OS_PAGE_NOACCESS);
    EXPECT_TRUE(OsVirtualCopy(window_, reinterpret_cast<void*>(uptr{C::kBase} >> 8), C::kWindowBytes,
                              OS_PAGE_READWRITE | OS_PAGE_NOCACHE | OS_PAGE_PHYSICAL));
  }
  void Stop() {
    if (module_ && !nand_->power_cut()) {
      EXPECT_EQ(nand_->ProtocolErrors(), expected_errors_) << Log();
    }
    nand_ = nullptr;
    module_.reset();
  }
  void Restart(nlohmann::json flash) {
    Stop();
    Start(std::move(flash));
  }
  // Protocol errors the scenario provokes on purpose; checked when the module stops.
  void ExpectErrors(std::uint64_t n) { expected_errors_ = n; }

  const std::filesystem::path& folder() const { return folder_.path(); }
  sim::Module& module() { return *module_; }
  sim::NandController& nand() { return *nand_; }

  std::uint32_t Reg(std::uint32_t offset) { return DevRead32(DevReg(Regs(), offset)); }
  void SetReg(std::uint32_t offset, std::uint32_t value) { DevWrite32(DevReg(Regs(), offset), value); }
  // Runs of data FIFO accesses, as the driver makes them.
  void ReadRun(std::uint32_t* out, std::uint32_t words) { DevReadRepeated32(DevReg(Regs(), C::kRegData), out, words); }
  void WriteRun(const std::uint32_t* in, std::uint32_t fill, std::uint32_t words) {
    DevWriteRepeated32(DevReg(Regs(), C::kRegData), in, fill, words);
  }

  // Polls until a bit of mask shows; the status word, or 0 after `limit` reads.
  std::uint32_t Poll(std::uint32_t mask, int limit = 64) {
    for (int i = 0; i < limit; ++i) {
      std::uint32_t s = Reg(C::kRegStatus);
      if (s & mask) return s;
    }
    return 0;
  }

  // Clears the status, starts the controller and hands it the three command words.
  void Issue(std::uint32_t command, std::uint32_t a1 = 0, std::uint32_t a2 = 0) {
    SetReg(C::kRegStatus, 0xFFFFFFFF);
    SetReg(C::kRegControl, Reg(C::kRegControl) | C::kCtrlRun);
    ASSERT_NE(Poll(C::kStatusCommandRequest), 0u) << "no command request";
    SetReg(C::kRegCommand, command);
    SetReg(C::kRegCommand, a1);
    SetReg(C::kRegCommand, a2);
  }

  std::vector<std::uint32_t> ReadFifo(std::size_t words) {
    EXPECT_NE(Poll(C::kStatusReadRequest), 0u) << "no read-data request";
    std::vector<std::uint32_t> out(words);
    for (auto& w : out) w = Reg(C::kRegData);
    return out;
  }
  void WriteFifo(const std::vector<std::uint32_t>& words) {
    EXPECT_NE(Poll(C::kStatusWriteRequest), 0u) << "no write-data request";
    for (std::uint32_t w : words) SetReg(C::kRegData, w);
  }
  // Waits for ready and then for done (or bad block / ECC error); the status without its request bits.
  std::uint32_t Outcome() {
    EXPECT_NE(Poll(C::kStatusReady), 0u) << "never ready";
    return Poll(0x1F0) & ~(C::kStatusCommandRequest | C::kStatusReadRequest | C::kStatusWriteRequest);
  }

  // --- whole operations on a large-page chip (two column bytes, then the row) ---
  std::uint32_t PageCycles() { return 2 + nand().chip().row_cycles; }
  std::uint32_t ProgramLarge(std::uint32_t row, const std::vector<std::uint32_t>& words, std::uint32_t cs = 0) {
    Issue(Cmd(C::kTypeProgram, 0x80, 0x10, PageCycles(), cs, true), row << 16, row >> 16);
    WriteFifo(words);
    return Outcome();
  }
  std::vector<std::uint32_t> ReadLarge(std::uint32_t row, std::size_t words, std::uint32_t* status = nullptr,
                                       std::uint32_t cs = 0) {
    Issue(Cmd(C::kTypeRead, 0x00, 0x30, PageCycles(), cs), row << 16, row >> 16);
    std::vector<std::uint32_t> out = ReadFifo(words);
    std::uint32_t s = Outcome();
    if (status) *status = s;
    return out;
  }
  std::uint32_t EraseLarge(std::uint32_t row, std::uint32_t cs = 0) {
    Issue(Cmd(C::kTypeErase, 0x60, 0xD0, nand().chip().row_cycles, cs, true), row);
    return Outcome();
  }

  std::string Log() const {
    std::string text;
    for (const std::string& line : nand_->ProtocolLog()) text += line + "\n";
    return text;
  }

 private:
  volatile u32* Regs() { return static_cast<volatile u32*>(window_); }

  testing_support::TempFolder folder_;
  std::unique_ptr<sim::Module> module_;
  sim::NandController* nand_ = nullptr;
  void* window_ = nullptr;
  std::uint64_t expected_errors_ = 0;
};

inline nlohmann::json J(const char* text) { return nlohmann::json::parse(text); }

// Little-endian bytes of FIFO words and back.
inline std::vector<std::uint8_t> Bytes(const std::vector<std::uint32_t>& words) {
  std::vector<std::uint8_t> out;
  for (std::uint32_t w : words) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(w >> (8 * i)));
  }
  return out;
}

inline std::vector<std::uint32_t> Words(const std::vector<std::uint8_t>& bytes) {
  std::vector<std::uint32_t> out(bytes.size() / 4);
  for (std::size_t i = 0; i < bytes.size(); ++i) out[i / 4] |= std::uint32_t{bytes[i]} << (8 * (i % 4));
  return out;
}

// A recognisable pattern: byte i of the page of `seed`.
inline std::vector<std::uint8_t> Pattern(std::size_t bytes, std::uint32_t seed) {
  std::vector<std::uint8_t> out(bytes);
  for (std::size_t i = 0; i < bytes; ++i) out[i] = static_cast<std::uint8_t>(i * 7 + seed * 13 + (i >> 8));
  return out;
}

}  // namespace nandmodel_test
