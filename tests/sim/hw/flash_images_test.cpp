// The flash models' images as module folders made before the image store hold them: a NOR sidecar
// listing its granules by offset, a NAND sidecar without a granule size.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sim/core/image_store.h"
#include "sim/hw/nand_image.h"
#include "sim/hw/nor_flash.h"
#include "tests/support/module_fixture.h"

namespace {

using sim::ImageStore;

nlohmann::json Sidecar(const std::filesystem::path& image) {
  return nlohmann::json::parse(testing_support::ReadFile(ImageStore::SidecarPath(image)));
}

// Module folders made before the store hold NOR sidecars that list granules by offset and NAND
// sidecars without a granule size; both still open, and the next write moves them to the store's form.
TEST(FlashImages, OlderSidecarsOfBothFlashModelsStillOpen) {
  testing_support::TempFolder folder;
  sim::Clock clock(sim::Clock::Kind::kVirtual);

  const std::filesystem::path nor_image = folder.path() / "flash.img";
  {
    std::filesystem::resize_file((testing_support::WriteFile(nor_image, ""), nor_image), 0x4000000);
    std::vector<char> data(0x10000, '\xFF');
    data[0x10] = 0x12;
    std::fstream out(nor_image, std::ios::in | std::ios::out | std::ios::binary);
    out.seekp(0x13C0000);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
  }
  testing_support::WriteFile(ImageStore::SidecarPath(nor_image),
                             R"({"device_code": "0x8922", "granule_bytes": 65536, "granules": ["0x013C0000"],
                                 "size_code": 25})");
  sim::NorFlashConfig nor_config;
  nor_config.image = nor_image;
  {
    sim::NorFlash nor(clock, nor_config);
    EXPECT_EQ(nor.Peek(0x13C0010, 2), (std::vector<std::uint8_t>{0x12, 0xFF}));
    EXPECT_EQ(nor.Peek(0x1380010, 1)[0], 0xFF);
    nor.Poke(0, std::vector<std::uint8_t>{0});
  }
  EXPECT_EQ(Sidecar(nor_image)["materialised"][0].get<std::string>().substr(0, 1), "1");
  EXPECT_EQ(sim::NorFlash(clock, nor_config).Peek(0x13C0010, 1)[0], 0x12);

  const std::filesystem::path nand_image = folder.path() / "nand.img";
  sim::NandImage::Layout layout{"0xF1EC", 2048, 64, 64, 1024, {{0, 0}}};
  {
    std::filesystem::resize_file((testing_support::WriteFile(nand_image, ""), nand_image),
                                 layout.total_bytes());
    std::fstream out(nand_image, std::ios::in | std::ios::out | std::ios::binary);
    out.seekp(static_cast<std::streamoff>(layout.block_bytes() * 5));
    out.write("\x42", 1);
  }
  std::string bitmap(256, '0');
  bitmap[1] = '2';  // block 5
  testing_support::WriteFile(
      ImageStore::SidecarPath(nand_image),
      R"({"layout": "page then spare", "chip": "0xF1EC", "page_bytes": 2048, "spare_bytes": 64,
                                 "pages_per_block": 64, "blocks_per_device": 1024,
                                 "regions": [{"chip_select": 0, "device": 0, "offset": 0, "bytes": 138412032}],
                                 "materialised": [")" +
          bitmap + R"("]})");
  auto nand = sim::NandImage::Open(nand_image, layout);
  EXPECT_EQ(nand->MaterialisedBlocks(), 1u);
  EXPECT_TRUE(nand->IsMaterialised(0, 5));
  std::vector<std::uint8_t> page(layout.raw_page_bytes());
  nand->ReadPage(0, 5 * 64, page);
  EXPECT_EQ(page[0], 0x42);
  EXPECT_EQ(page[1], 0x00) << "a block that holds data reads from the file";
  for (std::uint32_t b = 0; b < layout.blocks; ++b) {
    ASSERT_EQ(nand->Wear(0, b), ImageStore::BlockWear{}) << "no counts kept then: none yet";
  }
}

}  // namespace
