// The hash list: a text file of 8-bit characters with one file per line, given
// by its size and the CRC-32 of its sampled content (the two halves of a file
// fingerprint), both hexadecimal, separated by one or more spaces:
//
//   2000 1234abcd
//   0x2000 0X1234ABCD   a third token and anything after it are ignored
//
// A line ends at a line feed, at a carriage return followed by a line feed, or
// at a carriage return alone: lists come from Unix, Windows and classic Mac
// editors alike, and each of the three ends one line (a CR LF is one line end,
// never a line end and an empty line). The line end is not part of the line;
// it counts as one character, as the line feed of a file read in text mode
// does. A line holds at most kHashLineMaxChars characters; the rest of a longer
// line is discarded, never read as further lines. The text of a line ends at
// its first NUL byte, as it would for the C string it is read into.
//
// A line is used when, counted with its line end (when it has one and no NUL
// precedes it), it has at least kHashLineMinChars characters and its first two
// space-separated tokens are both numbers: optional white space, an optional
// 0x/0X prefix, then at least one hexadecimal digit; the number ends at the first
// other character and must fit in 32 bits. A tab is an ordinary character, not a
// separator. Every used line becomes one program block of 200 bytes that holds
// only its name "%08x%08x.*" and the fingerprint (PB_FINGERPRINT).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "blocklist/program_block_decode.h"

namespace tl {

class PayloadBuilder;

namespace platform {
class File;
}

inline constexpr size_t kHashLineMaxChars = 16383;
inline constexpr size_t kHashLineMinChars = 4;
// The block a used line becomes: a 160-byte record with an 18-unit name.
inline constexpr uint32_t kHashBlockSize = 200;

// Whether `b` is the entry a hash list line makes (BuildHashBlock): the
// fingerprint its only attribute and the fingerprint's hash name
// ("SSSSSSSSCCCCCCCC.*", lowercase) its name. Such an entry is what a hash
// list line stands for, and only such an entry can be written back as one.
bool IsHashListEntry(const DecodedProgramBlock& b);

// The fingerprint (size << 32 | CRC) a name of the hash-name form stands for:
// 16 hexadecimal digits of either case followed by ".*". False for any other
// name.
bool ParseHashName(const std::u16string& name, uint64_t* fingerprint);

enum class HashLineStatus : uint8_t {
  kUsed,          // a block was built
  kTooShort,      // fewer than 4 characters, line end included
  kMissingToken,  // fewer than two tokens
  kNotANumber,    // a token without a hexadecimal number, or one above 32 bits
};

// Short English text of a status, for reports.
const char* HashLineStatusText(HashLineStatus status);

// One line as the reader saw it.
struct HashListLine {
  uint32_t number = 0;  // 1-based, in file order
  HashLineStatus status = HashLineStatus::kTooShort;
  bool cut = false;        // longer than kHashLineMaxChars; the rest was discarded
  bool nul = false;        // its text held a NUL byte and was read only up to it
  uint32_t file_size = 0;  // the first number (kUsed only)
  uint32_t crc = 0;        // the second number (kUsed only)
  // The finished block (kUsed only), kHashBlockSize bytes, valid during the call.
  const uint8_t* block = nullptr;
  uint32_t block_size = 0;
};

// Receives the lines of a hash list in file order.
class HashListSink {
 public:
  virtual void OnLine(const HashListLine& line) = 0;

 protected:
  ~HashListSink() = default;
};

// Converts one token as the "%x" conversion does, stricter in two ways: the
// token must begin (after white space and an optional 0x/0X) with a hexadecimal
// digit, and the value must fit in 32 bits. No sign is accepted. `token` is
// `len` characters long (it need not be terminated).
bool ParseHexToken(const char* token, size_t len, uint32_t* value);

// Judges one line of `len` characters (line end removed) that had a line end
// when `had_line_feed`. On kUsed stores the two numbers.
HashLineStatus ParseHashLine(const char* line, size_t len, bool had_line_feed, uint32_t* file_size,
                             uint32_t* crc);

// Builds the block of a used line in `work` (at least kHashBlockSize bytes).
// Returns its size, kHashBlockSize.
uint32_t BuildHashBlock(uint8_t* work, uint32_t file_size, uint32_t crc);

// Splits bytes into lines and reports each to a sink. Bytes may come in pieces
// of any size (a CR LF split between two pieces is still one line end); Finish
// reports a last line that has no line end. Memory use is fixed: one line
// buffer.
class HashListParser {
 public:
  explicit HashListParser(HashListSink& sink) : sink_(sink) {}
  HashListParser(const HashListParser&) = delete;
  HashListParser& operator=(const HashListParser&) = delete;

  void Feed(const uint8_t* data, size_t len);
  void Finish();
  uint32_t lines() const { return number_; }

 private:
  void Put(char c);
  void Deliver(bool had_line_feed, bool cut);

  HashListSink& sink_;
  char line_[kHashLineMaxChars] = {};
  size_t len_ = 0;
  uint32_t number_ = 0;
  bool after_cr_ = false;    // the last byte was a CR: an LF now completes its line end
  bool discarding_ = false;  // inside the discarded rest of an over-long line
};

// The pieces ReadHashList reads a file in: a 150,000-line list is read in
// under 200 calls, each a system call (and under Wine a server round trip) of
// its own.
inline constexpr size_t kHashListReadChunk = 16384;

// Reads the file at `path` (opened for reading, shared for reading) in
// kHashListReadChunk pieces and reports its lines to `sink`. Reading stops at
// the first read that delivers nothing, or at 4 GiB. False when the file cannot
// be opened, or when a read fails: the sink has then seen only part of the
// list (the last line before the error is not reported) and must not be used
// as the whole.
bool ReadHashList(const char16_t* path, HashListSink& sink);

// The same over a file the caller opened (and keeps): read from its offset 0.
bool ReadHashList(platform::File& file, HashListSink& sink);

// What an import did with the lines of its file.
struct HashListStats {
  uint32_t lines = 0;
  uint32_t used = 0;     // blocks taken into the payload
  uint32_t skipped = 0;  // too short, a token missing, or not a number
  uint32_t dropped = 0;  // used lines memory ran short for
};

// The payload an import of the file stores, built without a list in between:
// every used line's block goes to `builder` in file order, with the list's
// rule (a repeated pair replaces the earlier block and moves to the end), into
// one buffer sized from the file's length. False when a read fails or when
// memory runs short (stats->dropped then counts the lines it cost): the builder
// holds only part of the list and must not be stored as the whole. `stats` may
// be null.
bool BuildHashListPayload(platform::File& file, PayloadBuilder& builder,
                          HashListStats* stats = nullptr);

// Gives a builder room for the blocks of a hash list of `file_bytes` bytes:
// one block per 16 bytes of text (a line "%08x %08x" and its line end take
// 18). A reservation that fails is no failure: the builder grows as it goes.
void ReserveForHashList(PayloadBuilder& builder, uint64_t file_bytes);

}  // namespace tl
