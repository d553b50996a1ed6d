/*
 * The smallest honest caller of trustlist.dll: it knows only the public header.
 *
 * Usage:
 *   caller DLL [-f] [-i HASHLIST] [PROGRAM ...]
 *
 *   DLL        path of trustlist.dll; the container files are written beside it
 *   -f         take each PROGRAM's fingerprint and link time stamp from the
 *              PROGRAM file itself
 *   -i FILE    after the commit, import FILE (one "size crc" pair of hexadecimal
 *              numbers per line) as the program list
 *   PROGRAM    a program path to add to the list "ProgramList" of
 *              TrustCustom.mnf
 *
 * It loads the library, resolves the entry points by ordinal, selects
 * TrustCustom.mnf / ProgramList, adds every PROGRAM, commits, imports the hash
 * list when one is given, and prints each call's result. Exit status 0 when the
 * library and all its entry points could be had, 1 otherwise.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "trustlist/trustlist.h"

static FARPROC Resolve(HMODULE dll, int ordinal) {
  FARPROC fn = GetProcAddress(dll, MAKEINTRESOURCEA(ordinal));
  if (fn == NULL) fprintf(stderr, "ordinal %d not found\n", ordinal);
  return fn;
}

/* Converts a command-line argument to a UTF-16 buffer of `units` units. */
static int Widen(const char* text, trustlist_wchar* out, int units) {
  int n = MultiByteToWideChar(CP_ACP, 0, text, -1, (wchar_t*)out, units);
  if (n == 0) out[0] = 0;
  return n != 0;
}

int main(int argc, char** argv) {
  int take_files = 0;
  const char* hash_list = NULL;
  int first_program = argc;
  int i;

  if (argc < 2) {
    fprintf(stderr, "usage: caller DLL [-f] [-i HASHLIST] [PROGRAM ...]\n");
    return 1;
  }
  for (i = 2; i < argc; ++i) {
    if (strcmp(argv[i], "-f") == 0) {
      take_files = 1;
    } else if (strcmp(argv[i], "-i") == 0 && i + 1 < argc) {
      hash_list = argv[++i];
    } else {
      first_program = i;
      break;
    }
  }

  HMODULE dll = LoadLibraryA(argv[1]);
  if (dll == NULL) {
    fprintf(stderr, "cannot load %s (error %lu)\n", argv[1], (unsigned long)GetLastError());
    return 1;
  }
  TrustlistSelectTargetFn select_target =
      (TrustlistSelectTargetFn)(void*)Resolve(dll, TRUSTLIST_ORDINAL_SELECT_TARGET);
  TrustlistAddProgramFn add_program =
      (TrustlistAddProgramFn)(void*)Resolve(dll, TRUSTLIST_ORDINAL_ADD_PROGRAM);
  TrustlistCommitFn commit = (TrustlistCommitFn)(void*)Resolve(dll, TRUSTLIST_ORDINAL_COMMIT);
  TrustlistImportFn import_program_list =
      (TrustlistImportFn)(void*)Resolve(dll, TRUSTLIST_ORDINAL_IMPORT_PROGRAM_LIST);
  if (select_target == NULL || add_program == NULL || commit == NULL ||
      import_program_list == NULL) {
    FreeLibrary(dll);
    return 1;
  }

  TrustlistRequest* request = select_target(1, 1);
  if (request != NULL) {
    char target[3 * TRUSTLIST_TARGET_PATH_UNITS];
    WideCharToMultiByte(CP_UTF8, 0, (const wchar_t*)request->targetPath, -1, target, sizeof target,
                        NULL, NULL);
    printf("SelectTarget(1, 1) -> %s\n", target);
  } else {
    printf("SelectTarget(1, 1) -> no target\n");
  }

  for (i = first_program; i < argc; ++i) {
    /* The record is zeroed; only the fields this caller fills carry meaning. */
    TrustlistProgram* program = (TrustlistProgram*)calloc(1, sizeof *program);
    trustlist_wchar file[TRUSTLIST_PATH_UNITS];
    static const wchar_t kText1[] = L"added by caller";
    if (program == NULL) return 1;
    program->cbSize = sizeof *program;
    Widen(argv[i], program->path, TRUSTLIST_PATH_UNITS);
    memcpy(program->text1, kText1, sizeof kText1);
    Widen(argv[i], file, TRUSTLIST_PATH_UNITS);
    const uint64_t address = (uint64_t)(uintptr_t)file;
    if (take_files) {
      program->timeStampFile = address;
      program->fingerprintFile = address;
    }
    int32_t added = add_program(program);
    printf("AddProgram(%s) -> %d", argv[i], (int)added);
    if (take_files) {
      /* The library writes the stamp over the low half of the address it read. */
      if ((uint32_t)program->timeStampFile != (uint32_t)address) {
        printf(", time stamp 0x%08lx", (unsigned long)(uint32_t)program->timeStampFile);
      } else {
        printf(", no time stamp");
      }
      printf(", fingerprint 0x%016llx", (unsigned long long)program->fingerprintFile);
    }
    printf("\n");
    free(program);
  }

  printf("Commit() -> %lu\n", (unsigned long)commit());

  if (hash_list != NULL) {
    trustlist_wchar path[TRUSTLIST_PATH_UNITS];
    Widen(hash_list, path, TRUSTLIST_PATH_UNITS);
    printf("ImportProgramList(%s) -> %lu\n", hash_list, (unsigned long)import_program_list(path));
  }

  FreeLibrary(dll);
  return 0;
}
