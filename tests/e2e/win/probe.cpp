// velmora_probe: reads and pokes the running Velmora window from another process,
// for the end-to-end runner under Wine. Output is one tab-separated record a line;
// text fields are escaped (\\ \t \r \n) so a record never spans lines.
//
//   wait [ms]                 the window exists and is visible
//   gone [ms]                 the window no longer exists
//   dump                      window, children and memo lines
//   text X Y                  text of the child whose top-left is client (X, Y)
//   wait-text X Y TEXT [ms]   until that child's text is TEXT
//   wait-lines X Y N [ms]     until that child's text has at least N lines
//   settle X Y QUIET [ms]     until that child's text has changed and then stayed
//                             the same for QUIET ms; prints when it last changed
//                             (Unix ms) and its lines
//   pids                      the process id of each visible window
//   origin                    screen position of the client area's top-left
//   focus                     bring the window to the foreground
//   post MSG WPARAM LPARAM    PostMessage to the window
//   close                     post WM_CLOSE
//   hold-focus MS             shows a window of the probe's own ("Other") in the
//                             foreground for MS ms; prints "holding" once it is,
//                             "held" when done
//
// A window counts as Velmora's when its title is "Velmora" or starts with
// "Velmora (", as it does when the program tells what it does.
//
// With VELMORA_PROBE_PID set, only that process's window counts (two copies run).
//
// Exit status: 0 done, 1 condition not met in time, 2 bad usage, 3 no window.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr wchar_t kCaption[] = L"Velmora";
constexpr wchar_t kCaptionNoted[] = L"Velmora (";
constexpr DWORD kDefaultTimeoutMs = 10000;
constexpr DWORD kPollMs = 50;
// Cross-process messages: a hung window must not hang the probe too.
constexpr UINT kSendTimeoutMs = 3000;

std::string utf8(const std::wstring& w) {
  if (w.empty()) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::string escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      default: out += c;
    }
  }
  return out;
}

void emit(const std::vector<std::string>& fields) {
  std::string line;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i != 0) line += '\t';
    line += fields[i];
  }
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stdout);
}

DWORD pid_of(HWND hwnd) {
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  return pid;
}

// The visible top-level windows with the caption, of the chosen process if one is
// chosen; a hidden one of the same name (say, while the program starts) is passed over.
bool is_velmora(HWND hwnd) {
  wchar_t caption[128] = {};
  InternalGetWindowText(hwnd, caption, 128);
  return lstrcmpW(caption, kCaption) == 0 || std::wcsncmp(caption, kCaptionNoted, std::wcslen(kCaptionNoted)) == 0;
}

BOOL CALLBACK match_form(HWND hwnd, LPARAM out) {
  if (!IsWindowVisible(hwnd) || !is_velmora(hwnd)) return TRUE;
  static const char* const chosen = std::getenv("VELMORA_PROBE_PID");
  if (chosen != nullptr && *chosen != '\0' && std::strtoul(chosen, nullptr, 0) != pid_of(hwnd)) return TRUE;
  reinterpret_cast<std::vector<HWND>*>(out)->push_back(hwnd);
  return TRUE;
}

std::vector<HWND> find_forms() {
  std::vector<HWND> found;
  EnumWindows(match_form, reinterpret_cast<LPARAM>(&found));
  return found;
}

HWND find_form() {
  const std::vector<HWND> found = find_forms();
  return found.empty() ? nullptr : found.front();
}

// Wine's system time is the host's, so the runner can compare it with its own clock.
unsigned long long unix_ms() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  const unsigned long long ticks = (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return ticks / 10000 - 11644473600000ULL;
}

// WM_GETTEXT, not GetWindowText: for another process's window GetWindowText
// returns the window name, which an edit control does not keep in step.
bool window_text(HWND hwnd, std::string& out) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &length)) return false;
  std::wstring buffer(length + 1, L'\0');
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutW(hwnd, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()), SMTO_ABORTIFHUNG,
                           kSendTimeoutMs, &copied)) {
    return false;
  }
  buffer.resize(copied < length ? copied : length);
  out = utf8(buffer);
  return true;
}

// A multi-line edit separates its lines with CR LF; a trailing CR LF ends the
// last line rather than starting an empty one.
std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

std::vector<HWND> children(HWND form) {
  std::vector<HWND> out;
  for (HWND child = GetWindow(form, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
    out.push_back(child);
  }
  return out;
}

RECT client_rect_of(HWND form, HWND child) {
  RECT r;
  GetWindowRect(child, &r);
  MapWindowPoints(HWND_DESKTOP, form, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

HWND child_at(HWND form, int x, int y) {
  for (HWND child : children(form)) {
    const RECT r = client_rect_of(form, child);
    if (r.left == x && r.top == y) return child;
  }
  return nullptr;
}

std::string hex(unsigned long v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08lx", v);
  return buf;
}

int dump(HWND form) {
  wchar_t caption[256] = {};
  InternalGetWindowText(form, caption, 256);
  RECT outer;
  GetWindowRect(form, &outer);
  RECT client;
  GetClientRect(form, &client);
  POINT origin = {0, 0};
  ClientToScreen(form, &origin);
  emit({"window", escape(utf8(caption)), std::to_string(outer.left), std::to_string(outer.top),
        std::to_string(outer.right - outer.left), std::to_string(outer.bottom - outer.top),
        std::to_string(client.right), std::to_string(client.bottom), std::to_string(origin.x),
        std::to_string(origin.y), IsWindowVisible(form) ? "1" : "0", IsWindowEnabled(form) ? "1" : "0",
        hex(static_cast<unsigned long>(GetWindowLongW(form, GWL_STYLE)))});

  int index = 0;
  for (HWND child : children(form)) {
    wchar_t cls[64] = {};
    GetClassNameW(child, cls, 64);
    const RECT r = client_rect_of(form, child);
    const LONG style = GetWindowLongW(child, GWL_STYLE);
    std::string text;
    if (!window_text(child, text)) {
      std::fprintf(stderr, "probe: no answer to WM_GETTEXT from child %d\n", index);
      return 1;
    }
    emit({"child", std::to_string(index), escape(utf8(cls)), std::to_string(GetDlgCtrlID(child)),
          std::to_string(r.left), std::to_string(r.top), std::to_string(r.right - r.left),
          std::to_string(r.bottom - r.top), IsWindowEnabled(child) ? "1" : "0", IsWindowVisible(child) ? "1" : "0",
          hex(static_cast<unsigned long>(style)), escape(text)});
    // The memo: a multi-line edit or the program's own panel with the same styles.
    if (style & ES_MULTILINE && lstrcmpiW(cls, L"STATIC") != 0 && lstrcmpiW(cls, L"BUTTON") != 0) {
      int n = 0;
      for (const std::string& line : split_lines(text)) {
        emit({"line", std::to_string(index), std::to_string(n++), escape(line)});
      }
    }
    ++index;
  }
  return 0;
}

// Polls check until it holds or ms have passed; check sees the form or null.
template <class Check>
bool poll(DWORD ms, Check check) {
  const ULONGLONG deadline = GetTickCount64() + ms;
  for (;;) {
    if (check(find_form())) return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(kPollMs);
  }
}

bool parse_int(const char* s, long long& out) {
  char* end = nullptr;
  out = std::strtoll(s, &end, 0);
  return end != s && *end == '\0';
}

bool parse_uint(const char* s, unsigned long long& out) {
  char* end = nullptr;
  out = std::strtoull(s, &end, 0);
  return end != s && *end == '\0';
}

DWORD timeout_arg(int argc, char** argv, int at) {
  long long ms = 0;
  if (at < argc && parse_int(argv[at], ms) && ms >= 0) return static_cast<DWORD>(ms);
  return kDefaultTimeoutMs;
}

int usage() {
  std::fprintf(stderr,
               "usage: velmora_probe wait|gone [ms] | dump | origin | focus | close\n"
               "       | text X Y | wait-text X Y TEXT [ms] | wait-lines X Y N [ms]\n"
               "       | settle X Y QUIET [ms] | pids | post MSG WPARAM LPARAM\n"
               "       | hold-focus MS\n");
  return 2;
}

int no_window() {
  std::fprintf(stderr, "probe: no visible window titled Velmora\n");
  return 3;
}

int child_text_command(const std::string& cmd, int argc, char** argv) {
  long long x = 0, y = 0;
  if (argc < 4 || !parse_int(argv[2], x) || !parse_int(argv[3], y)) return usage();
  const bool wait_text = cmd == "wait-text";
  const bool wait_lines = cmd == "wait-lines";
  long long want_lines = 0;
  if (wait_text && argc < 5) return usage();
  if (wait_lines && (argc < 5 || !parse_int(argv[4], want_lines))) return usage();
  const DWORD ms = (wait_text || wait_lines) ? timeout_arg(argc, argv, 5) : 0;

  std::string last;
  bool found = false;
  const bool met = poll(ms, [&](HWND form) {
    if (form == nullptr) return false;
    HWND child = child_at(form, static_cast<int>(x), static_cast<int>(y));
    if (child == nullptr || !window_text(child, last)) return false;
    found = true;
    if (wait_text) return last == argv[4];
    if (wait_lines) return static_cast<long long>(split_lines(last).size()) >= want_lines;
    return true;
  });
  if (!found) {
    std::fprintf(stderr, "probe: no child at client (%lld, %lld)\n", x, y);
    return 3;
  }
  if (wait_lines) {
    int n = 0;
    for (const std::string& line : split_lines(last)) emit({"line", std::to_string(n++), escape(line)});
  } else {
    emit({"text", escape(last)});
  }
  return met ? 0 : 1;
}

// Started before a burst of input: waits for the child's text to change, then for
// it to rest, and says when it last changed. Polls faster than the other commands,
// since the time is the result.
int settle_command(int argc, char** argv) {
  long long x = 0, y = 0, quiet = 0;
  if (argc < 5 || !parse_int(argv[2], x) || !parse_int(argv[3], y) || !parse_int(argv[4], quiet) || quiet < 0) {
    return usage();
  }
  constexpr DWORD kSettlePollMs = 20;
  const ULONGLONG deadline = GetTickCount64() + timeout_arg(argc, argv, 5);
  std::string last, text;
  bool seen = false, changed = false;
  ULONGLONG changed_tick = 0;
  unsigned long long changed_unix = 0;
  for (;;) {
    HWND form = find_form();
    HWND child = form != nullptr ? child_at(form, static_cast<int>(x), static_cast<int>(y)) : nullptr;
    if (child != nullptr && window_text(child, text)) {
      const ULONGLONG now = GetTickCount64();
      if (!seen) {
        last.swap(text);
        seen = true;
        // The runner starts the burst once the probe has the text as it was before.
        emit({"watching"});
        std::fflush(stdout);
      } else if (text != last) {
        last.swap(text);
        changed = true;
        changed_tick = now;
        changed_unix = unix_ms();
      }
      if (changed && now - changed_tick >= static_cast<ULONGLONG>(quiet)) break;
    }
    if (GetTickCount64() >= deadline) break;
    Sleep(kSettlePollMs);
  }
  emit({"settled", changed ? std::to_string(changed_unix) : "never"});
  int n = 0;
  for (const std::string& line : split_lines(last)) emit({"line", std::to_string(n++), escape(line)});
  return changed && GetTickCount64() - changed_tick >= static_cast<ULONGLONG>(quiet) ? 0 : 1;
}

BOOL CALLBACK match_any(HWND hwnd, LPARAM found) {
  if (!is_velmora(hwnd)) return TRUE;
  *reinterpret_cast<bool*>(found) = true;
  return FALSE;
}

// Any top-level window of the program, shown or not.
bool any_velmora_window() {
  bool found = false;
  EnumWindows(match_any, reinterpret_cast<LPARAM>(&found));
  return found;
}

LRESULT CALLBACK other_proc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  return DefWindowProcW(hwnd, msg, wparam, lparam);
}

// Another program's window in the foreground, for as long as asked.
int hold_focus(DWORD ms) {
  WNDCLASSW wc = {};
  wc.lpfnWndProc = other_proc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.lpszClassName = L"VelmoraProbeOther";
  RegisterClassW(&wc);
  HWND other = CreateWindowExW(WS_EX_TOPMOST, wc.lpszClassName, L"Other", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                               1280, 1024, nullptr, nullptr, wc.hInstance, nullptr);
  if (other == nullptr) return 1;
  SetForegroundWindow(other);
  const ULONGLONG deadline = GetTickCount64() + ms;
  bool told = false;
  while (GetTickCount64() < deadline) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    if (!told && GetForegroundWindow() == other) {
      emit({"holding"});
      std::fflush(stdout);
      told = true;
    }
    Sleep(10);
  }
  const bool held = told && GetForegroundWindow() == other;
  DestroyWindow(other);
  emit({held ? "held" : "lost"});
  return held ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  // Records end in a bare LF: the shell side splits on it.
  _setmode(_fileno(stdout), _O_BINARY);
  if (argc < 2) return usage();
  const std::string cmd = argv[1];
  int status = 0;

  if (cmd == "wait") {
    status = poll(timeout_arg(argc, argv, 2), [](HWND form) { return form != nullptr; }) ? 0 : 1;
  } else if (cmd == "gone") {
    status = poll(timeout_arg(argc, argv, 2), [](HWND) { return !any_velmora_window(); }) ? 0 : 1;
  } else if (cmd == "text" || cmd == "wait-text" || cmd == "wait-lines") {
    status = child_text_command(cmd, argc, argv);
  } else if (cmd == "settle") {
    status = settle_command(argc, argv);
  } else if (cmd == "hold-focus") {
    status = hold_focus(timeout_arg(argc, argv, 2));
  } else if (cmd == "pids") {
    for (HWND form : find_forms()) emit({"pid", std::to_string(pid_of(form))});
  } else {
    HWND form = find_form();
    if (form == nullptr) return no_window();
    if (cmd == "dump") {
      status = dump(form);
    } else if (cmd == "origin") {
      POINT origin = {0, 0};
      ClientToScreen(form, &origin);
      emit({"origin", std::to_string(origin.x), std::to_string(origin.y)});
    } else if (cmd == "focus") {
      SetForegroundWindow(form);
      status = poll(2000, [](HWND f) { return f != nullptr && GetForegroundWindow() == f; }) ? 0 : 1;
    } else if (cmd == "close") {
      status = PostMessageW(form, WM_CLOSE, 0, 0) ? 0 : 1;
    } else if (cmd == "post") {
      unsigned long long msg = 0, wparam = 0, lparam = 0;
      if (argc < 5 || !parse_uint(argv[2], msg) || !parse_uint(argv[3], wparam) || !parse_uint(argv[4], lparam)) {
        return usage();
      }
      status = PostMessageW(form, static_cast<UINT>(msg), static_cast<WPARAM>(wparam), static_cast<LPARAM>(lparam))
                   ? 0
                   : 1;
    } else {
      return usage();
    }
  }
  std::fflush(stdout);
  return status;
}
