// The launcher's worst-case stack on the module, from the ARM compiler's own account of every frame
// and call (cmake/StackUsage.cmake): the deepest chain of calls from the executable's entry, with
// AutoCopy's recursion as deep as the path limit lets a tree go. It must stay within the figure the
// README states; the stack reserve of the module build leaves the rest to the operating system.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <cxxabi.h>
#include <gtest/gtest.h>

#include "flash/bbmt/bbmt_internal.h"
#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;

// The launcher's own frames on the module may take this much at most; the module build reserves
// 128 KiB of stack (cmake/WinceModule.cmake), leaving the rest to the operating system's services
// and the runtime start-up.
constexpr std::uint32_t kBudgetBytes = 40 * 1024;

// The two places where the launcher's code calls itself again, and how deep each can go.
//
// AutoCopy walks a tree one level per call. The shortest folder is the empty one, so a level's
// source is at least "\AutoCopy" and two characters more per level ("\" and a name), and a level
// must still fit "\*" into the 260-character path buffer with its terminator.
constexpr std::uint32_t kShortestAutoCopy = 9;  // "\AutoCopy"
constexpr std::uint32_t kAutoCopyLevels = (OS_MAX_PATH - 1 - kShortestAutoCopy - 2) / 2 + 1;
//
// A bad-block replacement nests another when the spare it took proves bad in turn: each takes one
// more spare of the pool, which holds a fixed share of the chip's blocks (bbmt.cpp).
std::uint32_t SparePoolOfTheLargestChip() {
  std::ifstream in(fs::path(KALVORI_SOURCE_DIR) / "flash" / "bbmt" / "bbmt.cpp");
  std::stringstream text;
  text << in.rdbuf();
  std::smatch m;
  const std::string source = text.str();
  if (!std::regex_search(source, m, std::regex(R"(#define BBMT_RESERVED_DIVISOR (\d+)u)"))) {
    throw std::runtime_error("flash/bbmt/bbmt.cpp no longer says how large the spare pool is");
  }
  return BBMT_MAP_ENTRIES / static_cast<std::uint32_t>(std::stoul(m[1]));
}

struct Recursion {
  const char* function;
  std::uint32_t depth;
};

struct Call {
  std::string target;  // a function's key, or "" for a call through a pointer
  std::string site;    // file:line:column
};

struct Function {
  std::string key;
  std::string name;  // demangled: "CopyTreeLevel(CopyTreeWalk*, unsigned int)"
  std::string file;  // relative to the source folder; empty when not defined in the sources read
  std::uint32_t frame = 0;
  bool dynamic = false;  // a frame whose size the compiler cannot bound
  std::vector<Call> calls;
};

// The call graph of every .ci file in a folder.
class CallGraph {
 public:
  explicit CallGraph(std::vector<Recursion> recursions = {}) : recursions_(std::move(recursions)) {}

  void Read(const fs::path& ci_file, const fs::path& source_dir) {
    std::ifstream in(ci_file);
    std::string line;
    const std::regex node(R"re(^node: \{ title: "([^"]*)" label: "([^"]*)"( shape : ellipse)? \})re");
    const std::regex edge(R"re(^edge: \{ sourcename: "([^"]*)" targetname: "([^"]*)" label: "([^"]*)" \})re");
    const std::string unit = ci_file.filename().string();
    std::smatch m;
    while (std::getline(in, line)) {
      if (std::regex_match(line, m, node)) {
        if (m[1] == "__indirect_call") continue;
        Function& f = Named(m[1], unit);
        if (m[3].matched) continue;  // declared here, defined elsewhere (or by the system)
        std::vector<std::string> label = Split(m[2], "\\n");
        f.file = Relative(label.at(1).substr(0, label.at(1).find(':')), source_dir);
        const std::string& size = label.at(2);
        f.frame = static_cast<std::uint32_t>(std::stoul(size));
        f.dynamic = size.find("dynamic") != std::string::npos;
      } else if (std::regex_match(line, m, edge)) {
        Function& caller = Named(m[1], unit);
        caller.calls.push_back({m[2] == "__indirect_call" ? "" : Named(m[2], unit).key, Relative(m[3], source_dir)});
      }
    }
  }

  // The deepest stack from the function on, and the chain of calls that takes it.
  std::uint32_t Worst(const std::string& key, std::vector<std::string>* chain = nullptr) {
    Result r = *Longest(key, "", "");
    if (chain) *chain = r.chain;
    return r.bytes;
  }

  // The function of that name defined in the sources read, or null.
  const Function* Find(const std::string& name) const {
    for (const auto& [key, f] : functions_) {
      if (!f.file.empty() && f.name.substr(0, f.name.find('(')) == name) return &f;
    }
    return nullptr;
  }

 private:
  struct Result {
    std::uint32_t bytes = 0;
    std::vector<std::string> chain;
  };

  static std::vector<std::string> Split(const std::string& text, const std::string& separator) {
    std::vector<std::string> parts;
    std::size_t start = 0, end;
    while ((end = text.find(separator, start)) != std::string::npos) {
      parts.push_back(text.substr(start, end - start));
      start = end + separator.size();
    }
    parts.push_back(text.substr(start));
    return parts;
  }
  static std::string Relative(const std::string& path, const fs::path& source_dir) {
    std::string base = source_dir.string() + "/";
    return path.rfind(base, 0) == 0 ? path.substr(base.size()) : path;
  }
  // Functions of internal linkage are one per source file (the compiler names them "file:_ZL...",
  // but a name without the file is made unique here too); the others one per program.
  static std::string Key(const std::string& title, const std::string& unit) {
    return title.rfind("_ZL", 0) == 0 ? title + "@" + unit : title;
  }
  Function& Named(const std::string& title, const std::string& unit) {
    Function& f = functions_[Key(title, unit)];
    if (f.key.empty()) {
      f.key = Key(title, unit);
      // A function of internal linkage comes as "file:name"; extern "C" names are not mangled.
      const std::string symbol = title.substr(title.rfind(':') + 1);
      int status = -1;
      char* demangled = symbol.rfind("_Z", 0) == 0 ? abi::__cxa_demangle(symbol.c_str(), nullptr, nullptr, &status) : nullptr;
      f.name = status == 0 ? demangled : symbol;
      std::free(demangled);
    }
    return f;
  }
  static std::string Shown(const Function& f) {
    std::string name = f.name.substr(0, f.name.find('('));
    return f.file.empty() ? name + " (the operating system)" : name + " (" + std::to_string(f.frame) + ")";
  }

  // Where a call through a pointer can go in the launcher: the tester hand-off calls the flash
  // library through FlashOps (any of its functions, to be safe); the library's only call through a
  // pointer is the client's progress hook, which the launcher never sets; the formatter widens
  // narrow text through the platform's conversion; the AutoCopy and AutoRun walks call their visitor,
  // which on the module is the launcher's own (its callbacks take the visitor first).
  std::vector<const Function*> Targets(const Function& caller, const Call& call) const {
    std::vector<const Function*> targets;
    // The functions defined below a folder, with the given parameters when they are given.
    auto defined_in = [&](const std::string& prefix, const std::string& parameters) {
      for (const auto& [key, f] : functions_) {
        const std::size_t open = f.name.find('(');
        if (f.file.rfind(prefix, 0) == 0 &&
            (parameters.empty() || (open != std::string::npos && f.name.substr(open) == parameters))) {
          targets.push_back(&f);
        }
      }
    };
    if (caller.file.rfind("tester/", 0) == 0) {
      defined_in("flash/", "");
    } else if (caller.file.rfind("flash/", 0) == 0) {
      // the progress hook: none
    } else if (caller.file == "launcher/folder_actions.cpp") {
      for (const auto& [key, f] : functions_) {
        if (f.file == caller.file && f.name.find("(FolderVisitor*") != std::string::npos) targets.push_back(&f);
      }
    } else if (caller.file == "platform/format.cpp") {
      defined_in("platform/", "(char const*, wchar_t*)");
    } else {
      throw std::runtime_error("a call through a pointer at " + call.site + " that the stack check does not know");
    }
    return targets;
  }

  std::vector<const Function*> Callees(const Function& f, const Call& call) const {
    if (!call.target.empty()) return {&functions_.at(call.target)};
    return Targets(f, call);
  }

  const Recursion* RecursionOf(const Function& f) const {
    for (const Recursion& r : recursions_) {
      if (f.name.substr(0, f.name.find('(')) == r.function) return &r;
    }
    return nullptr;
  }

  static void Deeper(std::optional<Result>& deepest, const std::optional<Result>& candidate) {
    if (candidate && (!deepest || candidate->bytes >= deepest->bytes)) deepest = candidate;
  }

  // The deepest stack from key on, by the calls the graph holds. With a goal, only the ways that
  // end in a call of the goal count (its own frame left out); none when there is no such way. A
  // barred function's calls are not followed. A recursion point goes round its cycle as often as
  // it can and then takes its deepest way out; any other cycle has no bound the check knows.
  std::optional<Result> Longest(const std::string& key, const std::string& goal, const std::string& barred) {
    if (key == goal) return Result{};
    if (key == barred) return std::nullopt;
    const std::string memo = key + "|" + goal + "|" + barred;
    if (auto done = results_.find(memo); done != results_.end()) return done->second;
    const Function& f = functions_.at(key);
    if (f.dynamic) throw std::runtime_error(f.name + " has a frame of unbounded size");
    if (!on_path_.insert(memo).second) throw std::runtime_error("recursion through " + f.name + " has no bound the check knows");

    std::optional<Result> result;
    const Recursion* recursion = RecursionOf(f);
    if (recursion && goal.empty() && barred.empty()) {
      std::optional<Result> round, out;
      for (const Call& call : f.calls) {
        for (const Function* callee : Callees(f, call)) {
          Deeper(round, Longest(callee->key, key, ""));
          Deeper(out, Longest(callee->key, "", key));
        }
      }
      if (!round) throw std::runtime_error(f.name + " is named as recursive but never calls itself");
      if (!out) out = Result{};
      result = Result{};
      result->bytes = (recursion->depth - 1) * (f.frame + round->bytes) + f.frame + out->bytes;
      std::string cycle = Shown(f);
      for (const std::string& step : round->chain) cycle += " > " + step;
      result->chain.push_back("(" + cycle + ") x " + std::to_string(recursion->depth - 1));
      result->chain.push_back(Shown(f));
      result->chain.insert(result->chain.end(), out->chain.begin(), out->chain.end());
    } else {
      if (recursion && !goal.empty() && key != goal) throw std::runtime_error("recursion inside recursion at " + f.name);
      std::optional<Result> deepest;
      for (const Call& call : f.calls) {
        for (const Function* callee : Callees(f, call)) Deeper(deepest, Longest(callee->key, goal, barred));
      }
      if (!goal.empty() && !deepest) {
        result = std::nullopt;  // no way to the goal from here
      } else {
        if (!deepest) deepest = Result{};
        result = Result{};
        result->bytes = f.frame + deepest->bytes;
        result->chain.push_back(Shown(f));
        result->chain.insert(result->chain.end(), deepest->chain.begin(), deepest->chain.end());
      }
    }
    on_path_.erase(memo);
    results_[memo] = result;
    return result;
  }

  std::vector<Recursion> recursions_;
  std::map<std::string, Function> functions_;
  std::map<std::string, std::optional<Result>> results_;
  std::set<std::string> on_path_;
};

std::string Joined(const std::vector<std::string>& chain) {
  std::string text;
  for (const std::string& step : chain) text += (text.empty() ? "" : " > ") + step;
  return text;
}

void WriteText(const fs::path& path, const std::string& text) {
  std::ofstream(path) << text;
}

TEST(StackUsage, TheCheckAddsFramesAlongTheDeepestChainAndBoundsTheOneRecursion) {
  // A small graph as the compiler writes it: the entry, a recursive level, a call to the system.
  fs::path dir = fs::path(::testing::TempDir()) / "stack_sample";
  fs::create_directories(dir);
  WriteText(dir / "a.ci",
            "graph: { title: \"a.cpp\"\n"
            "node: { title: \"main\" label: \"int main()\\n/src/a.cpp:1:1\\n16 bytes (static)\" }\n"
            "node: { title: \"_ZL13CopyTreeLevelv\" label: \"void CopyTreeLevel()\\n/src/a.cpp:2:1\\n40 bytes (static)\" }\n"
            "node: { title: \"small\" label: \"void small()\\n/src/a.cpp:3:1\\n8 bytes (static)\" }\n"
            "node: { title: \"Os\" label: \"void Os()\\n/src/p.h:1:1\" shape : ellipse }\n"
            "edge: { sourcename: \"main\" targetname: \"small\" label: \"/src/a.cpp:1:2\" }\n"
            "edge: { sourcename: \"main\" targetname: \"_ZL13CopyTreeLevelv\" label: \"/src/a.cpp:1:3\" }\n"
            "edge: { sourcename: \"_ZL13CopyTreeLevelv\" targetname: \"_ZL13CopyTreeLevelv\" label: \"/src/a.cpp:2:2\" }\n"
            "edge: { sourcename: \"_ZL13CopyTreeLevelv\" targetname: \"Os\" label: \"/src/a.cpp:2:3\" }\n"
            "}\n");
  CallGraph graph({{"CopyTreeLevel", 125}});
  graph.Read(dir / "a.ci", "/src");
  std::vector<std::string> chain;
  EXPECT_EQ(graph.Worst("main", &chain), 16 + 40 * 125);
  EXPECT_EQ(Joined(chain), "main (16) > (CopyTreeLevel (40)) x 124 > CopyTreeLevel (40) > Os (the operating system)");

  // Any other recursion has no bound the check knows: refused.
  WriteText(dir / "b.ci",
            "node: { title: \"f\" label: \"void f()\\n/src/b.cpp:1:1\\n8 bytes (static)\" }\n"
            "node: { title: \"g\" label: \"void g()\\n/src/b.cpp:2:1\\n8 bytes (static)\" }\n"
            "edge: { sourcename: \"f\" targetname: \"g\" label: \"/src/b.cpp:1:2\" }\n"
            "edge: { sourcename: \"g\" targetname: \"f\" label: \"/src/b.cpp:2:2\" }\n");
  CallGraph cycle({{"CopyTreeLevel", 125}});
  cycle.Read(dir / "b.ci", "/src");
  EXPECT_THROW(cycle.Worst("f"), std::runtime_error);
  // Named as a recursion, the cycle goes round as often as it may.
  CallGraph bounded({{"f", 3}});
  bounded.Read(dir / "b.ci", "/src");
  EXPECT_EQ(bounded.Worst("f", &chain), 3 * 16u);
  EXPECT_EQ(Joined(chain), "(f (8) > g (8)) x 2 > f (8) > g (8)");
  fs::remove_all(dir);
}

TEST(StackUsage, TheLaunchersDeepestChainStaysWithinTheFigure) {
#if !defined(KALVORI_STACK_USAGE_DIR)
  FAIL() << "the stack check needs arm-linux-gnueabi-g++ and mingw-w64's headers: run scripts/setup.sh";
#else
  CallGraph graph({{"CopyTreeLevel", kAutoCopyLevels}, {"ReplaceBadBlock", SparePoolOfTheLargestChip()}});
  int files = 0;
  for (const auto& entry : fs::directory_iterator(KALVORI_STACK_USAGE_DIR)) {
    if (entry.path().extension() == ".ci") {
      graph.Read(entry.path(), KALVORI_SOURCE_DIR);
      ++files;
    }
  }
  ASSERT_GT(files, 10);
  // The check build's desktop headers call the UTF-16 entry wWinMain.
  const Function* entry = graph.Find("wWinMain");
  ASSERT_NE(entry, nullptr);
  ASSERT_NE(graph.Find("CopyTreeLevel"), nullptr);
  ASSERT_NE(graph.Find("ReplaceBadBlock"), nullptr);

  std::vector<std::string> chain;
  std::uint32_t worst = graph.Worst(entry->key, &chain);
  // The two deep parts on their own, for the figures in the README.
  for (const char* part : {"RunTesterHandOff", "DrainMountQueue"}) {
    ASSERT_NE(graph.Find(part), nullptr) << part;
    std::vector<std::string> below;
    std::uint32_t bytes = graph.Worst(graph.Find(part)->key, &below);
    std::cout << part << ": " << bytes << " bytes: " << Joined(below) << "\n";
  }
  std::cout << "worst case: " << worst << " bytes: " << Joined(chain) << "\n";
  ::testing::Test::RecordProperty("worst_case_bytes", static_cast<int>(worst));
  EXPECT_LE(worst, kBudgetBytes) << Joined(chain);
#endif
}

TEST(StackUsage, TheModuleBuildReservesTheFigureAndAsMuchAgainForTheSystem) {
  std::ifstream in(fs::path(KALVORI_SOURCE_DIR) / "cmake" / "WinceModule.cmake");
  std::stringstream text;
  text << in.rdbuf();
  const std::string build = text.str();
  std::smatch m;
  ASSERT_TRUE(std::regex_search(build, m, std::regex(R"(set\(WINCE_STACK_RESERVE (\d+) )")));
  EXPECT_GE(std::stoul(m[1]), 2u * kBudgetBytes);
}

}  // namespace
