// The one sparse image store of the flash models: created sparse, reading erased, granules written
// only when they first hold data, a sidecar that says what the image was made for and what its blocks
// have been through, and the sidecars of older images still read.
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

// Two parts of 16 blocks with counts.
ImageStore::Layout WearLayout() {
  ImageStore::Layout layout = Layout(2);
  layout.wear_parts = 2;
  layout.wear_blocks = 16;
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

TEST(ImageStoreWear, CountsAreKeptAsRunsOnCloseAndReadBackOnOpen) {
  testing_support::TempFolder folder;
  const std::filesystem::path image = folder.path() / "x.img";
  {
    auto store = ImageStore::Open(image, WearLayout(), Identity());
    for (std::uint32_t b = 2; b < 5; ++b) {
      store->CountErase(0, b);
      for (int p = 0; p < 3; ++p) store->CountProgram(0, b);
    }
    store->CountErase(0, 5);
    store->CountProgram(1, 15);
    store->CountProgram(1, 15);
    EXPECT_EQ(store->Wear(0, 3), (ImageStore::BlockWear{3, 1}));
    EXPECT_EQ(store->Wear(1, 0), (ImageStore::BlockWear{}));
    EXPECT_THROW(store->CountErase(2, 0), std::out_of_range);
    EXPECT_THROW(store->CountErase(0, 16), std::out_of_range);
    EXPECT_FALSE(Sidecar(image).contains("wear") && !Sidecar(image)["wear"][0].empty())
        << "counting alone does not rewrite the sidecar";
  }
  nlohmann::json sidecar = Sidecar(image);
  EXPECT_EQ(sidecar["wear"], nlohmann::json::parse("[[[2, 3, 3, 1], [5, 1, 0, 1]], [[15, 1, 2, 0]]]"));
  EXPECT_EQ(sidecar["part"], "A") << "the rest of the sidecar as before";

  auto again = ImageStore::Open(image, WearLayout(), Identity());
  for (std::uint32_t part = 0; part < 2; ++part) {
    for (std::uint32_t b = 0; b < 16; ++b) {
      ImageStore::BlockWear want;
      if (part == 0 && b >= 2 && b < 5) want = {3, 1};
      if (part == 0 && b == 5) want = {0, 1};
      if (part == 1 && b == 15) want = {2, 0};
      EXPECT_EQ(again->Wear(part, b), want) << "part " << part << " block " << b;
    }
  }
  // A newly materialised granule writes the counts with it.
  again->CountErase(1, 0);
  again->Write(0, Bytes(1, 0));
  EXPECT_EQ(Sidecar(image)["wear"][1], nlohmann::json::parse("[[0, 1, 0, 1], [15, 1, 2, 0]]"));

  // In memory the counts live as long as the store.
  auto memory = ImageStore::InMemory(WearLayout());
  memory->CountProgram(1, 7);
  EXPECT_EQ(memory->Wear(1, 7).programs, 1u);
}

TEST(ImageStoreWear, ASidecarWithoutCountsReadsAsZeroAndACountStopsAtTheLargest) {
  testing_support::TempFolder folder;
  const std::filesystem::path image = folder.path() / "x.img";
  ImageStore::Open(image, Layout(2), Identity())->Write(0, Bytes(1, 0x12));
  ASSERT_FALSE(Sidecar(image).contains("wear")) << "a store without counts writes no key";
  {
    auto store = ImageStore::Open(image, WearLayout(), Identity());
    for (std::uint32_t b = 0; b < 16; ++b) EXPECT_EQ(store->Wear(0, b), (ImageStore::BlockWear{}));
    std::vector<std::uint8_t> out(1);
    store->Read(0, out);
    EXPECT_EQ(out[0], 0x12);
  }
  EXPECT_EQ(Sidecar(image)["wear"], nlohmann::json::parse("[[], []]"));

  nlohmann::json sidecar = Sidecar(image);
  sidecar["wear"][0] = nlohmann::json::parse("[[4, 1, 9007199254740991, 9007199254740990]]");
  testing_support::WriteFile(ImageStore::SidecarPath(image), sidecar.dump());
  {
    auto store = ImageStore::Open(image, WearLayout(), Identity());
    store->CountProgram(0, 4);
    store->CountErase(0, 4);
    store->CountErase(0, 4);
    EXPECT_EQ(store->Wear(0, 4),
              (ImageStore::BlockWear{ImageStore::kMaxWearCount, ImageStore::kMaxWearCount}));
  }
  EXPECT_NO_THROW(ImageStore::Open(image, WearLayout(), Identity())) << "what it wrote, it reads";
}

TEST(ImageStoreWear, MalformedCountsAreRefusedNamingTheFileAndTheKey) {
  testing_support::TempFolder folder;
  const std::filesystem::path image = folder.path() / "x.img";
  ImageStore::Open(image, WearLayout(), Identity())->CountErase(0, 1);
  const nlohmann::json good = Sidecar(image);
  const char* bad[] = {
      R"("12")",                     // not a list
      R"([[]])",                     // one part of two
      R"([[], [], []])",             // three
      R"([{}, []])",                 // a part that is no list
      R"([[[1, 1, 2]], []])",        // a run of three numbers
      R"([[[1, 1, 2, 3, 4]], []])",  // of five
      R"([[7], []])",                // a run that is no list
      R"([[[1, 1, -2, 0]], []])",    // negative
      R"([[[1, 1, 2.5, 0]], []])",   // not whole
      R"([[[1, 1, "2", 0]], []])",   // a string
      R"([[[1, 1, null, 0]], []])",
      R"([[[1, 1, {"a": 1}, 0]], []])",
      R"([[[1, 1, 9007199254740992, 0]], []])",      // beyond the largest count
      R"([[[1, 1, 18446744073709551616, 0]], []])",  // beyond 64 bits
      R"([[[1, 1, 1e300, 0]], []])",
      R"([[[16, 1, 1, 0]], []])",  // beyond the part
      R"([[[10, 7, 1, 0]], []])",
      R"([[[18446744073709551615, 2, 1, 0]], []])",  // first + blocks wraps
      R"([[[3, 0, 1, 0]], []])",                     // no blocks
      R"([[[3, 2, 1, 0], [4, 1, 1, 0]], []])",       // overlapping
      R"([[[5, 1, 1, 0], [3, 1, 1, 0]], []])",       // descending
      R"([[[3, 1, 0, 0]], []])",                     // counting nothing
  };
  for (const char* wear : bad) {
    SCOPED_TRACE(wear);
    nlohmann::json sidecar = good;
    sidecar["wear"] = nlohmann::json::parse(wear);
    const std::string text = sidecar.dump();
    testing_support::WriteFile(ImageStore::SidecarPath(image), text);
    try {
      ImageStore::Open(image, WearLayout(), Identity());
      ADD_FAILURE() << "accepted";
    } catch (const sim::ImageError& e) {
      EXPECT_EQ(e.key, "wear");
      const std::string what = e.what();
      EXPECT_NE(what.find(ImageStore::SidecarPath(image).string()), std::string::npos) << what;
      EXPECT_NE(what.find("'wear'"), std::string::npos) << what;
    }
    EXPECT_EQ(testing_support::ReadFile(ImageStore::SidecarPath(image)), text) << "a refused sidecar is left";
  }
  // A count nested without end is named by its brackets, not written out.
  std::string deep = good.dump();
  deep = deep.substr(0, deep.rfind("\"wear\"")) + "\"wear\": [[[1, 1, " + std::string(200000, '[') +
         std::string(200000, ']') + ", 0]], []]}";
  testing_support::WriteFile(ImageStore::SidecarPath(image), deep);
  try {
    ImageStore::Open(image, WearLayout(), Identity());
    ADD_FAILURE() << "accepted";
  } catch (const sim::ImageError& e) {
    EXPECT_NE(std::string(e.what()).find("run 0 holds [...], not a whole number"), std::string::npos)
        << e.what();
  }
  testing_support::WriteFile(ImageStore::SidecarPath(image), good.dump());
  EXPECT_EQ(ImageStore::Open(image, WearLayout(), Identity())->Wear(0, 1).erases, 1u);
}

}  // namespace
