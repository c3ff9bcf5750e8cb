#include "app/parent_console.h"

#include <windows.h>

#include <cstdio>

void use_parent_console_for_output() {
  // Redirected output (a file, a pipe, Wine's terminal) already has a handle.
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out != nullptr && out != INVALID_HANDLE_VALUE) return;
  if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
  if (std::freopen("CONOUT$", "w", stdout) == nullptr) return;
}
