#include "sign/allowed_signers.h"

#include <algorithm>

#include "sign/base64.h"
#include "sign/ssh_time.h"

namespace tl::ctl::sign {
namespace {

constexpr std::string_view kBlanks = " \t";          // between a key's type, base64 and comment
constexpr std::string_view kWhitespace = " \t\r\n";  // around the principals
constexpr const char* kNoKeyText = "no key type and base64 key";

size_t Skip(std::string_view s, size_t at, std::string_view chars) {
  const size_t next = s.find_first_not_of(chars, at);
  return next == std::string_view::npos ? s.size() : next;
}

bool StartsIgnoringCase(std::string_view s, size_t at, std::string_view word) {
  if (s.size() - at < word.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    char c = s[at + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != word[i]) return false;
  }
  return true;
}

// A key as a line writes it, "type base64 [comment]", read from the start of
// `text`: the type must be followed by a blank, and the base64 runs to the
// next blank (a line end inside it is skipped by the decoding).
KeyParse ReadKeyText(std::string_view text) {
  KeyParse fail;
  const size_t type_end = text.find_first_of(kBlanks);
  if (type_end == std::string_view::npos) {
    fail.problem = kNoKeyText;
    return fail;
  }
  const std::string_view type = text.substr(0, type_end);
  const std::optional<KeyKind> kind = KeyKindOfName(type);
  const std::optional<std::string> unsupported = UnsupportedKeyType(type);
  if (!kind && !unsupported) {
    fail.problem = "unknown key type \"" + std::string(type) + "\"";
    return fail;
  }
  const size_t blob_at = Skip(text, type_end, kBlanks);
  if (blob_at == text.size()) {
    fail.problem = "no base64 key after the key type";
    return fail;
  }
  const size_t blob_end = std::min(text.find_first_of(kBlanks, blob_at), text.size());
  const std::optional<std::vector<uint8_t>> blob =
      DecodeSshBase64(text.substr(blob_at, blob_end - blob_at));
  if (!blob) {
    fail.problem = "the key's base64 is not valid";
    return fail;
  }
  KeyParse key = ParseSshPublicKey(*blob);
  if (unsupported) {
    if (key.status == KeyStatus::kMalformed) return key;
    key.status = KeyStatus::kUnsupported;
    key.problem = *unsupported;
    return key;
  }
  if (key.status == KeyStatus::kUnsupported ||
      (key.status == KeyStatus::kOk && key.key.kind != *kind)) {
    fail.problem = "the key is not of its named type " + std::string(type);
    return fail;
  }
  return key;
}

// A quoted option value at `*at` (which is moved past it): "..." with \"
// standing for a quote.
bool Dequote(std::string_view options, size_t* at, std::string* value, std::string* problem) {
  if (*at >= options.size() || options[*at] != '"') {
    *problem = "missing start quote";
    return false;
  }
  value->clear();
  size_t i = *at + 1;
  while (i < options.size() && options[i] != '"') {
    if (options[i] == '\\' && i + 1 < options.size() && options[i + 1] == '"') ++i;
    value->push_back(options[i++]);
  }
  if (i == options.size()) {
    *problem = "missing end quote";
    return false;
  }
  *at = i + 1;
  return true;
}

bool OptionNamed(std::string_view options, size_t* at, std::string_view name) {
  if (!StartsIgnoringCase(options, *at, name) || *at + name.size() >= options.size() ||
      options[*at + name.size()] != '=') {
    return false;
  }
  *at += name.size() + 1;
  return true;
}

bool ReadTimeOption(std::string_view options, size_t* at, const char* name, int64_t* bound,
                    std::string* problem) {
  if (*bound != 0) {
    *problem = std::string("multiple \"") + name + "\" clauses";
    return false;
  }
  std::string value;
  if (!Dequote(options, at, &value, problem)) return false;
  const std::optional<int64_t> t = ParseSshTime(value);
  if (!t) {
    *problem = std::string("invalid \"") + name + "\" time \"" + value + "\"";
    return false;
  }
  *bound = *t;
  return true;
}

bool ReadOptions(std::string_view options, SignerLine* line, std::string* problem) {
  size_t at = 0;
  while (at < options.size() && options[at] != ' ' && options[at] != '\t') {
    std::string value;
    if (StartsIgnoringCase(options, at, "cert-authority")) {
      line->cert_authority = true;
      at += std::string_view("cert-authority").size();
    } else if (OptionNamed(options, &at, "namespaces")) {
      if (line->namespaces) {
        *problem = "multiple \"namespaces\" clauses";
        return false;
      }
      if (!Dequote(options, &at, &value, problem)) return false;
      line->namespaces = value;
    } else if (OptionNamed(options, &at, "valid-after")) {
      if (!ReadTimeOption(options, &at, "valid-after", &line->valid_after, problem)) return false;
    } else if (OptionNamed(options, &at, "valid-before")) {
      if (!ReadTimeOption(options, &at, "valid-before", &line->valid_before, problem)) {
        return false;
      }
    }
    if (at == options.size() || options[at] == ' ' || options[at] == '\t') break;
    if (options[at] != ',') {
      *problem = "unknown key option";
      return false;
    }
    if (++at == options.size()) {
      *problem = "unexpected end of options";
      return false;
    }
  }
  if (line->valid_after != 0 && line->valid_before != 0 &&
      line->valid_before <= line->valid_after) {
    *problem = "\"valid-before\" time is not after \"valid-after\"";
    return false;
  }
  return true;
}

// One line, its LF included when it has one. Returns false with *problem when
// it cannot be read; a comment gives true with no signer.
bool ReadLine(std::string_view text, size_t number, std::optional<SignerLine>* signer,
              std::string* problem) {
  const size_t start = Skip(text, 0, kWhitespace);
  if (start == text.size() || text[start] == '#') return true;

  // The principals, with their quoted part.
  std::string principals(text.substr(start));
  std::string_view rest;
  const size_t stop = principals.find_first_of("\"" + std::string(kWhitespace));
  if (stop == std::string::npos) {
    *problem = "no key follows the principals";
    return false;
  }
  std::string tail;
  if (principals[stop] == '"') {
    principals.erase(stop, 1);
    const size_t close = principals.find('"', stop);
    if (close == std::string::npos) {
      *problem = "a quote in the principals is not closed";
      return false;
    }
    tail = principals.substr(close + 1);
    principals.resize(close);
  } else {
    tail = principals.substr(stop + 1);
    principals.resize(stop);
  }
  rest = tail;
  rest.remove_prefix(Skip(rest, 0, kWhitespace));

  SignerLine line;
  line.number = number;
  line.principals = principals;
  line.key = ReadKeyText(rest);
  if (line.key.status == KeyStatus::kMalformed) {
    const KeyParse as_key = line.key;
    // Not a key: options, then the key after the first blank outside quotes.
    bool quoted = false;
    size_t end = 0;
    for (; end < rest.size() && (quoted || (rest[end] != ' ' && rest[end] != '\t')); ++end) {
      if (rest[end] == '\\' && end + 1 < rest.size() && rest[end + 1] == '"') {
        ++end;
      } else if (rest[end] == '"') {
        quoted = !quoted;
      }
    }
    if (quoted) {
      *problem = "a quote in the options is not closed";
      return false;
    }
    if (end == rest.size()) {
      *problem = "missing key";
      return false;
    }
    const std::string_view options = rest.substr(0, end);
    line.key = ReadKeyText(rest.substr(Skip(rest, end + 1, kBlanks)));
    if (line.key.status == KeyStatus::kMalformed) {
      // Nothing key-like after the first word: that word and the next were
      // meant as the key, and what is wrong with them is the better answer.
      const bool no_key_after = line.key.problem == kNoKeyText;
      *problem = "invalid key: " + (no_key_after ? as_key.problem : line.key.problem);
      return false;
    }
    std::string why;
    if (!ReadOptions(options, &line, &why)) {
      *problem = "bad options: " + why;
      return false;
    }
  }
  *signer = std::move(line);
  return true;
}

}  // namespace

AllowedSigners ParseAllowedSigners(std::string_view text) {
  AllowedSigners out;
  size_t number = 0;
  size_t at = 0;
  while (at < text.size()) {
    const size_t lf = text.find('\n', at);
    const size_t next = lf == std::string_view::npos ? text.size() : lf + 1;
    std::string_view line = text.substr(at, next - at);
    at = next;
    ++number;
    line = line.substr(0, line.find('\0'));
    std::optional<SignerLine> signer;
    std::string problem;
    if (!ReadLine(line, number, &signer, &problem)) {
      out.problems.push_back({number, problem});
    } else if (signer) {
      out.signers.push_back(std::move(*signer));
    }
  }
  return out;
}

}  // namespace tl::ctl::sign
