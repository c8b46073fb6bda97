// Mount notifications, message queues, the key state and the command script on a simulated module.
#include <cstring>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "launcher/launcher.h"
#include "platform/platform.h"
#include "sim/env/script.h"
#include "sim/core/text.h"
#include "tests/support/os_fixture.h"

namespace {

using ::testing::ElementsAre;
using testing_support::OsModuleTest;

class NotificationsTest : public OsModuleTest {
 protected:
  OsHandle Queue(u32 max_message = MOUNT_MESSAGE_BYTES, OsBool all = OS_TRUE) {
    OsMsgQueueOptions options = {20, 0, 0, max_message, 1};
    OsHandle queue = OsCreateMsgQueue(nullptr, &options);
    EXPECT_NE(queue, nullptr);
    EXPECT_NE(OsRequestDeviceNotifications(&FatMountClass, queue, all), nullptr);
    return queue;
  }
  // The next message's bytes; empty when the read fails.
  std::vector<std::uint8_t> Read(OsHandle queue) {
    std::uint8_t buffer[MOUNT_MESSAGE_BYTES];
    u32 bytes = 0, flags = 0;
    if (!OsReadMsgQueue(queue, buffer, sizeof buffer, &bytes, 1, &flags)) return {};
    return std::vector<std::uint8_t>(buffer, buffer + bytes);
  }
  static u32 U32At(const std::vector<std::uint8_t>& m, std::size_t at) {
    u32 v;
    std::memcpy(&v, m.data() + at, 4);
    return v;
  }
  static std::u16string NameOf(const std::vector<std::uint8_t>& m) {
    std::u16string name((m.size() - MOUNT_NAME_OFFSET) / 2, u'\0');
    std::memcpy(name.data(), m.data() + MOUNT_NAME_OFFSET, name.size() * 2);
    return name;
  }
};

TEST_F(NotificationsTest, MountMessagesHaveTheOperatingSystemsLayout) {
  std::filesystem::create_directories(volume("Storage Card"));
  Start();
  OsHandle queue = Queue();
  ASSERT_EQ(os().events.Mount(u"Storage Card"), "");
  ASSERT_EQ(os().events.Unmount(u"Storage Card"), "");

  std::vector<std::uint8_t> mounted = Read(queue);
  ASSERT_EQ(mounted.size(), 28u + 28u);  // "\Storage Card" is 13 characters, 14 with the terminator
  EXPECT_EQ(std::memcmp(mounted.data(), &FatMountClass, 16), 0);
  EXPECT_EQ(std::vector<std::uint8_t>(mounted.begin(), mounted.begin() + 4), (std::vector<std::uint8_t>{0x41, 0x19, 0x9E, 0x16}));
  EXPECT_EQ(U32At(mounted, 16), 0u);   // reserved
  EXPECT_EQ(U32At(mounted, 20), 1u);   // attached
  EXPECT_EQ(U32At(mounted, 24), 28u);  // name bytes, terminator included
  EXPECT_EQ(NameOf(mounted), std::u16string(u"\\Storage Card\0", 14));

  std::vector<std::uint8_t> removed = Read(queue);
  ASSERT_EQ(removed.size(), mounted.size());
  EXPECT_EQ(U32At(removed, 20), 0u);
  EXPECT_TRUE(Read(queue).empty());
  EXPECT_EQ(OsGetLastError(), OS_ERROR_TIMEOUT);
}

TEST_F(NotificationsTest, VolumesPresentAtStartAreAnnouncedOnlyWhenAllAreAskedFor) {
  InternalDisk("Flash Disk");
  Start();
  OsHandle all = Queue(MOUNT_MESSAGE_BYTES, OS_TRUE);
  OsHandle later = Queue(MOUNT_MESSAGE_BYTES, OS_FALSE);
  EXPECT_EQ(NameOf(Read(all)), std::u16string(u"\\Flash Disk\0", 12));
  EXPECT_TRUE(Read(later).empty());
}

TEST_F(NotificationsTest, QueueOptionsAreHonoured) {
  std::filesystem::create_directories(volume("A"));
  std::filesystem::create_directories(volume("Longer Name"));
  Start();
  OsHandle queue = Queue(28 + 8);  // room for "\A" only
  os().events.Mount(u"Longer Name");
  os().events.Mount(u"A");
  EXPECT_EQ(NameOf(Read(queue)), std::u16string(u"\\A\0", 3));
  EXPECT_TRUE(Read(queue).empty());
  EXPECT_THAT(module().Reports(), ::testing::Contains(::testing::HasSubstr("dropped notification \\Longer Name")));

  OsMsgQueueOptions wrong = {24, 0, 0, 96, 1};
  EXPECT_EQ(OsCreateMsgQueue(nullptr, &wrong), nullptr);
  EXPECT_EQ(OsGetLastError(), OS_ERROR_INVALID_PARAMETER);
}

TEST_F(NotificationsTest, NamesThatCannotFitAMessageAreRefusedAtTheMount) {
  std::string name(33, 'x');
  std::filesystem::create_directories(volume(name));
  Start();
  EXPECT_THAT(os().events.Mount(sim::ToUtf16(name)), ::testing::HasSubstr("does not fit a 96-byte mount message"));
  EXPECT_TRUE(os().files.volumes().empty());
  EXPECT_THROW(sim::ParseScript("mount " + name), sim::ScriptError);
}

TEST_F(NotificationsTest, VolumesOfTheDescriptionThatCannotBeMountedAreRefusedNamingTheField) {
  std::string name(33, 'x');
  std::filesystem::create_directories(volume(name));
  description().volumes_at_start.push_back({"Card", volume("Card")});  // no such folder
  try {
    Start();
    ADD_FAILURE() << "the module started";
  } catch (const sim::DescriptionError& e) {
    EXPECT_THAT(e.what(), ::testing::HasSubstr("field 'volumes[0]': no folder"));
  }
  std::filesystem::create_directories(volume("Card"));
  description().volumes_at_start.push_back({name, volume(name)});
  try {
    Start();
    ADD_FAILURE() << "the module started";
  } catch (const sim::DescriptionError& e) {
    EXPECT_THAT(e.what(), ::testing::HasSubstr("field 'volumes[1]': volume name 'xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx': longer"));
  }
}

TEST_F(NotificationsTest, KeyStateFollowsTheScriptsTime) {
  Start();
  os().events.RunScript(sim::ParseScript("wait 100\nshift down\nwait 100\nshift up\n"));
  EXPECT_EQ(OsGetAsyncKeyState(OS_VK_SHIFT), 0);
  OsSleep(150);
  EXPECT_EQ(static_cast<u16>(OsGetAsyncKeyState(OS_VK_SHIFT)), 0x8001u);  // down, and pressed since the last query
  EXPECT_EQ(static_cast<u16>(OsGetAsyncKeyState(OS_VK_SHIFT)), 0x8000u);
  OsSleep(100);
  EXPECT_EQ(OsGetAsyncKeyState(OS_VK_SHIFT), 0);
}

TEST_F(NotificationsTest, WaitJumpsToTheNextEventAndFailsAtTheEndOfTheScript) {
  std::filesystem::create_directories(volume("Card"));
  Start();
  OsHandle queue = Queue();
  os().events.RunScript(sim::ParseScript("wait 2500\nmount Card\nwait 1000\n"));
  EXPECT_EQ(OsWaitForSingleObject(queue, 100), OS_WAIT_TIMEOUT);
  EXPECT_NEAR(NowSeconds(), 0.1, 0.001);
  EXPECT_EQ(OsWaitForSingleObject(queue, OS_INFINITE), OS_WAIT_OBJECT_0);
  EXPECT_NEAR(NowSeconds(), 2.5, 0.001);
  EXPECT_FALSE(Read(queue).empty());
  EXPECT_EQ(OsWaitForSingleObject(queue, OS_INFINITE), OS_WAIT_FAILED);
  EXPECT_NEAR(NowSeconds(), 3.5, 0.001);
  EXPECT_EQ(os().events.end_reason(), "end of script");
}

TEST_F(NotificationsTest, CommandsReadAsTheyArriveAreScheduledFromTheirArrival) {
  std::filesystem::create_directories(volume("Card"));
  Start();
  OsHandle queue = Queue();
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  const std::string input = "bogus\nwait 500\nmount \"Card\"   # the card\nquit";
  ASSERT_EQ(write(pipe_fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  close(pipe_fds[1]);
  os().events.ReadCommands(pipe_fds[0]);
  EXPECT_EQ(OsWaitForSingleObject(queue, OS_INFINITE), OS_WAIT_OBJECT_0);
  EXPECT_NEAR(NowSeconds(), 0.5, 0.001);
  EXPECT_FALSE(Read(queue).empty());
  EXPECT_EQ(OsWaitForSingleObject(queue, OS_INFINITE), OS_WAIT_FAILED);
  EXPECT_EQ(os().events.end_reason(), "quit");
  EXPECT_THAT(module().Reports(), ::testing::Contains(::testing::HasSubstr("input line 1: unknown command 'bogus'")));
  close(pipe_fds[0]);
}

// --- the script's syntax ---

std::string ScriptProblem(const std::string& script) {
  try {
    sim::ParseScript(script);
  } catch (const sim::ScriptError& e) {
    return e.what();
  }
  return "";
}

TEST(Script, CommandsNamesAndComments) {
  auto commands = sim::ParseScript(
      "# a comment\n\n  mount \"Storage Card\" cards/one  # inserted\r\nwait 1500\nshift down\nshift up\n"
      "unmount Card\nquit\n");
  ASSERT_EQ(commands.size(), 6u);
  EXPECT_EQ(commands[0].name, u"Storage Card");
  EXPECT_EQ(commands[0].host_dir, "cards/one");
  EXPECT_EQ(commands[0].line, 3);
  EXPECT_EQ(commands[1].ms, 1500u);
  EXPECT_EQ(commands[2].kind, sim::ScriptCommand::Kind::kShiftDown);
  EXPECT_EQ(commands[4].kind, sim::ScriptCommand::Kind::kUnmount);
  EXPECT_EQ(commands[5].kind, sim::ScriptCommand::Kind::kQuit);
}

TEST(Script, MalformedLinesNameTheirLine) {
  EXPECT_EQ(ScriptProblem("mount A\nmont B\n"), "line 2: unknown command 'mont' (mount, unmount, shift, wait, quit)");
  EXPECT_EQ(ScriptProblem("\n\nwait soon"), "line 3: wait: 'soon' is not a number of milliseconds (0 to 4294967295)");
  EXPECT_EQ(ScriptProblem("wait -5"), "line 1: wait: '-5' is not a number of milliseconds (0 to 4294967295)");
  EXPECT_EQ(ScriptProblem("mount \"Storage Card"), "line 1: a double quote is not closed");
  EXPECT_EQ(ScriptProblem("shift sideways"), "line 1: usage: shift down | shift up");
  EXPECT_EQ(ScriptProblem("quit now"), "line 1: usage: quit");
  EXPECT_EQ(ScriptProblem("mount"), "line 1: usage: mount NAME [HOSTDIR]");
  EXPECT_THAT(ScriptProblem("mount a\\b"), ::testing::StartsWith("line 1: volume name 'a\\b': a volume name is one"));
}

}  // namespace
