// Mount notifications as the launcher's queue delivers them: any messages, of any length and
// content, drained by DrainMountQueue. The card named in the seeds is mounted, so that AutoCopy and
// AutoRun run for real. Everything the launcher opens while serving is closed again and its heap is
// balanced.
//
// Input: a flags byte (bit 0: Shift is pressed before the drain), then messages, each a length byte
// and that many bytes.
#include <cstdint>
#include <filesystem>

#include "fuzz/fuzz_module.h"
#include "fuzz/fuzz_support.h"
#include "launcher/launcher.h"
#include "sim/services.h"

namespace {

fuzz::ReusedModule& Module() {
  static fuzz::ReusedModule* reused = [] {
    auto* m = new fuzz::ReusedModule("notification", fuzz::kNorCpuProduct, nullptr, std::nullopt);
    const std::filesystem::path card = m->folder().path() / "volumes" / "Card";
    fuzz::WriteHostFile(card / "AutoCopy" / "a.txt", "a");
    fuzz::WriteHostFile(card / "AutoCopy" / "Windows" / "b.dll", "b");
    fuzz::WriteHostFile(card / "AutoRun" / "x.exe", "program");
    fuzz::WriteHostFile(card / "AutoRun" / "y.lnk", "17#\"\\Windows\\b.dll\" -a");
    fuzz::Check(m->module().os().files.Mount(u"Card", card).empty(), "the card cannot be mounted");
    return m;
  }();
  return *reused;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::ReusedModule& reused = Module();
  reused.Begin();
  reused.ClearRoot();
  sim::Module& m = reused.module();
  fuzz::Input input(data, size);

  OsMsgQueueOptions options = {sizeof(OsMsgQueueOptions), 0, 0, MOUNT_MESSAGE_BYTES, OS_TRUE};
  OsHandle queue = OsCreateMsgQueue(0, &options);
  OsHandle registration = OsRequestDeviceNotifications(&FatMountClass, queue, OS_FALSE);
  fuzz::Check(queue != 0 && registration != 0, "no queue");
  if (input.Byte() & 1) m.os().keyboard.Press(OS_VK_SHIFT);
  while (!input.empty()) {
    std::size_t length = input.Byte();
    std::span<const std::uint8_t> bytes = input.Take(length);
    m.os().notifications.PostRaw(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
  }
  const std::size_t handles = m.OpenHandleCount();
  DrainMountQueue(queue);
  fuzz::Check(m.OpenHandleCount() == handles, "the drain leaves a handle open");
  fuzz::Check(m.LiveHeapBlocks() == 0, "the drain leaves heap memory behind");
  OsStopDeviceNotifications(registration);
  OsCloseMsgQueue(queue);
  return 0;
}
