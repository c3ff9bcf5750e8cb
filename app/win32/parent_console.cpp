#include "app/parent_console.h"

#include <windows.h>

#include <cstdio>

namespace {
// Redirected output (a file, a pipe, Wine's terminal) already has a handle.
bool HasHandle(DWORD which) {
  const HANDLE h = GetStdHandle(which);
  return h != nullptr && h != INVALID_HANDLE_VALUE;
}
}  // namespace

void use_parent_console_for_output() {
  const bool out = HasHandle(STD_OUTPUT_HANDLE);
  const bool err = HasHandle(STD_ERROR_HANDLE);
  if (out && err) return;
  if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
  if (!out) std::freopen("CONOUT$", "w", stdout);
  if (!err) std::freopen("CONOUT$", "w", stderr);
}
