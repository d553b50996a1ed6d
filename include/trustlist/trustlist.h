/*
 * trustlist.dll — public interface for callers in the same product.
 *
 * The library exports its entry points by ordinal only. A caller either
 * - links the import library (lib/libtrustlist.dll.a, or lib/trustlist.lib for
 *   MSVC-style linkers), which imports each entry point by its ordinal, and
 *   calls the functions declared below by their names; or
 * - loads the DLL, resolves each ordinal with
 *   GetProcAddress(module, MAKEINTRESOURCEA(ordinal)) and casts the result to
 *   the matching function type below.
 *
 * Request record (returned by SelectTarget, owned by the library, 632 bytes):
 *   OFFSET  SIZE  CONTENT
 *   0       520   target path, UTF-16, NUL-terminated, at most 259 characters
 *   520     64    stream name, UTF-16, NUL-terminated, at most 31 characters
 *   584     4     skip flag: while non-zero, Commit writes nothing
 *   588     4     reserved, 0
 *   592     8     next request (always null)
 *   600     32    reserved, 0
 *
 * Program description record (caller-owned, at least 2048 bytes):
 *   OFFSET  SIZE  CONTENT
 *   0       4     cbSize, at least 2048
 *   4       520   path: program path or bare file name, UTF-16
 *   524     4     valueSingle (0 = absent)
 *   528     4     valuePairFirst (0 = pair absent)
 *   532     4     valuePairSecond
 *   616     520   tokenList: tokens separated by ';', UTF-16
 *   1136    8     timeStampFile: in, address of a UTF-16 path or 0;
 *                 out, first 4 bytes = link time stamp when it was read
 *   1144    8     fingerprintFile: in, address of a UTF-16 path or 0;
 *                 out, the 64-bit fingerprint (size << 32 | CRC-32) when not 0
 *   1160    128   text1, UTF-16 (64 units)
 *   1288    128   text2, UTF-16 (64 units)
 *   1416    ...   text3, UTF-16, to the end of the record (cbSize)
 * Strings are read only within their fields (and text3 within cbSize), each
 * cut at 599 characters; an unterminated string ends at its field's end.
 */
#ifndef TRUSTLIST_TRUSTLIST_H_
#define TRUSTLIST_TRUSTLIST_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Ordinals of the exported entry points. */
enum {
  TRUSTLIST_ORDINAL_SET_HOST_MODULE = 8,
  TRUSTLIST_ORDINAL_SELECT_TARGET = 10,
  TRUSTLIST_ORDINAL_ADD_PROGRAM = 11,
  TRUSTLIST_ORDINAL_COMMIT = 19,
  TRUSTLIST_ORDINAL_IMPORT_PROGRAM_LIST = 20,
  TRUSTLIST_ORDINAL_IMPORT_BLOCK_LIST = 21
};

/* UTF-16 code unit as the library sees it (wchar_t on Windows). */
typedef uint16_t trustlist_wchar;

#define TRUSTLIST_REQUEST_SIZE 632
#define TRUSTLIST_TARGET_PATH_UNITS 260
#define TRUSTLIST_STREAM_NAME_UNITS 32

typedef struct TrustlistRequest {
  trustlist_wchar targetPath[TRUSTLIST_TARGET_PATH_UNITS];
  trustlist_wchar streamName[TRUSTLIST_STREAM_NAME_UNITS];
  uint32_t skip;
  uint32_t reserved0;
  struct TrustlistRequest* next;
  uint8_t reserved1[32];
} TrustlistRequest;

#define TRUSTLIST_PROGRAM_MIN_SIZE 2048
#define TRUSTLIST_PATH_UNITS 260
#define TRUSTLIST_TOKEN_LIST_UNITS 260
#define TRUSTLIST_TEXT_UNITS 64
/* Units of text3 in a record of exactly TRUSTLIST_PROGRAM_MIN_SIZE bytes. */
#define TRUSTLIST_TEXT3_MIN_UNITS ((TRUSTLIST_PROGRAM_MIN_SIZE - 1416) / 2)

/* Flags of a stored program block (what AddProgram found in the description). */
enum {
  TRUSTLIST_PB_VALUE = 0x01,
  TRUSTLIST_PB_VALUE_PAIR = 0x02,
  TRUSTLIST_PB_TIMESTAMP = 0x04,
  TRUSTLIST_PB_TEXT2 = 0x08,
  TRUSTLIST_PB_TEXT1 = 0x10,
  TRUSTLIST_PB_TOKENS = 0x20,
  TRUSTLIST_PB_TEXT3 = 0x40,
  TRUSTLIST_PB_FINGERPRINT = 0x80
};

/* The record in its smallest form; a caller may pass a larger record (cbSize
   says how large), with text3 running on to its end. */
typedef struct TrustlistProgram {
  uint32_t cbSize;
  trustlist_wchar path[TRUSTLIST_PATH_UNITS];
  uint32_t valueSingle;
  uint32_t valuePairFirst;
  uint32_t valuePairSecond;
  uint8_t reserved0[80];
  trustlist_wchar tokenList[TRUSTLIST_TOKEN_LIST_UNITS];
  uint64_t timeStampFile;   /* address of a UTF-16 path, or 0 */
  uint64_t fingerprintFile; /* address of a UTF-16 path, or 0 */
  uint8_t reserved1[8];
  trustlist_wchar text1[TRUSTLIST_TEXT_UNITS];
  trustlist_wchar text2[TRUSTLIST_TEXT_UNITS];
  trustlist_wchar text3[TRUSTLIST_TEXT3_MIN_UNITS];
} TrustlistProgram;

/* Entry point types. */
typedef void (*TrustlistSetHostModuleFn)(void* hostModule);
typedef TrustlistRequest* (*TrustlistSelectTargetFn)(int32_t customFile, int32_t programList);
typedef int32_t (*TrustlistAddProgramFn)(TrustlistProgram* program);
typedef uint32_t (*TrustlistCommitFn)(void);
typedef uint32_t (*TrustlistImportFn)(const trustlist_wchar* hashListPath);

/* The entry points by the names the import library knows them by (the names
   of trustlist.def, ordinals in the comments); each takes and returns what
   its function type above says. None of them throws.
   Commit and the two imports return the number of entries stored; when they
   return 0 the thread's last error (GetLastError) says why: ERROR_SUCCESS when
   an empty list was stored, else the cause (the system's error of the open,
   the read or the write; ERROR_SHARING_VIOLATION: another writer held the
   container for the whole wait; ERROR_FILE_CORRUPT: an interrupted write could
   not be rolled back; ERROR_DISK_FULL: the list does not fit the container;
   ERROR_INVALID_HANDLE: nothing selected; ERROR_CANCELLED: the skip flag). */
#if defined(__cplusplus)
#define TRUSTLIST_NOEXCEPT noexcept
#else
#define TRUSTLIST_NOEXCEPT
#endif
void SetHostModule(void* hostModule) TRUSTLIST_NOEXCEPT;                                    /* 8 */
TrustlistRequest* SelectTarget(int32_t customFile, int32_t programList) TRUSTLIST_NOEXCEPT; /* 10 */
int32_t AddProgram(TrustlistProgram* program) TRUSTLIST_NOEXCEPT;                           /* 11 */
uint32_t Commit(void) TRUSTLIST_NOEXCEPT;                                                   /* 19 */
uint32_t ImportProgramList(const trustlist_wchar* hashListPath) TRUSTLIST_NOEXCEPT;         /* 20 */
uint32_t ImportBlockList(const trustlist_wchar* hashListPath) TRUSTLIST_NOEXCEPT;           /* 21 */

#if defined(__cplusplus)
#define TRUSTLIST_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#define TRUSTLIST_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif

TRUSTLIST_STATIC_ASSERT(sizeof(void*) == 8, "trustlist is a 64-bit interface");
TRUSTLIST_STATIC_ASSERT(offsetof(TrustlistRequest, targetPath) == 0, "request: targetPath");
TRUSTLIST_STATIC_ASSERT(offsetof(TrustlistRequest, streamName) == 520, "request: streamName");
TRUSTLIST_STATIC_ASSERT(offsetof(TrustlistRequest, skip) == 584, "request: skip");
TRUSTLIST_STATIC_ASSERT(offsetof(TrustlistRequest, reserved0) == 588, "request: reserved0");
TRUSTLIST_STATIC_ASSERT(offsetof(TrustlistRequest, next) == 592, "request: next");
TRUSTLIST_STATIC_ASSERT(offsetof(TrustlistRequest, reserved1) == 600, "request: reserved1");
TRUSTLIST_STATIC_ASSERT(sizeof(TrustlistRequest) == TRUSTLIST_REQUEST_SIZE, "request size");

TRUSTLIST_STATIC_ASSERT(offsetof(TrustlistProgram, cbSize) == 0, "program: cbSize");
TRUSTLIST_STATIC_ASSERT(offsetof(TrustlistProgram, path) == 4, "program: path");
TRUSTLIST_STATIC_ASSERT(offsetof(TrustlistProgram, valueSingle) == 524, "program: valueSingle");
TRUSTLIST_STATIC_ASSERT(offsetof(TrustlistProgram, valuePairFirst) == 528,
                        "program: valuePairFirst");
TRUSTLIST_STATIC_ASSERT(offsetof(TrustlistProgram, valuePairSecond) == 532,
                        "program: valuePairSecond");
TRUSTLIST_STATIC_ASSERT(offsetof(TrustlistProgram, tokenList) == 616, "program: tokenList");
TRUSTLIST_STATIC_ASSERT(offsetof(TrustlistProgram, timeStampFile) == 1136,
                        "program: timeStampFile");
TRUSTLIST_STATIC_ASSERT(offsetof(TrustlistProgram, fingerprintFile) == 1144,
                        "program: fingerprintFile");
TRUSTLIST_STATIC_ASSERT(offsetof(TrustlistProgram, text1) == 1160, "program: text1");
TRUSTLIST_STATIC_ASSERT(offsetof(TrustlistProgram, text2) == 1288, "program: text2");
TRUSTLIST_STATIC_ASSERT(offsetof(TrustlistProgram, text3) == 1416, "program: text3");
TRUSTLIST_STATIC_ASSERT(sizeof(TrustlistProgram) == TRUSTLIST_PROGRAM_MIN_SIZE, "program size");

#ifdef __cplusplus
}
#endif

#endif /* TRUSTLIST_TRUSTLIST_H_ */
