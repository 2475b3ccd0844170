/* The yardstick of tools/bench.py's copy figures under Wine: what setup.exe does to the volume
 * and nothing else. Each add-on file copied to NAME.setup-new, all flushed, a record written and
 * flushed, each old file renamed aside through its own open and the new one renamed in, neither
 * replacing anything, the record renamed away, the old files and the record deleted, the folder
 * flushed between the steps. Nothing is checked or kept for a rollback.
 *
 *     bare_steps.exe SOURCE-FOLDER TARGET-FOLDER NAME...
 *
 * Prints the seconds from the first open to the last delete. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

enum { kChunk = 256 * 1024, kMostFiles = 64 };

static void Fail(const wchar_t* what, const wchar_t* path) {
  fwprintf(stderr, L"%ls %ls: error %lu\n", what, path, GetLastError());
  ExitProcess(1);
}

static HANDLE Open(const wchar_t* path, DWORD access, DWORD share, DWORD disposition) {
  return CreateFileW(path, access, share, NULL, disposition, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_SEQUENTIAL_SCAN,
                     NULL);
}

/* In the same folder, never over anything. */
static void RenameTo(HANDLE file, const wchar_t* path) {
  const size_t bytes = wcslen(path) * sizeof(wchar_t);
  FILE_RENAME_INFO* info = calloc(1, sizeof *info + bytes);
  info->FileNameLength = (DWORD)bytes;
  memcpy(info->FileName, path, bytes);
  if (!SetFileInformationByHandle(file, FileRenameInfo, info, (DWORD)(sizeof *info + bytes))) Fail(L"rename", path);
  free(info);
}

static void Delete(HANDLE file) {
  FILE_DISPOSITION_INFO info = {TRUE};
  if (!SetFileInformationByHandle(file, FileDispositionInfo, &info, sizeof info)) Fail(L"delete", L"");
  CloseHandle(file);
}

int wmain(int argc, wchar_t** argv) {
  if (argc < 4 || argc - 3 > kMostFiles) {
    fwprintf(stderr, L"usage: bare_steps SOURCE-FOLDER TARGET-FOLDER NAME...\n");
    return 2;
  }
  const wchar_t* source = argv[1];
  const wchar_t* target = argv[2];
  const int count = argc - 3;
  static char chunk[kChunk];
  static HANDLE staged[kMostFiles], kept[kMostFiles];
  wchar_t path[MAX_PATH], aside[MAX_PATH];
  LARGE_INTEGER frequency, started, ended;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&started);

  HANDLE folder = Open(target, GENERIC_READ | FILE_ADD_FILE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  if (folder == INVALID_HANDLE_VALUE) Fail(L"open", target);
  for (int i = 0; i < count; ++i) {
    swprintf(path, MAX_PATH, L"%ls\\%ls", source, argv[3 + i]);
    HANDLE from = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    if (from == INVALID_HANDLE_VALUE) Fail(L"open", path);
    swprintf(path, MAX_PATH, L"%ls\\%ls.setup-new", target, argv[3 + i]);
    staged[i] = Open(path, GENERIC_WRITE | DELETE, 0, CREATE_NEW);
    if (staged[i] == INVALID_HANDLE_VALUE) Fail(L"create", path);
    DWORD got, put;
    while (ReadFile(from, chunk, kChunk, &got, NULL) && got) {
      if (!WriteFile(staged[i], chunk, got, &put, NULL) || put != got) Fail(L"write", path);
    }
    CloseHandle(from);
  }
  for (int i = 0; i < count; ++i) FlushFileBuffers(staged[i]);
  swprintf(path, MAX_PATH, L"%ls\\setup.journal", target);
  HANDLE record = Open(path, GENERIC_WRITE | DELETE, 0, CREATE_NEW);
  if (record == INVALID_HANDLE_VALUE) Fail(L"create", path);
  DWORD put;
  WriteFile(record, chunk, 1024, &put, NULL);
  FlushFileBuffers(record);
  FlushFileBuffers(folder);

  for (int i = 0; i < count; ++i) {
    swprintf(path, MAX_PATH, L"%ls\\%ls", target, argv[3 + i]);
    kept[i] = Open(path, GENERIC_READ | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    if (kept[i] != INVALID_HANDLE_VALUE) {
      swprintf(aside, MAX_PATH, L"%ls\\%ls.setup-old", target, argv[3 + i]);
      RenameTo(kept[i], aside);
    }
    RenameTo(staged[i], path);
    CloseHandle(staged[i]);
  }
  FlushFileBuffers(folder);
  swprintf(aside, MAX_PATH, L"%ls\\setup.journal.setup-old", target);
  RenameTo(record, aside);
  FlushFileBuffers(folder);
  for (int i = 0; i < count; ++i) {
    if (kept[i] != INVALID_HANDLE_VALUE) Delete(kept[i]);
  }
  FlushFileBuffers(folder);
  Delete(record);
  CloseHandle(folder);

  QueryPerformanceCounter(&ended);
  printf("%.6f\n", (double)(ended.QuadPart - started.QuadPart) / (double)frequency.QuadPart);
  return 0;
}
