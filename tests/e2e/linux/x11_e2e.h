// The modes of velmora_x11_e2e, one file each, and what the session mode's files
// share. Each mode takes the program and its work folder, prints its checks and
// returns 1 if any failed.
#pragma once

#include <cstdint>
#include <string>

#include "e2e_common.h"

namespace e2e {

int RunSession(const std::string& exe, const fs::path& dir);               // session.cpp
int RunBurst(const std::string& exe, const fs::path& dir);                 // session.cpp
int RunClose(const std::string& mode, const std::string& exe, const fs::path& dir);  // close.cpp
int RunTwoCopies(const std::string& exe, const fs::path& dir);             // close.cpp
int RunWindowManager(const std::string& exe, const fs::path& dir);         // wm_move.cpp
int RunEvdev(const std::string& exe, const fs::path& dir);                 // evdev.cpp
int RunEvdevDenied(const std::string& exe, const fs::path& dir);           // evdev.cpp

// The session's window as it opens (session_looks.cpp).
constexpr std::uint32_t kFace = 0xC0C0C0;  // the form's background, clBtnFace
void CheckWindow(Session& s);
void CheckDeviceList(Session& s);
void CheckInks(Session& s);

}  // namespace e2e
