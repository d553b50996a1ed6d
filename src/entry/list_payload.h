// The stream payload: the bytes stored as one stream of a container, a 16-byte
// header and the serialized block sequence of the list. Little-endian.
//
//   OFFSET          SIZE            CONTENT
//   0               2               header tag, always 48
//   2               2               block count, low 16 bits
//   4               4               blocks size: bytes from offset 16 to the end
//                                   (the blocks and the 4-byte terminator)
//   8               8               reserved, 0
//   16              blocks size - 4 the blocks back to back, each `size` bytes,
//                                   with 'ZeVK' at its byte 8 and 0 at byte 44
//   12 + blocks size 4              terminator: u32 0
//
// An empty list gives 20 bytes: tag 48, count 0, blocks size 4, terminator.
// WalkListPayload reads such bytes back for the tools and the tests, checking
// every bound before it reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tl {

inline constexpr size_t kPayloadTagOffset = 0;
inline constexpr size_t kPayloadCountOffset = 2;
inline constexpr size_t kPayloadBlocksSizeOffset = 4;
inline constexpr size_t kPayloadReservedOffset = 8;
inline constexpr size_t kPayloadReservedBytes = 8;
inline constexpr size_t kPayloadHeaderBytes = 16;
inline constexpr uint16_t kPayloadTag = 48;
inline constexpr uint32_t kPayloadTerminatorBytes = 4;
inline constexpr uint32_t kEmptyPayloadBytes = kPayloadHeaderBytes + kPayloadTerminatorBytes;

static_assert(kPayloadCountOffset == kPayloadTagOffset + 2);
static_assert(kPayloadBlocksSizeOffset == kPayloadCountOffset + 2);
static_assert(kPayloadReservedOffset == kPayloadBlocksSizeOffset + 4);
static_assert(kPayloadHeaderBytes == kPayloadReservedOffset + kPayloadReservedBytes);
static_assert(kEmptyPayloadBytes == 20);

// What is wrong with a payload or a block sequence, one bit each.
enum PayloadDefect : uint32_t {
  kPayloadTooShort = 1u << 0,          // shorter than the 16-byte header
  kPayloadBadTag = 1u << 1,            // header tag is not 48
  kPayloadReservedNonZero = 1u << 2,   // header bytes 8..15 not zero
  kPayloadSizeMismatch = 1u << 3,      // 16 + blocks size differs from the length,
                                       // or from where the terminator was found
  kPayloadBadBlockSize = 1u << 4,      // a block size out of 48..0x80000000 or past the end
  kPayloadBadMagic = 1u << 5,          // a block without 'ZeVK' at its byte 8
  kPayloadNoTerminator = 1u << 6,      // the sequence runs to the end without a u32 0
  kPayloadCountMismatch = 1u << 7,     // block count differs from the blocks found (mod 65536)
  kPayloadTransientNonZero = 1u << 8,  // a block with a non-zero byte 44..47
  kPayloadTrailingBytes = 1u << 9,     // bytes after the terminator (ParseListPayload
                                       // counts them as kPayloadSizeMismatch)
};

const char* PayloadDefectText(uint32_t defect_bit);

// Writes the header of a payload whose blocks and terminator take
// `blocks_size` bytes and hold `count` blocks (its low 16 bits are stored) over
// the first 16 bytes of `payload`; the reserved bytes are left as they are
// (zero in every buffer that builds a payload).
void StampPayloadHeader(uint8_t* payload, uint32_t blocks_size, uint32_t count);

// One defect as the walk meets it.
struct PayloadDefectReport {
  PayloadDefect kind = kPayloadTooShort;
  size_t offset = 0;      // offset from the start of the data walked
  int32_t block = -1;     // index of the block concerned, or -1
  uint64_t found = 0;     // the value met: tag, blocks size, block size, magic,
                          // transient, trailing bytes, blocks found, or the length
  uint64_t expected = 0;  // what it should be, where one value is right: the tag
                          // (48), the bytes after the header, the header's count
};

// The bytes a walk hands a sink for each block in one piece, counted from the
// block's start, when the data holds them: the whole block, and at least a
// program block's fixed part, which a decoder reads whatever the size says.
// A decoder given `span` bytes judges a block as it would given all the bytes
// to the end of the data: a size that runs past the data runs past the span.
inline constexpr size_t kBlockLookahead = 160;

// One block of a sequence as the walk meets it.
struct PayloadBlockReport {
  int32_t index = 0;
  size_t offset = 0;     // offset from the start of the data walked
  uint32_t size = 0;     // its size field (not 0: that is the terminator)
  size_t available = 0;  // bytes from its start to the end of the data
  bool size_ok = false;  // the size lies in 48..0x80000000 and inside the data
  // The block's first byte, with `span` bytes readable behind it while the
  // sink handles the block: min(available, max(size, kBlockLookahead)). A
  // sink reads a block only through these, so that a walk over a payload
  // handed in pieces (PayloadSource) reads it as a walk over one buffer.
  const uint8_t* bytes = nullptr;
  size_t span = 0;
};

// Receives a walk of a payload or a block sequence, in data order.
class PayloadWalkSink {
 public:
  // A block begins (its size may still prove unusable: kPayloadBadBlockSize
  // then follows and ends the walk).
  virtual void OnBlock(const PayloadBlockReport& block) { (void)block; }
  // A block's own checks (magic, transient) are done and its size leads to the
  // next block; it counts as found.
  virtual void OnBlockChecked(const PayloadBlockReport& block) { (void)block; }
  // A defect. Returning false ends the walk there (after a block's magic: the
  // strict reading takes nothing behind a block it cannot trust).
  virtual bool OnDefect(const PayloadDefectReport& defect) = 0;

 protected:
  ~PayloadWalkSink() = default;
};

// The checks the walk makes of one block on its own, as PayloadDefect bits (0:
// sound): a size in 48..0x80000000 that lies inside the `available` bytes
// (kPayloadBadBlockSize), 'ZeVK' at its byte 8 (kPayloadBadMagic) and 0 at its
// bytes 44..47 (kPayloadTransientNonZero); a field the available bytes do not
// reach is not judged. `available` is at least 4 (the size). The walk judges
// every block by this, so a reader that looks for blocks where the walk cannot
// lead (a salvage resuming behind damage) judges each one as the walk would.
uint32_t BlockFramingDefects(const uint8_t* block, size_t available);

// The payload header as read (zero when the payload is too short for it).
struct PayloadHeader {
  bool present = false;
  uint16_t tag = 0;
  uint16_t count = 0;
  uint32_t blocks_size = 0;
  uint64_t reserved = 0;
};

// The header's fields as stored, without any check (present: false when the
// payload is shorter than the header).
PayloadHeader ReadPayloadHeader(const uint8_t* data, size_t len);

// A payload handed to the walk in pieces: a stream unscrambled block by block
// is judged with one piece's memory instead of the whole payload's.
class PayloadSource {
 public:
  virtual size_t length() const = 0;
  // `len` bytes of the payload at `offset` in one piece (offset + len <=
  // length()), readable until the next call; null when they cannot be had (a
  // read failed, no memory). The walk never asks again for bytes before the
  // offset of its last call.
  virtual const uint8_t* Bytes(size_t offset, size_t len) = 0;

 protected:
  ~PayloadSource() = default;
};

// A payload in pieces pulled in order from `pull`, which fills up to `room`
// bytes at `out` with the next bytes of the payload and says how many
// (`*got`, 0 only at its end), or returns false when they cannot be read.
// Holds one window of at least `piece` bytes; a block longer than the window
// grows it (at most to twice the longest request, and never past the
// payload's length).
class PiecedPayload final : public PayloadSource {
 public:
  using Pull = bool (*)(void* context, uint8_t* out, size_t room, size_t* got);
  PiecedPayload(size_t length, size_t piece, Pull pull, void* context)
      : length_(length), piece_(piece == 0 ? 1 : piece), pull_(pull), context_(context) {}
  ~PiecedPayload();
  PiecedPayload(const PiecedPayload&) = delete;
  PiecedPayload& operator=(const PiecedPayload&) = delete;

  size_t length() const override { return length_; }
  const uint8_t* Bytes(size_t offset, size_t len) override;
  // Whether a pull failed, or memory for the window ran out: the walk then
  // stopped short of the payload's end, and what it reported is not a verdict.
  bool failed() const { return failed_; }
  // Bytes the window holds room for.
  size_t window() const { return capacity_; }

 private:
  size_t length_;
  size_t piece_;
  Pull pull_;
  void* context_;
  uint8_t* window_ = nullptr;
  size_t capacity_ = 0;
  size_t base_ = 0;  // payload offset of window_[0]
  size_t held_ = 0;  // bytes of the payload in the window
  bool failed_ = false;
};

// The one walk over a stored payload: checks the header (tag, reserved bytes,
// blocks size against the length), then walks the blocks while each size says
// where the next one begins: per block its magic and transient field, then its
// size; then what follows the terminator and the header's block count (only
// when the walk reached the terminator: a walk cut short cannot count). Reads
// only inside the `len` bytes. Every reader of payloads (the strict one below,
// trustctl's dump, verify, diff and the editing commands) is a sink of it.
PayloadHeader WalkListPayload(const uint8_t* data, size_t len, PayloadWalkSink& sink);
// The same walk over a payload handed in pieces; it ends where the source
// cannot give the bytes it needs.
PayloadHeader WalkListPayload(PayloadSource& source, PayloadWalkSink& sink);

// One block of a sequence: where it starts (relative to the data given) and
// how long it is.
struct SequenceBlock {
  size_t offset = 0;
  uint32_t size = 0;
};

// Walks a serialized block sequence of `len` bytes (no payload header).
// Appends each whole, sound block to *blocks and stops at the terminator or at
// the first defect (added to *defects). Returns the bytes the sequence covered,
// terminator included, when it ended at a terminator; else 0.
size_t WalkBlockSequence(const uint8_t* data, size_t len, std::vector<SequenceBlock>* blocks,
                         uint32_t* defects);

struct ParsedPayload {
  uint16_t tag = 0;
  uint16_t count = 0;
  uint32_t blocks_size = 0;
  std::vector<SequenceBlock> blocks;  // offsets from the payload's start
  uint32_t defects = 0;
};

// The strict reading: parses a payload of `len` bytes, stopping at the first
// block it cannot trust. True when it has no defect.
bool ParseListPayload(const uint8_t* data, size_t len, ParsedPayload* out);

// Whether storing payload `b` over a stream that holds payload `a` would change
// what any reader of the list gets: false only when the two are byte for byte
// equal except bytes 12..23 of each block. Those bytes carried the in-memory
// link pointers of an older writer; a serialized block has its magic in bytes
// 8..11 and nothing reads 12..23, so a payload that differs only there holds
// the same list. Blocks are found by walking the size fields, which must be
// equal; where a walk cannot go on (a size out of range, a missing terminator)
// the rest is compared byte for byte, so a damaged payload is never taken for
// an equal one. A writer that finds the stored payload the same leaves the
// stream as it is (no write, the stream's write time kept).
bool SameListPayload(const uint8_t* a, size_t a_len, const uint8_t* b, size_t b_len);

// Whether two serialized blocks of `size` bytes each hold the same entry for
// any reader of a list: byte for byte equal except bytes 12..23 (see
// SameListPayload). The one comparison of entries: the writers' "unchanged",
// diff's and merge's "identical" and export's "the fields rebuild the stored
// bytes" all ask it, so that no two of them can disagree on one pair.
bool SameStoredBlock(const uint8_t* a, const uint8_t* b, uint32_t size);

}  // namespace tl
