/*
 * A caller that links the import library and calls the entry points by name
 * (no GetProcAddress): the containers go beside this program (SetHostModule
 * with null), the list "ProgramList" of TrustCustom.mnf gets every PROGRAM
 * (time stamp and fingerprint read from the PROGRAM file, text1 "added by
 * caller"), then HASHLIST is imported as "BlockList", and an import of a file
 * that does not exist must change nothing.
 *
 * Usage: consumer HASHLIST PROGRAM...
 * Prints each call's result; exit 0 when every result is the one expected.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "trustlist/trustlist.h"

static int failures = 0;

static void Expect(int ok, const char* what) {
  printf("%s: %s\n", what, ok ? "ok" : "UNEXPECTED");
  if (!ok) ++failures;
}

static void Widen(const char* text, trustlist_wchar* out, int units) {
  if (MultiByteToWideChar(CP_ACP, 0, text, -1, (wchar_t*)out, units) == 0) out[0] = 0;
}

int main(int argc, char** argv) {
  static const wchar_t kText1[] = L"added by caller";
  static const wchar_t kMissing[] = L"Z:\\no\\such\\hash list.txt";
  trustlist_wchar path[TRUSTLIST_PATH_UNITS];
  int i;
  if (argc < 3) {
    fprintf(stderr, "usage: consumer HASHLIST PROGRAM...\n");
    return 2;
  }

  SetHostModule(NULL);
  TrustlistRequest* request = SelectTarget(1, 1);
  Expect(request != NULL, "SelectTarget(1, 1) returns the request");
  if (request != NULL) {
    const wchar_t* target = (const wchar_t*)request->targetPath;
    size_t n = wcslen(target);
    Expect(n > 16 && _wcsicmp(target + n - 16, L"\\TrustCustom.mnf") == 0,
           "the target is TrustCustom.mnf");
  }

  for (i = 2; i < argc; ++i) {
    TrustlistProgram* program = (TrustlistProgram*)calloc(1, sizeof *program);
    if (program == NULL) return 2;
    program->cbSize = sizeof *program;
    Widen(argv[i], program->path, TRUSTLIST_PATH_UNITS);
    Widen(argv[i], path, TRUSTLIST_PATH_UNITS);
    memcpy(program->text1, kText1, sizeof kText1);
    program->timeStampFile = (uint64_t)(uintptr_t)path;
    program->fingerprintFile = (uint64_t)(uintptr_t)path;
    Expect(AddProgram(program) == 1, "AddProgram returns 1");
    free(program);
  }
  uint32_t written = Commit();
  printf("Commit() -> %lu\n", (unsigned long)written);
  Expect(written == (uint32_t)(argc - 2), "Commit writes every program");

  Widen(argv[1], path, TRUSTLIST_PATH_UNITS);
  printf("ImportBlockList(%s) -> %lu\n", argv[1], (unsigned long)ImportBlockList(path));
  Expect(ImportProgramList((const trustlist_wchar*)kMissing) == 0,
         "ImportProgramList of a missing file returns 0");
  return failures == 0 ? 0 : 1;
}
