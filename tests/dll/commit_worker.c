/* One process of the product committing lists, for the tests of several
 * writers: loads trustlist.dll from the path given, then ROUNDS times selects
 * TrustCustom.mnf with stream ProgramList (LIST 1) or BlockList (LIST 0), adds
 * ENTRIES programs named "w<ID>r<round>e<entry>.exe" and commits. Knows only
 * the public header and the ordinals. Exit code: the number of commits that
 * did not report every entry written (0: all stored); 100 when the DLL cannot
 * be used.
 *
 *   commit_worker DLL LIST ID ROUNDS ENTRIES
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>

#include "trustlist/trustlist.h"

int main(int argc, char** argv) {
  if (argc != 6) return 100;
  HMODULE dll = LoadLibraryA(argv[1]);
  if (dll == NULL) return 100;
  TrustlistSelectTargetFn select_target = (TrustlistSelectTargetFn)(void*)GetProcAddress(
      dll, MAKEINTRESOURCEA(TRUSTLIST_ORDINAL_SELECT_TARGET));
  TrustlistAddProgramFn add_program = (TrustlistAddProgramFn)(void*)GetProcAddress(
      dll, MAKEINTRESOURCEA(TRUSTLIST_ORDINAL_ADD_PROGRAM));
  TrustlistCommitFn commit =
      (TrustlistCommitFn)(void*)GetProcAddress(dll, MAKEINTRESOURCEA(TRUSTLIST_ORDINAL_COMMIT));
  if (select_target == NULL || add_program == NULL || commit == NULL) return 100;
  const int list = atoi(argv[2]);
  const int id = atoi(argv[3]);
  const int rounds = atoi(argv[4]);
  const int entries = atoi(argv[5]);
  TrustlistProgram* program = (TrustlistProgram*)malloc(sizeof *program);
  if (program == NULL) return 100;
  int failed = 0;
  for (int r = 0; r < rounds; ++r) {
    select_target(1, list);
    for (int e = 0; e < entries; ++e) {
      static const wchar_t kText1[] = L"from a worker";
      memset(program, 0, sizeof *program);
      program->cbSize = sizeof *program;
      swprintf((wchar_t*)program->path, TRUSTLIST_PATH_UNITS, L"C:\\w%d\\w%dr%de%d.exe", id, id, r,
               e);
      memcpy(program->text1, kText1, sizeof kText1);
      add_program(program);
    }
    if (commit() != (uint32_t)entries) ++failed;
  }
  free(program);
  FreeLibrary(dll);
  return failed;
}
