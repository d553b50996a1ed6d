#include "entry/program_builder.h"

#include <cstddef>
#include <cstring>

#include "blocklist/block_copy.h"
#include "blocklist/block_header.h"
#include "blocklist/program_block.h"
#include "blocklist/var_block_list.h"
#include "common/le.h"
#include "common/u16.h"
#include "fingerprint/file_fingerprint.h"
#include "fingerprint/link_time_stamp.h"
#include "trustlist/trustlist.h"

namespace tl {

static_assert(kPdCbSizeOffset == offsetof(TrustlistProgram, cbSize));
static_assert(kPdPathOffset == offsetof(TrustlistProgram, path));
static_assert(kPdPathUnits == TRUSTLIST_PATH_UNITS);
static_assert(kPdValueSingleOffset == offsetof(TrustlistProgram, valueSingle));
static_assert(kPdValuePairFirstOffset == offsetof(TrustlistProgram, valuePairFirst));
static_assert(kPdValuePairSecondOffset == offsetof(TrustlistProgram, valuePairSecond));
static_assert(kPdTokenListOffset == offsetof(TrustlistProgram, tokenList));
static_assert(kPdTokenListUnits == TRUSTLIST_TOKEN_LIST_UNITS);
static_assert(kPdTimeStampFileOffset == offsetof(TrustlistProgram, timeStampFile));
static_assert(kPdFingerprintFileOffset == offsetof(TrustlistProgram, fingerprintFile));
static_assert(kPdText1Offset == offsetof(TrustlistProgram, text1));
static_assert(kPdText2Offset == offsetof(TrustlistProgram, text2));
static_assert(kPdTextUnits == TRUSTLIST_TEXT_UNITS);
static_assert(kPdText3Offset == offsetof(TrustlistProgram, text3));
static_assert(kPdMinSize == TRUSTLIST_PROGRAM_MIN_SIZE);
static_assert(kPdText3Offset < kPdMinSize);

namespace {

// A working copy of one caller string: at most kPdMaxStringUnits units and a
// terminator.
struct WorkString {
  char16_t units[kPdMaxStringUnits + 1] = {};
  size_t len = 0;
};

// Copies the string in the record field at `offset` that holds `field_units`
// units, stopping at its terminator, at the field's end, or after 599 units.
void CopyField(const uint8_t* record, size_t offset, size_t field_units, WorkString* out) {
  const size_t limit = field_units < kPdMaxStringUnits ? field_units : kPdMaxStringUnits;
  size_t n = 0;
  for (; n < limit; ++n) {
    const uint16_t c = LoadU16(record, offset + 2 * n);
    if (c == 0) break;
    out->units[n] = static_cast<char16_t>(c);
  }
  out->units[n] = 0;
  out->len = n;
}

// Copies the path at a caller-given address. The address comes from the
// record as a plain number, so each page is tested before it is read: an
// address that does not lead to readable memory yields false instead of a
// fault.
bool CopyCallerPath(uint64_t address, WorkString* out) {
  const auto* src = reinterpret_cast<const char16_t*>(static_cast<uintptr_t>(address));
  size_t n = 0;
  if (!ProbedU16Len(src, kPdMaxStringUnits, &n)) return false;
  std::memcpy(out->units, src, n * sizeof(char16_t));
  out->units[n] = 0;
  out->len = n;
  return true;
}

class BlockAssembly {
 public:
  // Only the fixed fields are cleared: the pool is written entry by entry
  // behind them and the trailer at Finish, so every byte of the block is set
  // without clearing the whole 32 KiB work area for each description.
  explicit BlockAssembly(uint8_t* work) : work_(work) {
    std::memset(work_, 0, kPbPoolStart);
    PbBeginRecord(work_);
  }

  // Appends a pool entry; false only if it would not fit the work area, which
  // the field limits rule out.
  bool Append(const char16_t* s, size_t n, uint16_t* offset) {
    return PbAppendPoolEntry(work_, kProgramWorkBytes, &units_, s, n, offset);
  }
  void SetFlag(uint32_t flag) { flags_ |= flag; }
  uint32_t flags() const { return flags_; }
  uint8_t* work() { return work_; }

  uint32_t Finish(const char16_t* name) {
    std::memset(work_ + kPbPoolStart + 2 * static_cast<size_t>(units_), 0, kPbTrailerBytes);
    StoreU32(work_, kPbFlagsOffset, flags_);
    return PbFinishRecord(work_, units_, name);
  }

 private:
  uint8_t* work_;
  uint32_t units_ = 0;
  uint32_t flags_ = 0;
};

// The name: the text after the path's last backslash followed by "@*", or the
// whole path when it has no backslash.
size_t BuildName(const WorkString& path, char16_t (&name)[kPdNameBufferUnits]) {
  size_t slash = path.len;
  for (size_t i = path.len; i > 0; --i) {
    if (path.units[i - 1] == u'\\') {
      slash = i - 1;
      break;
    }
  }
  if (slash == path.len) return U16Copy(name, kPdNameBufferUnits, path.units, path.len);
  return U16FormatAtStar(name, kPdNameBufferUnits, path.units + slash + 1, path.len - slash - 1);
}

void AddTokens(const uint8_t* record, BlockAssembly* block) {
  WorkString list;
  CopyField(record, kPdTokenListOffset, kPdTokenListUnits, &list);
  if (list.len == 0) return;
  size_t slot = 0;
  size_t i = 0;
  while (slot < kPdMaxTokens && i < list.len) {
    while (i < list.len && list.units[i] == u';') ++i;  // no empty tokens
    const size_t start = i;
    while (i < list.len && list.units[i] != u';') ++i;
    if (i == start) break;
    uint16_t offset = 0;
    if (block->Append(list.units + start, i - start, &offset)) {
      StoreU16(block->work(), kPbTokenOffsetsOffset + 2 * slot, offset);
      ++slot;
    }
  }
  block->SetFlag(PB_TOKENS);  // also when the list held only separators
}

void AddText(const uint8_t* record, size_t field_offset, size_t field_units, size_t offset_field,
             uint32_t flag, BlockAssembly* block) {
  WorkString text;
  CopyField(record, field_offset, field_units, &text);
  if (text.len == 0) return;
  uint16_t offset = 0;
  if (!block->Append(text.units, text.len, &offset)) return;
  StoreU16(block->work(), offset_field, offset);
  block->SetFlag(flag);
}

}  // namespace

int32_t BuildProgramBlock(void* record_ptr, uint8_t* work, uint32_t* block_size) {
  auto* record = static_cast<uint8_t*>(record_ptr);
  const uint32_t cb_size = LoadU32(record, kPdCbSizeOffset);
  if (cb_size < kPdMinSize) return 0;

  WorkString path;
  CopyField(record, kPdPathOffset, kPdPathUnits, &path);
  char16_t name[kPdNameBufferUnits] = {};
  const size_t name_len = BuildName(path, name);

  BlockAssembly block(work);
  uint16_t name_offset = 0;
  block.Append(name, name_len, &name_offset);  // offset 0: the first entry

  AddTokens(record, &block);
  AddText(record, kPdText1Offset, kPdTextUnits, kPbText1OffsetOffset, PB_TEXT1, &block);
  AddText(record, kPdText2Offset, kPdTextUnits, kPbText2OffsetOffset, PB_TEXT2, &block);
  AddText(record, kPdText3Offset, (cb_size - kPdText3Offset) / 2, kPbText3OffsetOffset, PB_TEXT3,
          &block);

  const uint32_t value_single = LoadU32(record, kPdValueSingleOffset);
  if (value_single != 0) {
    StoreU32(work, kPbValueOffset, value_single);
    block.SetFlag(PB_VALUE);
  }
  const uint32_t pair_first = LoadU32(record, kPdValuePairFirstOffset);
  if (pair_first != 0) {
    StoreU32(work, kPbValueOffset, pair_first);
    StoreU32(work, kPbValueSecondOffset, LoadU32(record, kPdValuePairSecondOffset));
    block.SetFlag(PB_VALUE_PAIR);
  }

  const uint64_t stamp_path = LoadU64(record, kPdTimeStampFileOffset);
  if (stamp_path != 0) {
    WorkString file;
    uint32_t stamp = 0;
    if (CopyCallerPath(stamp_path, &file) && ReadLinkTimeStamp(file.units, &stamp) == 1) {
      StoreU32(work, kPbLinkTimeStampOffset, stamp);
      StoreU32(record, kPdTimeStampFileOffset, stamp);  // the upper 4 bytes stay
      block.SetFlag(PB_TIMESTAMP);
    }
  }
  const uint64_t fingerprint_path = LoadU64(record, kPdFingerprintFileOffset);
  if (fingerprint_path != 0) {
    // Recorded whatever the result: a file that cannot be opened (or a path
    // that cannot be read) gives fingerprint 0.
    WorkString file;
    const uint64_t fingerprint =
        CopyCallerPath(fingerprint_path, &file) ? ComputeFileFingerprint(file.units) : 0;
    StoreU64(work, kPbFingerprintOffset, fingerprint);
    StoreU64(record, kPdFingerprintFileOffset, fingerprint);
    block.SetFlag(PB_FINGERPRINT);
  }

  if (block.flags() == 0) return 0;
  *block_size = block.Finish(name);
  return 1;
}

int32_t AddProgramTo(CVarBlockList& list, void* record) {
  alignas(8) uint8_t work[kProgramWorkBytes];
  uint32_t size = 0;
  if (BuildProgramBlock(record, work, &size) == 0) return 0;
  if (IsValidBlockSize(size)) {
    void* copy = CopyOwnBlock(work, size);  // our own work area: no probe
    if (copy != nullptr) list.AddBlock(copy);
  }
  return 1;
}

}  // namespace tl
