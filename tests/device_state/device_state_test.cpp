// Every mutable object of the device code must lie in the linker section that the simulator resets
// before each start of the launcher (DEVICE_STATE, section kalvori_device_state). One outside it
// would carry its value from one simulated start into the next, which no process on the module does:
// a test that starts the launcher twice would then see the first start's leftovers.
//
// The check reads the device libraries' object files with objdump: the flags of every section (one
// that is allocated and not read-only is writable) and the data objects in them. It is also run on a
// sample with unmarked variables, on which it must find exactly those.
#include <cstdio>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

constexpr const char* kDeviceStateSection = "kalvori_device_state";

struct DataObject {
  std::string member;   // the object file inside the library
  std::string section;  // where the linker is told to place it
  std::string name;     // demangled
  bool writable;
};

std::string Capture(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) {
    ADD_FAILURE() << "cannot run " << command;
    return {};
  }
  std::string out;
  char chunk[4096];
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, pipe.get())) > 0;) out.append(chunk, n);
  EXPECT_EQ(pclose(pipe.release()), 0) << command;
  return out;
}

bool IsHex(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// A section header: index, name, size, VMA, LMA, file offset, alignment (its flags follow on the next
// line). Gives the name.
std::optional<std::string> SectionHeader(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  if (words.size() != 7 || words[0].find_first_not_of("0123456789") != std::string::npos ||
      words[6].rfind("2**", 0) != 0) {
    return std::nullopt;
  }
  return words[1];
}

// A symbol: value, seven flag characters (the last is 'O' for a data object), section, a tab, size,
// name.
struct Symbol {
  char kind;
  std::string section, name;
};

std::optional<Symbol> SymbolLine(const std::string& line) {
  size_t value_end = line.find(' ');
  if (value_end == std::string::npos || !IsHex(line.substr(0, value_end))) return std::nullopt;
  size_t section_at = value_end + 1 + 7 + 1;
  size_t tab = line.find('\t', section_at);
  if (line.size() <= section_at || line[section_at - 1] != ' ' || tab == std::string::npos) {
    return std::nullopt;
  }
  size_t size_end = line.find(' ', tab);
  if (size_end == std::string::npos || !IsHex(line.substr(tab + 1, size_end - tab - 1))) return std::nullopt;
  return Symbol{line[section_at - 2], line.substr(section_at, tab - section_at), line.substr(size_end + 1)};
}

// The data objects of every member of a static library, from `objdump -h -t -C`.
std::vector<DataObject> DataObjects(const std::string& library) {
  static const std::string kFileFormat = ":     file format ";
  std::vector<DataObject> objects;
  std::istringstream text(Capture(std::string(KALVORI_OBJDUMP) + " -h -t -C '" + library + "'"));
  std::string line, member, pending_section;
  std::set<std::string> writable;
  while (std::getline(text, line)) {
    if (size_t at = line.find(kFileFormat); at != std::string::npos) {
      member = line.substr(0, at);
      writable.clear();
      pending_section.clear();
    } else if (!pending_section.empty()) {
      // The line after a section's header holds its flags. Relocated read-only data (.data.rel.ro)
      // is writable only until the loader has relocated it.
      bool relro = pending_section.rfind(".data.rel.ro", 0) == 0;
      if (line.find("ALLOC") != std::string::npos && line.find("READONLY") == std::string::npos && !relro) {
        writable.insert(pending_section);
      }
      pending_section.clear();
    } else if (auto section = SectionHeader(line)) {
      pending_section = *section;
    } else if (auto symbol = SymbolLine(line)) {
      bool common = symbol->section == "*COM*";  // a tentative definition: zero-filled, writable
      if (symbol->kind != 'O' && !common) continue;
      // The address sanitizer's one-byte markers of instrumented globals are not the code's state.
      if (symbol->name.rfind("__odr_asan", 0) == 0) continue;
      bool mutable_object = common || writable.count(symbol->section) > 0;
      objects.push_back({member, symbol->section, symbol->name, mutable_object});
    }
  }
  return objects;
}

// The mutable objects that the simulator would not reset, as "member: name in section".
std::vector<std::string> Unreset(const std::vector<DataObject>& objects) {
  std::vector<std::string> found;
  for (const auto& o : objects) {
    if (o.writable && o.section != kDeviceStateSection) {
      found.push_back(o.member + ": " + o.name + " in " + o.section);
    }
  }
  return found;
}

std::string Lines(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& line : lines) out += "  " + line + "\n";
  return out;
}

const DataObject* Find(const std::vector<DataObject>& objects, const std::string& name) {
  for (const auto& o : objects) {
    if (o.name == name) return &o;
  }
  return nullptr;
}

TEST(DeviceState, EveryMutableObjectOfTheDeviceLibrariesIsInTheResetSection) {
  std::vector<DataObject> all;
  for (const char* library : {KALVORI_FLASH_LIBRARY, KALVORI_TESTER_LIBRARY, KALVORI_LAUNCHER_LIBRARY}) {
    std::vector<DataObject> objects = DataObjects(library);
    std::vector<std::string> unreset = Unreset(objects);
    EXPECT_TRUE(unreset.empty()) << library << " holds mutable objects outside " << kDeviceStateSection
                                 << " (mark them DEVICE_STATE):\n"
                                 << Lines(unreset);
    all.insert(all.end(), objects.begin(), objects.end());
  }

  // The reading itself works: the operation table is found, writable, in the section; the chip
  // records, which never change, read-only outside it.
  const DataObject* table = Find(all, "FlashOps");
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table->section, kDeviceStateSection);
  EXPECT_TRUE(table->writable);
  const DataObject* records = Find(all, "NandChipParams");
  ASSERT_NE(records, nullptr);
  EXPECT_FALSE(records->writable) << records->section;
}

TEST(DeviceState, VariablesWithoutTheMarkAreFoundAndNothingElse) {
  std::vector<DataObject> objects = DataObjects(KALVORI_DEVICE_STATE_SAMPLE);
  std::set<std::string> unreset;
  for (const auto& o : objects) {
    if (o.writable && o.section != kDeviceStateSection) unreset.insert(o.name);
  }
  EXPECT_EQ(unreset, (std::set<std::string>{"UnmarkedCount", "UnmarkedFlag", "SampleTouch()::calls"}))
      << Lines(Unreset(objects));
  ASSERT_NE(Find(objects, "MarkedCount"), nullptr);
  EXPECT_EQ(Find(objects, "MarkedCount")->section, kDeviceStateSection);
}

}  // namespace
