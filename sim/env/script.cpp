#include "sim/env/script.h"

#include <charconv>

#include "sim/core/text.h"
#include "sim/os/filesystem.h"

namespace sim {

namespace {

[[noreturn]] void Fail(int line, const std::string& what) {
  throw ScriptError("line " + std::to_string(line) + ": " + what);
}

// Splits a line into words; a double-quoted word may hold spaces. '#' outside quotes ends the line.
std::vector<std::string> Words(std::string_view text, int line) {
  std::vector<std::string> words;
  std::size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      ++i;
    } else if (c == '#') {
      break;
    } else if (c == '"') {
      std::size_t end = text.find('"', i + 1);
      if (end == std::string_view::npos) Fail(line, "a double quote is not closed");
      if (end + 1 < text.size() && text[end + 1] != ' ' && text[end + 1] != '\t' && text[end + 1] != '\r' &&
          text[end + 1] != '#') {
        Fail(line, "a closing double quote must end its word");
      }
      words.emplace_back(text.substr(i + 1, end - i - 1));
      i = end + 1;
    } else {
      std::size_t end = i;
      while (end < text.size() && text[end] != ' ' && text[end] != '\t' && text[end] != '\r' && text[end] != '\n') {
        if (text[end] == '"') Fail(line, "a double quote in the middle of a word");
        ++end;
      }
      words.emplace_back(text.substr(i, end - i));
      i = end;
    }
  }
  return words;
}

void ExpectCount(const std::vector<std::string>& words, std::size_t least, std::size_t most, int line,
                 const char* usage) {
  if (words.size() < least || words.size() > most) Fail(line, std::string("usage: ") + usage);
}

std::u16string VolumeName(const std::string& word, int line) {
  std::u16string name = ToUtf16(word);
  std::string problem = CheckVolumeName(name);
  if (!problem.empty()) Fail(line, "volume name '" + word + "': " + problem);
  return name;
}

}  // namespace

bool ParseScriptLine(std::string_view text, int line, ScriptCommand& command) {
  std::vector<std::string> words = Words(text, line);
  if (words.empty()) return false;
  command = ScriptCommand{};
  command.line = line;
  const std::string& verb = words[0];
  if (verb == "mount") {
    ExpectCount(words, 2, 3, line, "mount NAME [HOSTDIR]");
    command.kind = ScriptCommand::Kind::kMount;
    command.name = VolumeName(words[1], line);
    if (words.size() == 3) {
      if (words[2].empty()) Fail(line, "empty host folder");
      command.host_dir = words[2];
    }
  } else if (verb == "unmount") {
    ExpectCount(words, 2, 2, line, "unmount NAME");
    command.kind = ScriptCommand::Kind::kUnmount;
    command.name = VolumeName(words[1], line);
  } else if (verb == "shift") {
    ExpectCount(words, 2, 2, line, "shift down | shift up");
    if (words[1] == "down") {
      command.kind = ScriptCommand::Kind::kShiftDown;
    } else if (words[1] == "up") {
      command.kind = ScriptCommand::Kind::kShiftUp;
    } else {
      Fail(line, "usage: shift down | shift up");
    }
  } else if (verb == "wait") {
    ExpectCount(words, 2, 2, line, "wait MS");
    const std::string& n = words[1];
    auto [end, error] = std::from_chars(n.data(), n.data() + n.size(), command.ms);
    if (error != std::errc() || end != n.data() + n.size()) {
      Fail(line, "wait: '" + n + "' is not a number of milliseconds (0 to 4294967295)");
    }
    command.kind = ScriptCommand::Kind::kWait;
  } else if (verb == "quit") {
    ExpectCount(words, 1, 1, line, "quit");
    command.kind = ScriptCommand::Kind::kQuit;
  } else {
    Fail(line, "unknown command '" + verb + "' (mount, unmount, shift, wait, quit)");
  }
  return true;
}

std::vector<ScriptCommand> ParseScript(std::string_view text) {
  std::vector<ScriptCommand> commands;
  int line = 0;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    ++line;
    ScriptCommand command;
    if (ParseScriptLine(text.substr(start, end - start), line, command)) commands.push_back(std::move(command));
    start = end + 1;
  }
  return commands;
}

}  // namespace sim
