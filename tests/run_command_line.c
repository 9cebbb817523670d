/* Starts one command line exactly as written, as Explorer starts a verb's
 * command (CreateProcessW, no shell in between), waits for it and returns its
 * exit status; the standard streams are passed on. Given a second path, it
 * starts the program suspended instead and keeps it so until that path
 * exists, as a Corvane window left open keeps corvane.exe running. Built with
 * mingw-w64 by tests/installer-check.sh and run under wine:
 *   run_command_line.exe "\"C:\...\corvane.exe\" \"Z:\tmp\a b.fit\"" [RELEASE] */
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2 && argc != 3) return 2;
  STARTUPINFOW startup = {0};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {0};
  const DWORD flags = argc == 3 ? CREATE_SUSPENDED : 0;
  if (!CreateProcessW(NULL, argv[1], NULL, NULL, TRUE, flags, NULL, NULL, &startup, &process)) return 3;
  if (argc == 3) {
    while (GetFileAttributesW(argv[2]) == INVALID_FILE_ATTRIBUTES) Sleep(100);
    TerminateProcess(process.hProcess, 0);
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 1;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return (int)status;
}
