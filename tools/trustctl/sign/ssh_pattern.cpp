#include "sign/ssh_pattern.h"

#include <cstddef>

namespace tl::ctl::sign {
namespace {

constexpr size_t kLongestPattern = 1022;

}  // namespace

// Greedy matching with one saved '*': when a later character fails, the last
// '*' takes one more character and matching resumes after it. A failure there
// can never be mended by an earlier '*', so no deeper backtracking is needed.
bool MatchPattern(std::string_view text, std::string_view pattern) {
  size_t t = 0, p = 0;
  size_t star = std::string_view::npos, star_text = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      star_text = t;
    } else if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
      ++p;
      ++t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++star_text;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

ListMatch MatchPatternList(std::string_view text, std::string_view list) {
  bool matched = false;
  size_t at = 0;
  while (at < list.size()) {
    const bool negated = list[at] == '!';
    if (negated) ++at;
    size_t end = list.find(',', at);
    if (end == std::string_view::npos) end = list.size();
    const std::string_view pattern = list.substr(at, end - at);
    if (pattern.size() > kLongestPattern) return ListMatch::kNone;
    at = end < list.size() ? end + 1 : end;
    if (MatchPattern(text, pattern)) {
      if (negated) return ListMatch::kRefused;
      matched = true;
    }
  }
  return matched ? ListMatch::kMatched : ListMatch::kNone;
}

}  // namespace tl::ctl::sign
