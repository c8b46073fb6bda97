// The launcher's start-up and mount watch on a simulated module: what is served, in which order,
// and when the watch ends.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "launcher/launcher.h"
#include "platform/platform.h"
#include "sim/os/notifications.h"
#include "sim/core/text.h"
#include "tests/support/os_fixture.h"

namespace {

using ::testing::ElementsAre;
using testing_support::OsModuleTest;

class WatchMountsTest : public OsModuleTest {
 protected:
  // A volume whose AutoRun folder holds one program named after the volume.
  void Card(const std::string& name) { Put(volume(name) / "AutoRun" / (name + ".exe")); }
  std::string CardProgram(const std::string& name) { return "\\" + name + "\\AutoRun\\" + name + ".exe"; }

  // A queue registered for mount notifications, as WatchMounts makes it.
  OsHandle Queue() {
    OsMsgQueueOptions options = {20, 0, 0, MOUNT_MESSAGE_BYTES, 1};
    OsHandle queue = OsCreateMsgQueue(nullptr, &options);
    EXPECT_NE(queue, nullptr);
    EXPECT_NE(OsRequestDeviceNotifications(&FatMountClass, queue, OS_TRUE), nullptr);
    return queue;
  }
  std::size_t Queued(OsHandle queue) { return module().Lookup<sim::MsgQueue>(queue)->messages.size(); }
};

TEST_F(WatchMountsTest, InternalDiskIsServedAfterThePauseAndAgainWhenAnnounced) {
  InternalDisk("Flash Disk");
  Put(volume("Flash Disk") / "AutoRun" / "welcome.exe");
  Put(volume("Flash Disk") / "AutoCopy" / "Windows" / "demo.dll", "library");
  RunScript("");

  EXPECT_THAT(Started(), ElementsAre("\\Flash Disk\\AutoRun\\welcome.exe", "\\Flash Disk\\AutoRun\\welcome.exe"));
  EXPECT_EQ(os().processes.launches()[0].time_ms, 1500u);  // the pause comes first
  EXPECT_EQ(testing_support::ReadFile(root() / "Windows" / "demo.dll"), "library");
  EXPECT_EQ(Debug(), "");
  // The queue, the registration, the store, the key and the process handles are all given back.
  EXPECT_EQ(module().OpenHandleCount(), 0u);
}

TEST_F(WatchMountsTest, WithoutTheFlashStoreOnlyMountsAreServed) {
  SetFolderValue("\\Flash Disk");  // the registry names a folder, but there is no store "DSK0:"
  Put(volume("Flash Disk") / "AutoRun" / "welcome.exe");
  Card("Card");
  RunScript("wait 3000\nmount Card\n");
  EXPECT_THAT(Started(), ElementsAre(CardProgram("Card")));
}

TEST_F(WatchMountsTest, UnreadableFolderValueSkipsTheInternalDisk) {
  description().stores.push_back("DSK0:");
  Put(root() / "Flash Disk" / "AutoRun" / "welcome.exe");
  // 300 characters do not fit the 520-byte value buffer: the query reports more data.
  SetFolderValue("\\Flash Disk" + std::string(289, ' '));
  Card("Card");
  RunScript("wait 2000\nmount Card\n");
  EXPECT_THAT(Started(), ElementsAre(CardProgram("Card")));
}

TEST_F(WatchMountsTest, ShiftHeldWhileACardGoesInSkipsOnlyThatCard) {
  Card("A");
  Card("B");
  RunScript(
      "wait 2000\nshift down\nmount A\n"
      "wait 500\nshift up\n"
      "wait 500\nmount B\n");
  EXPECT_THAT(Started(), ElementsAre(CardProgram("B")));
  EXPECT_EQ(Debug(), "");
}

TEST_F(WatchMountsTest, ShiftConsumesOneMessageAndLeavesTheRestQueued) {
  Card("A");
  Card("B");
  Start();
  OsHandle queue = Queue();
  os().events.Mount(u"A");
  os().events.Mount(u"B");
  os().events.Shift(true);
  os().events.Shift(false);  // a short press: still "pressed since the last query"

  DrainMountQueue(queue);
  EXPECT_TRUE(Started().empty());
  EXPECT_EQ(Queued(queue), 1u);  // B waits; the loop's wait returns at once for it
  EXPECT_EQ(OsWaitForSingleObject(queue, OS_INFINITE), OS_WAIT_OBJECT_0);

  DrainMountQueue(queue);  // the press was reported by the previous query
  EXPECT_THAT(Started(), ElementsAre(CardProgram("B")));
  EXPECT_EQ(Queued(queue), 0u);
}

TEST_F(WatchMountsTest, TwoCardsAreServedInOneDrainInQueueOrder) {
  Card("Second");
  Card("First");
  Start();
  OsHandle queue = Queue();
  os().events.Mount(u"Second");
  os().events.Mount(u"First");
  const std::uint64_t before_ns = module().clock().NowNs();
  DrainMountQueue(queue);
  EXPECT_THAT(Started(), ElementsAre(CardProgram("Second"), CardProgram("First")));
  EXPECT_EQ(module().clock().NowNs() - before_ns, 1'000'000u);  // the last read waits 1 ms for more
}

TEST_F(WatchMountsTest, RemovalFindsNothingAndPrintsNothing) {
  Card("Card");
  Put(volume("Card") / "AutoCopy" / "x.txt", "x");
  Start();
  OsHandle queue = Queue();
  os().events.Mount(u"Card");
  DrainMountQueue(queue);
  std::filesystem::remove(root() / "x.txt");

  os().events.Unmount(u"Card");
  ASSERT_EQ(Queued(queue), 1u);
  DrainMountQueue(queue);
  EXPECT_EQ(Started().size(), 1u);
  EXPECT_FALSE(std::filesystem::exists(root() / "x.txt"));
  EXPECT_EQ(Debug(), "");
}

TEST_F(WatchMountsTest, UnterminatedMountNameIsReadWithinTheMessage) {
  // 34 characters fill the name field to the end of the 96-byte message, with no terminator.
  std::string name(33, 'N');
  Put(root() / name / "AutoRun" / "x.exe");
  Start();
  OsHandle queue = Queue();
  std::vector<std::uint8_t> message = sim::Notifications::MountMessage(sim::ToUtf16(name), true);
  message.resize(MOUNT_MESSAGE_BYTES);  // drops the terminator
  os().notifications.PostRaw(message);
  DrainMountQueue(queue);
  EXPECT_THAT(Started(), ElementsAre("\\" + name + "\\AutoRun\\x.exe"));
}

TEST_F(WatchMountsTest, ShortMessageDoesNotBorrowTheNameOfAnEarlierOne) {
  Put(root() / "Card" / "AutoRun" / "Card.exe");
  Card("Card Twelve Ch");
  Start();
  OsHandle queue = Queue();
  os().events.Mount(u"Card Twelve Ch");
  // "\Card" without its terminator, in a message that ends right after the name.
  std::vector<std::uint8_t> message = sim::Notifications::MountMessage(u"Card", true);
  message.resize(message.size() - 2);
  os().notifications.PostRaw(message);
  DrainMountQueue(queue);
  EXPECT_THAT(Started(), ElementsAre(CardProgram("Card Twelve Ch"), CardProgram("Card")));
}

TEST_F(WatchMountsTest, MessageWithoutANameServesNothing) {
  // The root's own AutoCopy and AutoRun folders, which an empty folder name would lead to.
  Put(root() / "AutoCopy" / "x.txt", "x");
  Put(root() / "AutoRun" / "root.exe");
  Card("Card");
  Start();
  OsHandle queue = Queue();
  std::vector<std::uint8_t> header_only = sim::Notifications::MountMessage(u"Card", true);
  header_only.resize(MOUNT_NAME_OFFSET);
  std::vector<std::uint8_t> empty_name = header_only;
  empty_name.insert(empty_name.end(), {0, 0});
  os().notifications.PostRaw({});  // a message of no bytes at all
  os().notifications.PostRaw(header_only);
  os().notifications.PostRaw(empty_name);
  os().events.Mount(u"Card");
  DrainMountQueue(queue);
  EXPECT_THAT(Started(), ElementsAre(CardProgram("Card")));  // the card after them is still served
  EXPECT_FALSE(std::filesystem::exists(root() / "x.txt"));
  EXPECT_EQ(Debug(), "");
}

TEST_F(WatchMountsTest, QueueCreationFailureEndsAtOnce) {
  InternalDisk();
  Put(volume("Flash Disk") / "AutoRun" / "welcome.exe");
  Start();
  module().faults().Add({.op = sim::FaultOp::kCreateMsgQueue, .error = OS_ERROR_NOT_ENOUGH_MEMORY, .subject = ""});
  EXPECT_EQ(WatchMounts(nullptr, nullptr, nullptr, 0), 0);
  EXPECT_TRUE(Started().empty());
  EXPECT_LT(NowSeconds(), 1.0);  // not even the pause
}

TEST_F(WatchMountsTest, ShiftHeldFromPowerOnSkipsTheInternalDisk) {
  InternalDisk();
  Put(volume("Flash Disk") / "AutoRun" / "welcome.exe");
  description().shift_held = true;
  RunScript("");
  EXPECT_TRUE(Started().empty());
}

TEST_F(WatchMountsTest, TheWatchEndsOnQuitAfterServingWhatIsQueued) {
  Card("Card");
  RunScript("wait 4000\nmount Card\nquit\nwait 60000\nmount Card\n");
  EXPECT_THAT(Started(), ElementsAre(CardProgram("Card")));
  EXPECT_NEAR(NowSeconds(), 4.0, 0.01);  // the virtual clock jumped; the later commands never came
}

TEST_F(WatchMountsTest, OpenStoreBoundsTheStoreName) {
  description().stores.push_back("DSK0:");
  Start();
  OsHandle store = OpenStore(WSTR("DSK0:"));
  ASSERT_NE(store, OS_INVALID_HANDLE);
  EXPECT_TRUE(OsCloseHandle(store));
  std::u16string long_name(400, u'x');
  EXPECT_EQ(OpenStore(long_name.c_str()), OS_INVALID_HANDLE);
  EXPECT_EQ(OpenStore(nullptr), OS_INVALID_HANDLE);  // the host's stand-in for an unreadable name
}

}  // namespace
