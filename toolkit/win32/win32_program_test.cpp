// The program's own window on the real window manager and GDI (run under Wine),
// driven by the scripted raw-input service: Wine has one mouse, the script has
// four, so that tracks 1 to 3 move. Checks the pixels each track and label leaves.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "app/principal.h"
#include "log/packet_log.h"
#include "rawinput/rawinput.h"
#include "tests/support/fake_service.h"
#include "toolkit/backend.h"

// Last: from here on WM_INPUT and RIM_TYPEMOUSE are the system's macros.
#include <windows.h>

namespace {

constexpr std::uintptr_t kMice[] = {0x10, 0x11, 0x12, 0x13};  // table indices 0..3
constexpr COLORREF kWhite = RGB(255, 255, 255);

class Win32ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    rawinput::raw_input_reset();
    packetlog::log_stream.clear();
    old_dir_ = std::filesystem::current_path();
    dir_ = std::filesystem::temp_directory_path() / ("velmora-program-test-" + std::to_string(::GetCurrentProcessId()));
    std::filesystem::create_directories(dir_);
    std::filesystem::current_path(dir_);  // log.txt goes here

    for (std::uintptr_t mouse : kMice) fake::service().devices.push_back({fake::handle(mouse), RIM_TYPEMOUSE});
    tk::Application->Initialize();
    tk::Application->CreateForm(Form1);
    ASSERT_EQ(rawinput::raw_input_state.count, 4);
    hwnd_ = static_cast<HWND>(Form1->peer);
    ::ShowWindow(hwnd_, SW_SHOWNA);
    ::UpdateWindow(hwnd_);
    face_ = ::GetSysColor(COLOR_BTNFACE);
  }

  void TearDown() override {
    tk::Application->Reset();
    Form1 = nullptr;
    packetlog::log_close();
    packetlog::log_stream.clear();
    rawinput::raw_input_reset();
    MSG m;
    while (::PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {}
    std::filesystem::current_path(old_dir_);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // One packet from the mouse at this table index, through the window procedure.
  void Move(int index, std::int32_t dx, std::int32_t dy) {
    rawinput::RAWMOUSE mouse{};
    mouse.lLastX = dx;
    mouse.lLastY = dy;
    const std::uintptr_t packet = next_packet_++;
    fake::service().packets[packet] = fake::mouse_packet(fake::handle(kMice[index]), mouse);
    ::SendMessageA(hwnd_, WM_INPUT, 0, static_cast<LPARAM>(packet));
  }

  // Labels take their captions and every window paints what it owes.
  void Settle() {
    Form1->Platform().Flush(*Form1);
    ::UpdateWindow(hwnd_);
  }

  COLORREF Pixel(int x, int y) const {
    HDC dc = ::GetDC(hwnd_);
    const COLORREF c = ::GetPixel(dc, x, y);
    ::ReleaseDC(hwnd_, dc);
    return c;
  }

  // What an XOR ellipse in this colour does to the outline's pixels: GDI may run
  // the pen over the brush's fill there (Wine does), so that they take the colour
  // XOR white as well. Learnt from one drawn on the face and drawn again to undo it.
  COLORREF OutlineXor(COLORREF marker) {
    constexpr int kX = 400, kY = 160;
    tk::TCanvas* canvas = Form1->GetCanvas();
    canvas->Pen()->SetColor(static_cast<tk::TColor>(marker));
    canvas->Pen()->SetMode(tk::pmXor);
    canvas->Ellipse(kX, kY - 3, kX + 6, kY + 3);
    Form1->Platform().Flush(*Form1);
    const COLORREF outline = Pixel(kX, kY) ^ face_;
    canvas->Ellipse(kX, kY - 3, kX + 6, kY + 3);
    Form1->Platform().Flush(*Form1);
    canvas->Pen()->SetMode(tk::pmCopy);
    return outline;
  }

  // The marker's 6x6 box at head (x, y): each pixel is what lay beneath, or that
  // XOR the outline's colour or XOR white (the white brush's fill), and the outline
  // shows.
  void ExpectMarker(int x, int y, COLORREF marker, const std::function<COLORREF(int, int)>& beneath) {
    const COLORREF outline_xor = OutlineXor(marker);
    ASSERT_TRUE(outline_xor == marker || outline_xor == (marker ^ kWhite)) << std::hex << outline_xor;
    int outline = 0;
    for (int py = y - 3; py <= y + 2; ++py) {
      for (int px = x; px <= x + 5; ++px) {
        const COLORREF under = beneath(px, py);
        const COLORREF got = Pixel(px, py);
        if (got == (under ^ outline_xor)) ++outline;
        EXPECT_TRUE(got == under || got == (under ^ outline_xor) || got == (under ^ kWhite))
            << "marker at (" << x << ", " << y << "), pixel (" << px << ", " << py << ") is " << std::hex << got;
      }
    }
    EXPECT_GT(outline, 0) << "no pixel of the marker at (" << x << ", " << y << ") XORs its colour " << std::hex
                          << marker;
  }

  // The label's pixels are the form's face and its font colour, some of each.
  void ExpectLabelInColour(tk::TLabel* label, COLORREF font) const {
    HWND h = static_cast<HWND>(label->peer);
    RECT r;
    ::GetClientRect(h, &r);
    HDC dc = ::GetDC(h);
    int text = 0, other = 0;
    COLORREF first_other = 0;
    for (int y = r.top; y < r.bottom; ++y) {
      for (int x = r.left; x < r.right; ++x) {
        const COLORREF c = ::GetPixel(dc, x, y);
        if (c == font) {
          ++text;
        } else if (c != face_ && other++ == 0) {
          first_other = c;
        }
      }
    }
    ::ReleaseDC(h, dc);
    EXPECT_GT(text, 0) << label->GetText() << ": no pixel in " << std::hex << font;
    EXPECT_EQ(other, 0) << label->GetText() << ": " << other << " pixels in other colours, such as " << std::hex
                        << first_other;
  }

  HWND hwnd_ = nullptr;
  COLORREF face_ = 0;

 private:
  std::filesystem::path dir_, old_dir_;
  std::uintptr_t next_packet_ = 0x5000;
};

TEST_F(Win32ProgramTest, EachTrackDrawsItsTrailAndXorMarkerInItsColours) {
  // Clear of the memo (y < 113) and of each other: track 1 right from (120, 120),
  // track 2 down from (150, 150), track 3 down from (100, 100).
  Move(1, 40, 0);
  Move(2, 0, 40);
  Move(3, 0, 100);
  Move(0, 30, 30);  // table index 0 has no track
  Settle();

  const COLORREF blue = RGB(0, 0, 255), green = RGB(0, 128, 0), red = RGB(255, 0, 0);
  const COLORREF lime = RGB(0, 255, 0), fuchsia = RGB(255, 0, 255);
  // Between the start marker and the head marker each trail is its colour alone.
  for (int x = 127; x <= 158; ++x) ASSERT_EQ(Pixel(x, 120), blue) << "track 1 at x " << x;
  for (int y = 154; y <= 186; ++y) ASSERT_EQ(Pixel(150, y), green) << "track 2 at y " << y;
  for (int y = 114; y <= 196; ++y) ASSERT_EQ(Pixel(100, y), red) << "track 3 at y " << y;
  // Beside the trails, the face.
  EXPECT_EQ(Pixel(140, 122), face_);
  EXPECT_EQ(Pixel(152, 170), face_);
  EXPECT_EQ(Pixel(98, 150), face_);

  // A trail leaves out its end point, so beneath a head marker lies the face, or
  // the trail's last pixels on the way in.
  ExpectMarker(160, 120, lime, [&](int, int) { return face_; });
  ExpectMarker(150, 190, lime, [&](int x, int y) { return x == 150 && y < 190 ? green : face_; });
  ExpectMarker(100, 200, fuchsia, [&](int x, int y) { return x == 100 && y < 200 ? red : face_; });
}

TEST_F(Win32ProgramTest, LabelsShowTheirTextInTheirFontColours) {
  Move(1, 5, 5);
  Move(2, 5, 5);
  Move(3, 5, 5);
  ::SendMessageA(hwnd_, WM_MOUSEMOVE, 0, MAKELPARAM(10, 20));
  Settle();
  EXPECT_EQ(Form1->Label2->GetText(), "X = 10 , 20");
  ExpectLabelInColour(Form1->Label2, RGB(255, 0, 255));
  ExpectLabelInColour(Form1->Label3, RGB(0, 0, 255));
  ExpectLabelInColour(Form1->Label4, RGB(0, 128, 0));
  ExpectLabelInColour(Form1->Label5, RGB(255, 0, 0));
}

// An icon's colour and mask pixels, as 32-bit rows; empty when unreadable.
std::vector<std::uint32_t> IconPixels(HICON icon, int& width) {
  std::vector<std::uint32_t> pixels;
  ICONINFO info = {};
  if (icon == nullptr || !::GetIconInfo(icon, &info)) return pixels;
  BITMAP bm = {};
  if (info.hbmColor != nullptr && ::GetObjectA(info.hbmColor, sizeof bm, &bm) != 0) {
    width = bm.bmWidth;
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = bm.bmWidth;
    bi.bmiHeader.biHeight = -bm.bmHeight;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    const std::size_t count = static_cast<std::size_t>(bm.bmWidth) * static_cast<std::size_t>(bm.bmHeight);
    pixels.assign(2 * count, 0);
    HDC dc = ::GetDC(nullptr);
    const int rows = bm.bmHeight;
    if (::GetDIBits(dc, info.hbmColor, 0, rows, pixels.data(), &bi, DIB_RGB_COLORS) != rows ||
        ::GetDIBits(dc, info.hbmMask, 0, rows, pixels.data() + count, &bi, DIB_RGB_COLORS) != rows) {
      pixels.clear();
    }
    ::ReleaseDC(nullptr, dc);
  }
  if (info.hbmColor) ::DeleteObject(info.hbmColor);
  if (info.hbmMask) ::DeleteObject(info.hbmMask);
  return pixels;
}

// The class's icons and the window's own (WM_GETICON) show the .exe's icon
// resource at the system's sizes. This test program carries velmora.exe's icon.
TEST_F(Win32ProgramTest, TheWindowShowsTheProgramsIcon) {
  const struct {
    const char* name;
    HICON shown;
    int size;
  } icons[] = {
      {"class icon", reinterpret_cast<HICON>(::GetClassLongPtrA(hwnd_, GCLP_HICON)), ::GetSystemMetrics(SM_CXICON)},
      {"class small icon", reinterpret_cast<HICON>(::GetClassLongPtrA(hwnd_, GCLP_HICONSM)),
       ::GetSystemMetrics(SM_CXSMICON)},
      {"WM_GETICON big", reinterpret_cast<HICON>(::SendMessageA(hwnd_, WM_GETICON, ICON_BIG, 0)),
       ::GetSystemMetrics(SM_CXICON)},
      {"WM_GETICON small", reinterpret_cast<HICON>(::SendMessageA(hwnd_, WM_GETICON, ICON_SMALL, 0)),
       ::GetSystemMetrics(SM_CXSMICON)},
  };
  for (const auto& icon : icons) {
    SCOPED_TRACE(icon.name);
    int width = 0;
    const std::vector<std::uint32_t> shown = IconPixels(icon.shown, width);
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(width, icon.size);
    HICON own = static_cast<HICON>(::LoadImageA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(1), IMAGE_ICON,
                                                icon.size, icon.size, 0));
    int own_width = 0;
    EXPECT_EQ(shown, IconPixels(own, own_width));
    if (own != nullptr) ::DestroyIcon(own);
  }
}

}  // namespace
