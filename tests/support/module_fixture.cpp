#include "tests/support/module_fixture.h"

#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>

namespace testing_support {

TempFolder::TempFolder() {
  static std::atomic<int> counter{0};
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "kalvori";
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  path_ = std::filesystem::temp_directory_path() /
          ("kalvori-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" + name);
  std::filesystem::remove_all(path_);
  std::filesystem::create_directories(path_);
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

sim::Description BareDescription(const std::filesystem::path& folder, std::uint32_t cpu_product) {
  sim::Description d;
  d.folder = folder;
  d.root = folder / "root";
  d.volumes = folder / "volumes";
  d.cpu_main_id = sim::Description::MainIdForProduct(cpu_product);
  std::filesystem::create_directories(d.root);
  std::filesystem::create_directories(d.volumes);
  return d;
}

void WriteFile(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  out << text;
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace testing_support
