#include "sim/core/faults.h"

#include <algorithm>
#include <cctype>

namespace sim {

namespace {

bool ContainsIgnoringCase(std::string_view text, std::string_view part) {
  auto it = std::search(text.begin(), text.end(), part.begin(), part.end(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
  });
  return it != text.end();
}

}  // namespace

std::optional<std::uint32_t> Faults::Take(FaultOp op, std::string_view subject) {
  for (FaultRule& rule : rules_) {
    if (rule.op != op || rule.count == 0) continue;
    if (rule.matches ? !rule.matches(subject)
                     : !rule.subject.empty() && !ContainsIgnoringCase(subject, rule.subject)) {
      continue;
    }
    if (rule.skip > 0) {
      --rule.skip;
      continue;
    }
    if (rule.count > 0) --rule.count;
    return rule.error;
  }
  return std::nullopt;
}

std::uint32_t Faults::TakeWrite(std::string_view path, std::uint32_t bytes, std::optional<std::uint32_t>& error) {
  std::uint32_t allowed = bytes;
  error.reset();
  for (const WriteFailureRule& rule : write_rules_) {
    if (rule.matches && !rule.matches(path)) continue;
    if (rule.bytes_left < allowed) {
      allowed = static_cast<std::uint32_t>(rule.bytes_left);
      error = rule.error;
    }
  }
  for (WriteFailureRule& rule : write_rules_) {
    if (!rule.matches || rule.matches(path)) rule.bytes_left -= allowed;
  }
  return allowed;
}

}  // namespace sim
