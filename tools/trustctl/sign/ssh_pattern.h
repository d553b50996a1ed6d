// Patterns as OpenSSH matches principals and namespaces against them
// (ssh-keygen(1), "ALLOWED SIGNERS"; ssh_config(5), "PATTERNS"):
//   - in a pattern, '*' matches any run of characters (none too) and '?'
//     exactly one; every other character matches itself, case counting;
//   - a list is patterns separated by commas; a pattern may start with '!'.
//     The list matches when a plain pattern matches and no '!' pattern does;
//     a matching '!' pattern refuses the whole list, wherever it stands. An
//     empty list matches nothing;
//   - a pattern of 1023 characters or more matches nothing and ends the list
//     with no match (OpenSSH's fixed buffer).
// Matching takes time bounded by the product of the lengths, never more.
#pragma once

#include <string_view>

namespace tl::ctl::sign {

bool MatchPattern(std::string_view text, std::string_view pattern);

enum class ListMatch { kNone, kMatched, kRefused };
ListMatch MatchPatternList(std::string_view text, std::string_view list);

}  // namespace tl::ctl::sign
