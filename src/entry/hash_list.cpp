#include "entry/hash_list.h"

#include <cstring>
#include <memory>

#include "blocklist/block_header.h"
#include "blocklist/program_block.h"
#include "common/le.h"
#include "common/u16.h"
#include "entry/payload_builder.h"
#include "platform/file.h"

namespace tl {
namespace {

// White space as the C library's isspace sees it in the "C" locale.
constexpr bool IsCSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The next token of a line split at spaces only (strtok with " "): skips the
// spaces before it; false when only spaces remain.
bool NextToken(const char* line, size_t len, size_t* pos, size_t* start, size_t* end) {
  size_t i = *pos;
  while (i < len && line[i] == ' ') ++i;
  if (i == len) return false;
  *start = i;
  while (i < len && line[i] != ' ') ++i;
  *end = i;
  *pos = i;
  return true;
}

}  // namespace

const char* HashLineStatusText(HashLineStatus status) {
  switch (status) {
    case HashLineStatus::kUsed:
      return "used";
    case HashLineStatus::kTooShort:
      return "shorter than 4 characters";
    case HashLineStatus::kMissingToken:
      return "fewer than two tokens";
    case HashLineStatus::kNotANumber:
      return "a token is not a 32-bit hexadecimal number";
  }
  return "";
}

bool ParseHexToken(const char* token, size_t len, uint32_t* value) {
  size_t i = 0;
  while (i < len && IsCSpace(token[i])) ++i;
  // "0x" counts as a prefix only when a digit follows it; "0xg" holds no
  // number, as the standard conversion sees it (it fails to match there).
  if (i + 1 < len && token[i] == '0' && (token[i + 1] == 'x' || token[i + 1] == 'X')) {
    if (i + 2 >= len || HexDigit(token[i + 2]) < 0) return false;
    i += 2;
  }
  if (i >= len || HexDigit(token[i]) < 0) return false;
  uint64_t v = 0;
  for (; i < len; ++i) {
    const int d = HexDigit(token[i]);
    if (d < 0) break;
    v = (v << 4) | static_cast<uint64_t>(d);
    if (v > 0xFFFFFFFFu) return false;  // leading zeros never get here
  }
  *value = static_cast<uint32_t>(v);
  return true;
}

HashLineStatus ParseHashLine(const char* line, size_t len, bool had_line_feed, uint32_t* file_size,
                             uint32_t* crc) {
  if (len + (had_line_feed ? 1 : 0) < kHashLineMinChars) return HashLineStatus::kTooShort;
  size_t pos = 0, s1 = 0, e1 = 0, s2 = 0, e2 = 0;
  if (!NextToken(line, len, &pos, &s1, &e1) || !NextToken(line, len, &pos, &s2, &e2)) {
    return HashLineStatus::kMissingToken;
  }
  uint32_t a = 0, b = 0;
  if (!ParseHexToken(line + s1, e1 - s1, &a) || !ParseHexToken(line + s2, e2 - s2, &b)) {
    return HashLineStatus::kNotANumber;
  }
  *file_size = a;
  *crc = b;
  return HashLineStatus::kUsed;
}

bool IsHashListEntry(const DecodedProgramBlock& b) {
  char16_t name[kHashNameLen + 1];
  U16FormatHashName(name, static_cast<uint32_t>(b.fingerprint >> 32),
                    static_cast<uint32_t>(b.fingerprint));
  return b.flags == PB_FINGERPRINT && b.name == name;
}

bool ParseHashName(const std::u16string& name, uint64_t* fingerprint) {
  if (name.size() != kHashNameLen || name[16] != u'.' || name[17] != u'*') return false;
  uint64_t fp = 0;
  for (size_t i = 0; i < 16; ++i) {
    const char16_t c = name[i];
    const int digit = c >= u'0' && c <= u'9'   ? c - u'0'
                      : c >= u'a' && c <= u'f' ? c - u'a' + 10
                      : c >= u'A' && c <= u'F' ? c - u'A' + 10
                                               : -1;
    if (digit < 0) return false;
    fp = (fp << 4) | static_cast<uint64_t>(digit);
  }
  *fingerprint = fp;
  return true;
}

uint32_t BuildHashBlock(uint8_t* work, uint32_t file_size, uint32_t crc) {
  char16_t name[kHashNameLen + 1];
  U16FormatHashName(name, file_size, crc);
  ProgramBlockFields f;
  f.name = PbString{name, kHashNameLen};
  f.flags = PB_FINGERPRINT;
  f.fingerprint = (static_cast<uint64_t>(file_size) << 32) | crc;
  return AssembleProgramBlock(f, work, kHashBlockSize);
}
static_assert(PbSizeForUnits(kHashNameLen + 2) == kHashBlockSize);

void HashListParser::Feed(const uint8_t* data, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    char c = static_cast<char>(data[i]);
    // A CR ends its line at once; an LF right behind it (in this piece or the
    // next) belongs to the same line end and is dropped.
    if (after_cr_) {
      after_cr_ = false;
      if (c == '\n') continue;
    }
    if (c == '\r') {
      after_cr_ = true;
      c = '\n';
    }
    Put(c);
  }
}

void HashListParser::Finish() {
  after_cr_ = false;
  if (discarding_) {
    discarding_ = false;
  } else if (len_ > 0) {
    Deliver(false, false);
  }
}

void HashListParser::Put(char c) {
  if (discarding_) {
    if (c == '\n') discarding_ = false;
    return;
  }
  if (c == '\n') {
    Deliver(true, false);
    return;
  }
  if (len_ == kHashLineMaxChars) {
    // The line is longer than the buffer: what it holds is the line, the rest
    // up to the next line end is dropped.
    Deliver(false, true);
    discarding_ = true;
    return;
  }
  line_[len_++] = c;
}

void HashListParser::Deliver(bool had_line_feed, bool cut) {
  size_t len = len_;
  len_ = 0;
  HashListLine line;
  // The line is a C string: it ends at a NUL byte, and its line end then lies
  // beyond its end.
  if (const void* nul = std::memchr(line_, 0, len)) {
    len = static_cast<size_t>(static_cast<const char*>(nul) - line_);
    had_line_feed = false;
    line.nul = true;
  }
  line.number = ++number_;
  line.cut = cut;
  line.status = ParseHashLine(line_, len, had_line_feed, &line.file_size, &line.crc);
  alignas(8) uint8_t work[kHashBlockSize];
  if (line.status == HashLineStatus::kUsed) {
    line.block_size = BuildHashBlock(work, line.file_size, line.crc);
    line.block = work;
  } else {
    line.file_size = line.crc = 0;
  }
  sink_.OnLine(line);
}

bool ReadHashList(platform::File& file, HashListSink& sink) {
  HashListParser parser(sink);
  uint8_t chunk[kHashListReadChunk];
  uint64_t offset = 0;
  // File offsets are 32-bit: a file is read up to 4 GiB at most.
  while (offset < 0x100000000ull) {
    const uint64_t room = 0x100000000ull - offset;
    const auto want = static_cast<uint32_t>(room < sizeof chunk ? room : sizeof chunk);
    uint32_t done = 0;
    // A failed read is not the end of the list: what came before it is only
    // part of the list, and the caller must not take it for the whole.
    if (!file.ReadAt(static_cast<uint32_t>(offset), chunk, want, &done)) return false;
    if (done == 0) break;
    if (done > want) done = want;
    parser.Feed(chunk, done);
    offset += done;
  }
  parser.Finish();
  return true;
}

bool ReadHashList(const char16_t* path, HashListSink& sink) {
  if (path == nullptr) return false;
  std::unique_ptr<platform::File> file = platform::OpenFileForReading(path);
  if (!file) return false;
  return ReadHashList(*file, sink);
}

namespace {

class BuilderSink final : public HashListSink {
 public:
  BuilderSink(PayloadBuilder& builder, HashListStats* stats) : builder_(builder), stats_(stats) {}
  void OnLine(const HashListLine& line) override {
    ++stats_->lines;
    if (line.status != HashLineStatus::kUsed) {
      ++stats_->skipped;
      return;
    }
    // Once memory has run short the list is lost as a whole: later lines are
    // only counted, so that a smaller list is never taken for the file. A
    // name key of 0 is such a shortage too: a hash name is never empty, so
    // only a working copy that could not be allocated gives it.
    if (stats_->dropped != 0 || LoadU64(line.block, kBlockKeyOffset) == 0 ||
        !builder_.Add(line.block, line.block_size)) {
      ++stats_->dropped;
      return;
    }
    ++stats_->used;
  }

 private:
  PayloadBuilder& builder_;
  HashListStats* stats_;
};

}  // namespace

void ReserveForHashList(PayloadBuilder& builder, uint64_t file_bytes) {
  const uint64_t lines = file_bytes / 16 + 1;
  builder.Reserve(lines * kHashBlockSize, lines);
}

bool BuildHashListPayload(platform::File& file, PayloadBuilder& builder, HashListStats* stats) {
  HashListStats local;
  if (stats == nullptr) stats = &local;
  *stats = HashListStats{};
  uint32_t file_bytes = 0;
  if (file.Size(&file_bytes)) ReserveForHashList(builder, file_bytes);
  BuilderSink sink(builder, stats);
  return ReadHashList(file, sink) && stats->dropped == 0;
}

}  // namespace tl
