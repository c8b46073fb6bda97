#include "sim/core/module_core.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "sim/core/text.h"

namespace sim {

namespace {

HostPaths OpenHostPaths(const Description& d) {
  try {
    return HostPaths(d.folder, d.allowed_outside);
  } catch (const std::runtime_error& e) {
    throw DescriptionError(std::string("module folder: cannot open ") + e.what());
  }
}

// The flash image and its sidecar are host files the module folder names: they must lie where its
// paths may lead, their folder reached without a link, and each be a regular file or nothing yet.
// The folder stays held: the image is opened there, never again by its path.
HostFile CheckImage(const HostPaths& paths, const FlashConfig& flash) {
  const std::filesystem::path& image = flash.image();
  HostFile file;
  if (image.empty()) return file;
  if (HostError error = paths.Settle(image, file); error != HostError::kNone) {
    FieldError("flash.image", paths.Explain(image, error));
  }
  for (std::string_view suffix : {std::string_view(), std::string_view(".json")}) {
    struct stat st;
    HostError error = file.Stat(st, suffix);
    if (error == HostError::kNone && !S_ISREG(st.st_mode)) {
      error = S_ISDIR(st.st_mode) ? HostError::kIsFolder : HostError::kNotFile;
    }
    if (error != HostError::kNone && error != HostError::kNotFound) {
      FieldError("flash.image", file.shown.string() + std::string(suffix) + " " + Describe(error));
    }
  }
  return file;
}

}  // namespace

ModuleCore::ModuleCore(Description description, ModuleOptions options)
    : description_(std::move(description)),
      host_paths_(OpenHostPaths(description_)),
      options_(options),
      clock_(options.clock, description_.tick_at_start_ms),
      bus_(clock_),
      address_space_(bus_),
      flash_image_(CheckImage(host_paths_, description_.flash)) {}

ModuleCore::~ModuleCore() {
  for (auto& [block, bytes] : heap_blocks_) std::free(block);
}

void* ModuleCore::NewHandle(std::unique_ptr<HandleObject> object) {
  std::uintptr_t value = next_handle_;
  next_handle_ += 4;
  handles_[value] = std::move(object);
  return reinterpret_cast<void*>(value);
}

bool ModuleCore::CloseHandle(void* handle) { return handles_.erase(reinterpret_cast<std::uintptr_t>(handle)) != 0; }

void ModuleCore::DebugWrite(std::u16string_view text) {
  debug_ += ToUtf8(text);
  if (options_.echo_debug) {
    // Names in the output come from cards and images: their control characters are shown escaped.
    std::string shown = PrintableDebugOutput(text);
    std::fwrite(shown.data(), 1, shown.size(), stdout);
    std::fflush(stdout);
  }
}

void ModuleCore::Report(const std::string& line) {
  reports_.push_back(line);
  if (options_.echo_reports) {
    std::fprintf(stderr, "[sim] %s\n", Printable(line).c_str());
    std::fflush(stderr);
  }
}

void ModuleCore::EndProcess() {
  handles_.clear();
  for (auto& [block, bytes] : heap_blocks_) std::free(block);
  heap_blocks_.clear();
  address_space_.ReleaseAll();
  last_error_ = 0;
}

void ModuleCore::ForgetOutput() {
  debug_.clear();
  reports_.clear();
}

void* ModuleCore::HeapAlloc(std::uint32_t bytes) {
  void* block = std::malloc(bytes == 0 ? 1 : bytes);
  if (block) heap_blocks_[block] = bytes;
  return block;
}

void ModuleCore::HeapFree(void* memory) {
  auto it = heap_blocks_.find(memory);
  if (it == heap_blocks_.end()) return;
  std::free(memory);
  heap_blocks_.erase(it);
}

}  // namespace sim
