#include "blocklist/program_block.h"

#include <cstring>

#include "common/crc32.h"
#include "common/le.h"
#include "common/u16.h"
#include "common/zalloc.h"
#include "platform/system.h"

namespace tl {
namespace {

constexpr uintptr_t kPageSize = 4096;

// Tests the page that holds byte `addr` once: `last_page` remembers the page
// tested last, so a string is probed page by page, never unit by unit. The probe
// reads 4 bytes at a 4-aligned address, which never crosses a page boundary.
bool PageReadable(uintptr_t addr, uintptr_t* last_page) {
  const uintptr_t page = addr / kPageSize;
  if (page == *last_page) return true;
  if (!platform::IsReadable4(reinterpret_cast<const void*>(addr & ~uintptr_t{3}))) return false;
  *last_page = page;
  return true;
}

}  // namespace

bool ProbedU16Len(const char16_t* s, size_t max, size_t* len) {
  if (s == nullptr) return false;
  const auto base = reinterpret_cast<uintptr_t>(s);
  uintptr_t last_page = ~uintptr_t{0};
  for (size_t i = 0; i < max; ++i) {
    const uintptr_t addr = base + 2 * i;
    if (!PageReadable(addr, &last_page) || !PageReadable(addr + 1, &last_page)) return false;
    char16_t c;
    std::memcpy(&c, reinterpret_cast<const void*>(addr), sizeof c);
    if (c == 0) {
      *len = i;
      return true;
    }
  }
  *len = max;
  return true;
}

void PbBeginRecord(uint8_t* record) {
  StoreU16(record, kPbPoolOffsetOffset, kPbPoolOffsetValue);
  StoreU16(record, kPbNameOffsetOffset, 0);
}

bool PbAppendPoolEntry(uint8_t* record, size_t capacity, uint32_t* units, const char16_t* s,
                       size_t n, uint16_t* offset) {
  const uint32_t u = *units;
  if (u > kPbMaxPoolUnits || n > 0xFFFF) return false;
  const size_t new_units = static_cast<size_t>(u) + n + 2;
  // Pool entries begin at 16-bit offsets; the record's end (trailer included)
  // must lie inside the work area.
  if (kPbFixedBytes + 2 * new_units > capacity) return false;
  const size_t at = kPbPoolStart + 2 * static_cast<size_t>(u);
  StoreU16(record, at, static_cast<uint16_t>(n));
  for (size_t i = 0; i < n; ++i) StoreU16(record, at + 2 + 2 * i, static_cast<uint16_t>(s[i]));
  StoreU16(record, at + 2 + 2 * n, 0);
  *offset = static_cast<uint16_t>(u);
  *units = static_cast<uint32_t>(new_units);
  return true;
}

uint32_t PbFinishRecord(uint8_t* record, uint32_t units, const char16_t* name, size_t name_len) {
  const uint32_t size = PbSizeForUnits(units);
  StoreU32(record, kPbSizeOffset, size);
  StoreU64(record, kPbKeyOffset, ComputeOwnNameKey(name, name_len));
  StoreU16(record, kPbKindOffset, kPbKind);
  return size;
}

uint32_t PbFinishRecord(uint8_t* record, uint32_t units, const char16_t* name) {
  return PbFinishRecord(record, units, name, kNameKeyMaxUnits);
}

uint32_t AssembleProgramBlock(const ProgramBlockFields& f, uint8_t* work, size_t capacity) {
  if (f.token_count > kPbTokenSlots || capacity < kPbFixedBytes) return 0;
  std::memset(work, 0, kPbPoolStart);
  PbBeginRecord(work);
  uint32_t units = 0;
  uint16_t offset = 0;
  auto append = [&](const PbString& s, size_t offset_field) {
    if (!PbAppendPoolEntry(work, capacity, &units, s.units, s.len, &offset)) return false;
    if (offset_field != 0) StoreU16(work, offset_field, offset);
    return true;
  };
  if (!append(f.name, 0)) return 0;  // offset 0: the first entry
  if ((f.flags & PB_TOKENS) != 0) {
    for (size_t i = 0; i < f.token_count; ++i) {
      if (!append(f.tokens[i], kPbTokenOffsetsOffset + 2 * i)) return 0;
    }
  }
  const struct {
    uint32_t flag;
    const PbString* text;
    size_t field;
  } texts[] = {{PB_TEXT1, &f.text1, kPbText1OffsetOffset},
               {PB_TEXT2, &f.text2, kPbText2OffsetOffset},
               {PB_TEXT3, &f.text3, kPbText3OffsetOffset}};
  for (const auto& t : texts) {
    if ((f.flags & t.flag) != 0 && !append(*t.text, t.field)) return 0;
  }
  if ((f.flags & (PB_VALUE | PB_VALUE_PAIR)) != 0) StoreU32(work, kPbValueOffset, f.value);
  if ((f.flags & PB_VALUE_PAIR) != 0) StoreU32(work, kPbValueSecondOffset, f.value_second);
  if ((f.flags & PB_TIMESTAMP) != 0) StoreU32(work, kPbLinkTimeStampOffset, f.link_time_stamp);
  if ((f.flags & PB_FINGERPRINT) != 0) StoreU64(work, kPbFingerprintOffset, f.fingerprint);
  StoreU32(work, kPbFlagsOffset, f.flags);
  // The appends left room for the trailer.
  std::memset(work + kPbPoolStart + 2 * static_cast<size_t>(units), 0, kPbTrailerBytes);
  const uint32_t size = PbFinishRecord(work, units, f.name.units, f.name.len);
  StoreU16(work, kPbKindOffset, f.kind);
  return size;
}

uint32_t ComputeOwnNameKey(const char16_t* name) {
  return ComputeOwnNameKey(name, kNameKeyMaxUnits);
}

uint32_t ComputeOwnNameKey(const char16_t* name, size_t max_len) {
  size_t n = 0;
  while (n < max_len && n < kNameKeyMaxUnits && name[n] != 0) ++n;
  if (n == 0 || n >= kNameKeyMaxUnits) return 0;
  // Folded in pieces on the stack, little-endian as in ComputeNameKey.
  constexpr size_t kPieceUnits = 64;
  uint8_t piece[2 * kPieceUnits];
  uint32_t state = kCrc32Init;
  for (size_t at = 0; at < n; at += kPieceUnits) {
    const size_t units = n - at < kPieceUnits ? n - at : kPieceUnits;
    for (size_t i = 0; i < units; ++i) StoreU16(piece, 2 * i, U16FoldAscii(name[at + i]));
    state = Crc32Update(state, piece, 2 * units);
  }
  return Crc32Final(state);
}

uint32_t ComputeNameKey(const char16_t* name) {
  size_t n = 0;
  if (!ProbedU16Len(name, kNameKeyMaxUnits, &n) || n == 0 || n >= kNameKeyMaxUnits) return 0;
  // The folded copy is laid out little-endian, so the key does not depend on the
  // host's byte order.
  auto* copy = static_cast<uint8_t*>(ZeroAlloc(2 * n + 2));
  if (copy == nullptr) return 0;
  for (size_t i = 0; i < n; ++i) StoreU16(copy, 2 * i, U16FoldAscii(name[i]));
  const uint32_t key = Crc32(copy, 2 * n);
  ZeroFree(copy);
  return key;
}

}  // namespace tl
