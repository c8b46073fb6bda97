// The one sparse image store of the flash models: created sparse, reading erased, granules written
// only when they first hold data, a sidecar that says what the image was made for, and the sidecars
// of older images still read.
#include "sim/core/image_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/module_fixture.h"

namespace {

using sim::ImageStore;

constexpr std::uint32_t kGranule = 0x1000;

ImageStore::Layout Layout(std::uint32_t regions = 1, bool resident = false) {
  ImageStore::Layout layout;
  layout.bytes = std::uint64_t{16} * kGranule * regions;
  layout.granule_bytes = kGranule;
  for (std::uint32_t r = 0; regions > 1 && r < regions; ++r) {
    layout.regions.push_back({{"device", std::uint64_t{r}}});
  }
  layout.resident = resident;
  return layout;
}

ImageStore::OpenOptions Identity(std::string part = "A", std::uint64_t size = 3) {
  ImageStore::OpenOptions options;
  options.identity = {{"part", part}, {"size", size}};
  return options;
}

std::vector<std::uint8_t> Bytes(std::size_t n, std::uint8_t value) {
  return std::vector<std::uint8_t>(n, value);
}

nlohmann::json Sidecar(const std::filesystem::path& image) {
  return nlohmann::json::parse(testing_support::ReadFile(ImageStore::SidecarPath(image)));
}

TEST(ImageStore, GranulesHoldDataOnlyOnceWrittenAndEverythingElseReadsErased) {
  testing_support::TempFolder folder;
  const std::filesystem::path image = folder.path() / "x.img";
  for (bool resident : {false, true}) {
    SCOPED_TRACE(resident ? "resident" : "in the file");
    std::filesystem::remove(image);
    {
      auto store = ImageStore::Open(image, Layout(2, resident), Identity());
      EXPECT_TRUE(store->created());
      struct stat info {};
      ASSERT_EQ(::stat(image.c_str(), &info), 0);
      EXPECT_EQ(static_cast<std::uint64_t>(info.st_size), 32u * kGranule);
      EXPECT_EQ(info.st_blocks, 0) << "created sparse";

      store->Write(kGranule * 17 - 2, Bytes(4, 0x5A));  // the end of granule 16 and the start of 17
      EXPECT_EQ(store->MaterialisedCount(), 2u);
      EXPECT_TRUE(store->IsMaterialised(16));
      EXPECT_TRUE(store->IsMaterialised(17));
      std::vector<std::uint8_t> out(8);
      store->Read(kGranule * 17 - 4, out);
      EXPECT_EQ(out, (std::vector<std::uint8_t>{0xFF, 0xFF, 0x5A, 0x5A, 0x5A, 0x5A, 0xFF, 0xFF}));

      store->Erase(0, 32 * kGranule);
      EXPECT_EQ(store->MaterialisedCount(), 2u) << "an erase materialises nothing";
      store->Read(kGranule * 17 - 4, out);
      EXPECT_EQ(out, Bytes(8, 0xFF));
      store->Write(5, Bytes(1, 0));
      EXPECT_THROW(store->Read(32 * kGranule - 1, out), std::out_of_range);

      nlohmann::json sidecar = Sidecar(image);
      EXPECT_EQ(sidecar["part"], "A");
      EXPECT_EQ(sidecar["size"], 3);
      EXPECT_EQ(sidecar["granule_bytes"], kGranule);
      EXPECT_EQ(sidecar["materialised"], nlohmann::json::array({"1000", "3000"}))
          << "per region, bit 0 first";
      EXPECT_EQ(sidecar["regions"][1]["device"], 1);
      EXPECT_EQ(sidecar["regions"][1]["offset"], 16 * kGranule);
    }
    auto again = ImageStore::Open(image, Layout(2, resident), Identity());
    EXPECT_FALSE(again->created());
    EXPECT_EQ(again->MaterialisedCount(), 3u);
    std::vector<std::uint8_t> out(2);
    again->Read(4, out);
    EXPECT_EQ(out, (std::vector<std::uint8_t>{0xFF, 0x00}));
  }
}

TEST(ImageStore, AnImageIsRefusedForAnotherPartAWrongSizeOrNoSidecar) {
  testing_support::TempFolder folder;
  const std::filesystem::path image = folder.path() / "x.img";
  ImageStore::Open(image, Layout(), Identity("A", 3))->Write(0, Bytes(1, 1));

  try {
    ImageStore::Open(image, Layout(), Identity("B", 3));
    ADD_FAILURE() << "another part was accepted";
  } catch (const sim::ImageError& e) {
    EXPECT_EQ(e.key, "part");
    EXPECT_NE(std::string(e.what()).find("was made for part A, not B"), std::string::npos) << e.what();
  }
  EXPECT_THROW(ImageStore::Open(image, Layout(), Identity("A", 4)), sim::ImageError);
  EXPECT_THROW(ImageStore::Open(image, Layout(2), Identity("A", 3)), sim::ImageError) << "twice the size";

  std::filesystem::remove(ImageStore::SidecarPath(image));
  EXPECT_THROW(ImageStore::Open(image, Layout(), Identity()), sim::ImageError);
  // A raw image of the right size from another tool holds data throughout.
  ImageStore::OpenOptions raw = Identity();
  raw.accept_raw_image = true;
  auto store = ImageStore::Open(image, Layout(), raw);
  EXPECT_EQ(store->MaterialisedCount(), 16u);
  std::vector<std::uint8_t> out(1);
  store->Read(0, out);
  EXPECT_EQ(out[0], 1);
  EXPECT_TRUE(std::filesystem::exists(ImageStore::SidecarPath(image)));
}

// Sidecars are bytes from elsewhere: a value nested without end, or a number with blanks or a sign
// that would wrap round to the right one, is refused with a message naming the sidecar and the key.
TEST(ImageStore, AHostileSidecarIsRefusedByName) {
  testing_support::TempFolder folder;
  const std::filesystem::path image = folder.path() / "x.img";
  ImageStore::Open(image, Layout(), Identity("A", 3))->Write(0, Bytes(1, 1));
  const std::string deep = std::string(200000, '[') + std::string(200000, ']');
  auto refusal = [&](const std::string& sidecar) {
    testing_support::WriteFile(ImageStore::SidecarPath(image), sidecar);
    try {
      ImageStore::Open(image, Layout(), Identity("A", 3));
    } catch (const sim::ImageError& e) {
      return std::string(e.what());
    }
    return std::string("accepted");
  };
  const std::string tail = R"(, "granule_bytes": 4096, "materialised": ["1000"]})";
  EXPECT_EQ(refusal(R"({"part": "A", "size": 3)" + tail), "accepted");
  EXPECT_EQ(refusal(R"({"part": "A", "size": "0x3")" + tail), "accepted");
  EXPECT_NE(refusal(R"({"part": )" + deep + R"(, "size": 3)" + tail).find("made for part [...], not A"),
            std::string::npos);
  EXPECT_NE(refusal(R"({"part": "A", "size": 3, "granule_bytes": {"a": )" + deep + "}}").find("granules of {...} bytes"),
            std::string::npos);
  for (const char* wrapped : {" -18446744073709551613", "-18446744073709551613", "+3", " 3"}) {
    EXPECT_NE(refusal(std::string(R"({"part": "A", "size": ")") + wrapped + "\"" + tail).find("was made for size"),
              std::string::npos)
        << wrapped;
  }
}

TEST(ImageStore, NoLinkIsFollowedAndOnlyRegularFilesAreTaken) {
  testing_support::TempFolder folder, elsewhere;
  const std::filesystem::path victim = elsewhere.path() / "victim.json";
  testing_support::WriteFile(victim, "theirs");
  auto refused = [&](const std::filesystem::path& image) {
    try {
      ImageStore::Open(image, Layout(), Identity());
    } catch (const sim::ImageError& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  // A dangling link at the image's name is not created through; a link at the sidecar's is not
  // written through; a FIFO is refused without waiting for a writer.
  std::filesystem::create_symlink(elsewhere.path() / "planted.img", folder.path() / "dangling.img");
  EXPECT_NE(refused(folder.path() / "dangling.img").find("symbolic link"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(elsewhere.path() / "planted.img"));
  std::filesystem::create_symlink(victim, folder.path() / "x.img.json");
  EXPECT_NE(refused(folder.path() / "x.img").find("symbolic link"), std::string::npos);
  EXPECT_EQ(testing_support::ReadFile(victim), "theirs");
  ASSERT_EQ(::mkfifo((folder.path() / "fifo.img").c_str(), 0644), 0);
  EXPECT_NE(refused(folder.path() / "fifo.img").find("FIFO"), std::string::npos);
  // Held by its folder, a new image and its sidecar stay there when the folder is moved away and a
  // link to elsewhere takes its place.
  std::filesystem::create_directory(folder.path() / "images");
  sim::HostFile file;
  ASSERT_EQ(sim::OpenUserFile(folder.path() / "images" / "y.img", file), sim::HostError::kNone);
  std::filesystem::rename(folder.path() / "images", folder.path() / "moved");
  std::filesystem::create_directory_symlink(elsewhere.path(), folder.path() / "images");
  auto store = ImageStore::Open(std::move(file), Layout(), Identity());
  store->Write(0, Bytes(4, 0x12));
  store.reset();
  EXPECT_TRUE(std::filesystem::is_regular_file(folder.path() / "moved" / "y.img"));
  EXPECT_TRUE(std::filesystem::is_regular_file(folder.path() / "moved" / "y.img.json"));
  EXPECT_FALSE(std::filesystem::exists(elsewhere.path() / "y.img"));
}

}  // namespace
