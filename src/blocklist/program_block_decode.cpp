#include "blocklist/program_block_decode.h"

#include "blocklist/program_block.h"
#include "common/le.h"

namespace tl {
namespace {

constexpr uint32_t kMinBlockSize = 48;
constexpr uint32_t kMaxBlockSize = 0x80000000u;

bool AllZero(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (p[i] != 0) return false;
  }
  return true;
}

// The pool of a record whose size has been checked against the buffer: which
// unit indexes begin an entry, and the entries' texts.
class PoolView {
 public:
  // The starts of a pool of up to kInline units (a program block's usual
  // pool) are noted without an allocation.
  PoolView(const uint8_t* record, uint32_t units) : record_(record), units_(units) {
    if (units > kInline) more_.assign(units, false);
  }

  // Walks the entries from offset 0; returns the units covered by whole entries
  // and adds overrun and terminator defects to *defects.
  uint32_t Walk(uint32_t* defects) {
    const uint32_t total = units_;
    uint32_t u = 0;
    while (u < total) {
      const uint32_t n = LoadU16(record_, kPbPoolStart + 2 * size_t{u});
      if (static_cast<uint64_t>(u) + n + 2 > total) {
        *defects |= kPbDefectPoolOverrun;
        break;
      }
      if (LoadU16(record_, kPbPoolStart + 2 * (size_t{u} + 1 + n)) != 0) {
        *defects |= kPbDefectEntryTerminator;
      }
      if (units_ > kInline) {
        more_[u] = true;
      } else {
        inline_[u / 64] |= uint64_t{1} << (u % 64);
      }
      u += n + 2;
    }
    return u;
  }

  bool IsStart(uint16_t offset) const {
    if (offset >= units_) return false;
    if (units_ > kInline) return more_[offset];
    return (inline_[offset / 64] >> (offset % 64) & 1) != 0;
  }

  // The entry's text, into `s` (its storage reused).
  void Text(uint16_t offset, std::u16string* s) const {
    const size_t at = kPbPoolStart + 2 * size_t{offset};
    const uint16_t n = LoadU16(record_, at);
    s->resize(n);
    for (size_t i = 0; i < n; ++i)
      (*s)[i] = static_cast<char16_t>(LoadU16(record_, at + 2 + 2 * i));
  }

 private:
  static constexpr uint32_t kInline = 1024;
  const uint8_t* record_;
  uint32_t units_;
  uint64_t inline_[kInline / 64] = {};
  std::vector<bool> more_;
};

// Clears a decoded block for the next decode, keeping the storage of its
// texts, so that a walk over a whole list decodes without an allocation per
// block.
void Reset(DecodedProgramBlock* d) {
  std::u16string name = std::move(d->name);
  std::vector<std::u16string> tokens = std::move(d->tokens);
  *d = DecodedProgramBlock{};
  name.clear();
  tokens.clear();
  d->name = std::move(name);
  d->tokens = std::move(tokens);
}

}  // namespace

const char* PbDefectText(uint32_t defect_bit) {
  switch (defect_bit) {
    case kPbDefectTooShort:
      return "record shorter than its fixed part";
    case kPbDefectSizeRange:
      return "size outside 48..0x80000000";
    case kPbDefectSizeBeyondBuffer:
      return "size runs past the available bytes";
    case kPbDefectSizeShape:
      return "size odd or below 160";
    case kPbDefectPoolOffset:
      return "poolOffset is not 152";
    case kPbDefectPoolOverrun:
      return "a pool entry runs past the pool";
    case kPbDefectBadOffset:
      return "a string offset is not the start of a pool entry";
    case kPbDefectUnknownFlags:
      return "unknown flag bits";
    case kPbDefectEntryTerminator:
      return "a pool entry lacks its zero terminator";
    case kPbDefectReservedNonZero:
      return "reserved bytes or trailer not zero";
    default:
      return "";
  }
}

bool DecodeProgramBlock(const uint8_t* bytes, size_t len, DecodedProgramBlock* out) {
  Reset(out);
  DecodedProgramBlock& d = *out;
  if (len >= 4) d.size = LoadU32(bytes, kPbSizeOffset);
  if (len < kPbPoolStart) {
    d.defects |= kPbDefectTooShort;
    return false;
  }
  d.kind = LoadU16(bytes, kPbKindOffset);
  d.loadedTag = LoadU16(bytes, kPbLoadedTagOffset);
  d.magic = LoadU32(bytes, kPbNextOffset);
  d.key = LoadU64(bytes, kPbKeyOffset);
  d.transient = LoadU32(bytes, kPbTransientOffset);
  d.flags = LoadU32(bytes, kPbFlagsOffset);
  d.poolOffset = LoadU16(bytes, kPbPoolOffsetOffset);
  d.linkTimeStamp = LoadU32(bytes, kPbLinkTimeStampOffset);
  d.value = LoadU32(bytes, kPbValueOffset);
  d.valueSecond = LoadU32(bytes, kPbValueSecondOffset);
  d.fingerprint = LoadU64(bytes, kPbFingerprintOffset);
  d.nameOffset = LoadU16(bytes, kPbNameOffsetOffset);
  d.text1Offset = LoadU16(bytes, kPbText1OffsetOffset);
  d.text2Offset = LoadU16(bytes, kPbText2OffsetOffset);
  d.text3Offset = LoadU16(bytes, kPbText3OffsetOffset);
  for (size_t i = 0; i < kPbTokenSlots; ++i) {
    d.tokenOffsets[i] = LoadU16(bytes, kPbTokenOffsetsOffset + 2 * i);
  }

  if (d.flags & ~kPbKnownFlags) d.defects |= kPbDefectUnknownFlags;
  if (d.poolOffset != kPbPoolOffsetValue) d.defects |= kPbDefectPoolOffset;
  if (!AllZero(bytes + kPbReserved32Offset, kPbReserved32Bytes) ||
      !AllZero(bytes + kPbReserved54Offset, 2) || !AllZero(bytes + kPbReserved68Offset, 4) ||
      !AllZero(bytes + kPbReserved80Offset, kPbReserved80Bytes) ||
      !AllZero(bytes + kPbReserved136Offset, kPbReserved136Bytes)) {
    d.defects |= kPbDefectReservedNonZero;
  }

  if (d.size < kMinBlockSize || d.size > kMaxBlockSize) d.defects |= kPbDefectSizeRange;
  if (d.size > len) d.defects |= kPbDefectSizeBeyondBuffer;
  if ((d.size & 1) != 0 || d.size < kPbFixedBytes) d.defects |= kPbDefectSizeShape;
  if (d.defects & (kPbDefectSizeRange | kPbDefectSizeBeyondBuffer | kPbDefectSizeShape)) {
    return false;
  }
  if (!AllZero(bytes + d.size - kPbTrailerBytes, kPbTrailerBytes)) {
    d.defects |= kPbDefectReservedNonZero;
  }

  PoolView pool(bytes, (d.size - static_cast<uint32_t>(kPbFixedBytes)) / 2);
  d.pool_units = pool.Walk(&d.defects);

  if (pool.IsStart(d.nameOffset)) {
    pool.Text(d.nameOffset, &d.name);
  } else {
    d.defects |= kPbDefectBadOffset;
  }
  if (d.flags & PB_TOKENS) {
    for (uint16_t slot : d.tokenOffsets) {
      if (slot == 0) continue;  // offset 0 is the name: an empty slot
      if (pool.IsStart(slot)) {
        d.tokens.emplace_back();
        pool.Text(slot, &d.tokens.back());
      } else {
        d.defects |= kPbDefectBadOffset;
      }
    }
  }
  const struct {
    uint32_t flag;
    uint16_t offset;
    std::optional<std::u16string>* text;
  } texts[] = {{PB_TEXT1, d.text1Offset, &d.text1},
               {PB_TEXT2, d.text2Offset, &d.text2},
               {PB_TEXT3, d.text3Offset, &d.text3}};
  for (const auto& t : texts) {
    if (!(d.flags & t.flag)) continue;
    if (pool.IsStart(t.offset)) {
      t.text->emplace();
      pool.Text(t.offset, &**t.text);
    } else {
      d.defects |= kPbDefectBadOffset;
    }
  }
  return true;
}

}  // namespace tl
