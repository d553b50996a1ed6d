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

// A text field: present when it holds at least one unit.
void TakeText(const WorkString& text, uint32_t flag, PbString* into, ProgramBlockFields* f) {
  if (text.len == 0) return;
  *into = PbString{text.units, text.len};
  f->flags |= flag;
}

}  // namespace

size_t ProgramNameOfPath(const char16_t* path, size_t len, char16_t (&name)[kPdNameBufferUnits]) {
  // What the path field can hold, up to a terminator.
  if (len > kPdPathUnits) len = kPdPathUnits;
  len = U16Len(path, len);
  size_t slash = len;
  for (size_t i = len; i > 0; --i) {
    if (path[i - 1] == u'\\') {
      slash = i - 1;
      break;
    }
  }
  if (slash == len) return U16Copy(name, kPdNameBufferUnits, path, len);
  return U16FormatAtStar(name, kPdNameBufferUnits, path + slash + 1, len - slash - 1);
}

int32_t BuildProgramBlock(void* record_ptr, uint8_t* work, uint32_t* block_size) {
  auto* record = static_cast<uint8_t*>(record_ptr);
  const uint32_t cb_size = LoadU32(record, kPdCbSizeOffset);
  if (cb_size < kPdMinSize) return 0;

  ProgramBlockFields f;
  WorkString path;
  CopyField(record, kPdPathOffset, kPdPathUnits, &path);
  char16_t name[kPdNameBufferUnits] = {};
  f.name = PbString{name, ProgramNameOfPath(path.units, path.len, name)};

  WorkString tokens;
  CopyField(record, kPdTokenListOffset, kPdTokenListUnits, &tokens);
  if (tokens.len != 0) {
    f.token_count = SplitProgramTokens(tokens.units, tokens.len, f.tokens, kPdMaxTokens);
    if (f.token_count > kPdMaxTokens) f.token_count = kPdMaxTokens;
    f.flags |= PB_TOKENS;  // also when the list held only separators
  }
  WorkString text1, text2, text3;
  CopyField(record, kPdText1Offset, kPdTextUnits, &text1);
  CopyField(record, kPdText2Offset, kPdTextUnits, &text2);
  CopyField(record, kPdText3Offset, (cb_size - kPdText3Offset) / 2, &text3);
  TakeText(text1, PB_TEXT1, &f.text1, &f);
  TakeText(text2, PB_TEXT2, &f.text2, &f);
  TakeText(text3, PB_TEXT3, &f.text3, &f);

  const uint32_t value_single = LoadU32(record, kPdValueSingleOffset);
  if (value_single != 0) {
    f.value = value_single;
    f.flags |= PB_VALUE;
  }
  const uint32_t pair_first = LoadU32(record, kPdValuePairFirstOffset);
  if (pair_first != 0) {
    f.value = pair_first;  // the pair shares the field with the single value
    f.value_second = LoadU32(record, kPdValuePairSecondOffset);
    f.flags |= PB_VALUE_PAIR;
  }

  const uint64_t stamp_path = LoadU64(record, kPdTimeStampFileOffset);
  if (stamp_path != 0) {
    WorkString file;
    uint32_t stamp = 0;
    if (CopyCallerPath(stamp_path, &file) && ReadLinkTimeStamp(file.units, &stamp) == 1) {
      f.link_time_stamp = stamp;
      StoreU32(record, kPdTimeStampFileOffset, stamp);  // the upper 4 bytes stay
      f.flags |= PB_TIMESTAMP;
    }
  }
  const uint64_t fingerprint_path = LoadU64(record, kPdFingerprintFileOffset);
  if (fingerprint_path != 0) {
    // Recorded whatever the result: a file that cannot be opened (or a path
    // that cannot be read) gives fingerprint 0.
    WorkString file;
    f.fingerprint =
        CopyCallerPath(fingerprint_path, &file) ? ComputeFileFingerprint(file.units) : 0;
    StoreU64(record, kPdFingerprintFileOffset, f.fingerprint);
    f.flags |= PB_FINGERPRINT;
  }

  if (f.flags == 0) return 0;
  // The field limits keep every description far inside the work area.
  *block_size = AssembleProgramBlock(f, work, kProgramWorkBytes);
  return *block_size != 0 ? 1 : 0;
}

size_t SplitProgramTokens(const char16_t* list, size_t len, PbString* tokens, size_t max_tokens) {
  size_t count = 0;
  size_t i = 0;
  while (i < len) {
    while (i < len && list[i] == u';') ++i;  // no empty tokens
    const size_t start = i;
    while (i < len && list[i] != u';') ++i;
    if (i == start) break;
    if (count < max_tokens) tokens[count] = PbString{list + start, i - start};
    ++count;
  }
  return count;
}

int32_t AddProgramTo(CVarBlockList& list, void* record) {
  alignas(8) uint8_t work[kProgramWorkBytes];
  uint32_t size = 0;
  if (BuildProgramBlock(record, work, &size) == 0) return 0;
  if (IsValidBlockSize(size)) list.AddOwnBlockCopy(work, size);  // our own work area: no probe
  return 1;
}

}  // namespace tl
