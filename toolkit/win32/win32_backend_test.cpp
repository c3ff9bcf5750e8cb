// The Win32 backend against the real window manager and GDI (run under Wine):
// child windows, tab order, label sizing, the memo's bound, pen modes, dispatch and
// the message loop.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "toolkit/backend.h"

#include <windows.h>

namespace {

using tk::ControlKind;

constexpr UINT kProbe = WM_APP + 1;
constexpr UINT kThrow = WM_APP + 2;

class TestForm : public tk::TForm {
 public:
  void Dispatch(tk::TMessage& m) override {
    seen.push_back(m);
    if (on_message) on_message(m);
    if (m.Msg == kProbe) {
      m.Result = 42;
      return;
    }
    if (m.Msg == kThrow) throw tk::Exception("from a handler");
    tk::TForm::Dispatch(m);
  }
  HWND Hwnd() const { return static_cast<HWND>(peer); }
  HWND Child(const char* name) const { return static_cast<HWND>(FindComponent(name)->peer); }
  std::vector<tk::TMessage> seen;
  std::function<void(const tk::TMessage&)> on_message;
};

// Tab orders deliberately out of description order.
tk::FormDesc MakeDesc(bool button_enabled) {
  return tk::FormDesc{
      "Backend test", 10, 10, 500, 300, tk::clBtnFace, {"MS Sans Serif", -11},
      {
          {ControlKind::Memo, "Memo", 8, 8, 200, 60, "", tk::clWindowText, false, 2, false},
          {ControlKind::Label, "Label", 40, 200, 32, 13, "Label", tk::clFuchsia, true, -1, false},
          {ControlKind::Edit, "Edit", 250, 8, 100, 21, "", tk::clWindowText, false, 1, false},
          {ControlKind::Button, "Button", 250, 40, 75, 25, "Copy", tk::clWindowText, button_enabled, 0, true},
      }};
}

class Win32BackendTest : public ::testing::Test {
 protected:
  void Build(bool button_enabled = false) {
    desc_ = MakeDesc(button_enabled);
    form_.Load(*backend_, desc_);
    button_ = form_.Find<tk::TButton>("Button");
    button_->OnClick = [this](tk::TObject*) { ++clicks_; };
  }
  void TearDown() override { MSG m; while (::PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {} }

  std::unique_ptr<tk::Backend> backend_ = tk::MakeBackend();
  tk::FormDesc desc_;
  TestForm form_;  // declared after the backend: destroyed first
  tk::TButton* button_ = nullptr;
  int clicks_ = 0;
};

std::string ClassOf(HWND h) {
  char name[32] = {};
  ::GetClassNameA(h, name, sizeof name);
  return name;
}

std::string TextOf(HWND h) {
  std::string s(static_cast<std::size_t>(::GetWindowTextLengthA(h)) + 1, '\0');
  s.resize(static_cast<std::size_t>(::GetWindowTextA(h, s.data(), static_cast<int>(s.size()))));
  return s;
}

TEST_F(Win32BackendTest, ControlsAreChildWindowsWithFocusableOnesInTabOrder) {
  Build();
  EXPECT_EQ(ClassOf(form_.Child("Memo")), "VelmoraPanel");
  EXPECT_EQ(ClassOf(form_.Child("Label")), "Static");
  EXPECT_EQ(ClassOf(form_.Child("Button")), "Button");
  EXPECT_EQ(::GetDlgCtrlID(form_.Child("Button")), IDCANCEL);
  EXPECT_FALSE(::IsWindowEnabled(form_.Child("Edit")));
  EXPECT_TRUE(::IsWindowEnabled(form_.Child("Label")));
  EXPECT_NE(::SendMessageA(form_.Child("Label"), WM_GETFONT, 0, 0), 0);

  std::vector<HWND> tab_stops;
  for (HWND h = ::GetWindow(form_.Hwnd(), GW_CHILD); h; h = ::GetWindow(h, GW_HWNDNEXT)) {
    if (::GetWindowLongA(h, GWL_STYLE) & WS_TABSTOP) tab_stops.push_back(h);
  }
  EXPECT_EQ(tab_stops, (std::vector<HWND>{form_.Child("Button"), form_.Child("Edit"), form_.Child("Memo")}));
}

TEST_F(Win32BackendTest, LabelSizesItselfToEachNewCaptionInPlace) {
  Build();
  HWND label = form_.Child("Label");
  auto client_rect = [&] {
    RECT r;
    ::GetWindowRect(label, &r);
    ::MapWindowPoints(nullptr, form_.Hwnd(), reinterpret_cast<POINT*>(&r), 2);
    return r;
  };
  auto text_size = [&](const std::string& text) {
    HDC dc = ::GetDC(label);
    HGDIOBJ old = ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageA(label, WM_GETFONT, 0, 0)));
    SIZE s;
    ::GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &s);
    ::SelectObject(dc, old);
    ::ReleaseDC(label, dc);
    return s;
  };
  // The caption it was created with first, then each new one.
  for (const std::string text : {"Label", "X = 125 , Y = 118", "X"}) {
    if (text != "Label") form_.Find<tk::TLabel>("Label")->SetText(text);
    backend_->Flush(form_);
    const RECT r = client_rect();
    const SIZE want = text_size(text);
    EXPECT_EQ(TextOf(label), text);
    EXPECT_EQ(r.left, 40);
    EXPECT_EQ(r.top, 200);
    EXPECT_EQ(r.right - r.left, want.cx) << text;
    EXPECT_EQ(r.bottom - r.top, want.cy) << text;
  }
}

TEST_F(Win32BackendTest, MemoShowsOnlyTheNewestLinesWithoutTheirLineBreaks) {
  Build();
  auto* memo = form_.Find<tk::TMemo>("Memo");
  std::vector<std::string> lines;
  const std::size_t total = tk::TMemo::kMaxLines + 7;
  for (std::size_t i = 0; i < total; ++i) {
    // Some lines wrap in the narrow memo; that must not upset the count.
    std::string line = "line " + std::to_string(i) + std::string(i % 5 == 0 ? 90 : i % 3, '.');
    lines.push_back(line);
    memo->Append(line + (i % 2 ? "\r\n" : ""));
    if (i == 2) {
      EXPECT_EQ(TextOf(form_.Child("Memo")), lines[0] + "\r\n" + lines[1] + "\r\n" + lines[2]);
    }
  }
  std::string want;
  for (std::size_t i = total - tk::TMemo::kMaxLines; i < total; ++i) {
    want += (want.empty() ? "" : "\r\n") + lines[i];
  }
  EXPECT_EQ(TextOf(form_.Child("Memo")), want);

  // Full, the panel shows whole rows, a pixel below its top edge and clear of
  // its left edge, as an edit box does.
  HWND panel = form_.Child("Memo");
  ::ShowWindow(form_.Hwnd(), SW_SHOWNA);
  backend_->Flush(form_);
  ::UpdateWindow(form_.Hwnd());
  RECT client;
  ::GetClientRect(panel, &client);
  const int w = client.right, h = client.bottom;
  // Copied whole into a 32-bit DIB: GetPixel on a window is a server round trip.
  BITMAPINFO bmi = {};
  bmi.bmiHeader = {sizeof(BITMAPINFOHEADER), w, -h, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HDC dc = ::GetDC(panel);
  HDC mem = ::CreateCompatibleDC(dc);
  HBITMAP dib = ::CreateDIBSection(dc, &bmi, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old_bitmap = ::SelectObject(mem, dib);
  ::BitBlt(mem, 0, 0, w, h, dc, 0, 0, SRCCOPY);
  ::GdiFlush();
  const COLORREF face = ::GetSysColor(COLOR_BTNFACE);
  const auto face_bgr = static_cast<std::uint32_t>(GetRValue(face) << 16 | GetGValue(face) << 8 | GetBValue(face));
  int inked = 0;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const bool ink = (static_cast<const std::uint32_t*>(bits)[y * w + x] & 0xFFFFFF) != face_bgr;
      inked += ink;
      if (ink && (y == 0 || x < 2)) ADD_FAILURE() << "text at " << x << "," << y;
    }
  }
  ::SelectObject(mem, old_bitmap);
  ::DeleteObject(dib);
  ::DeleteDC(mem);
  ::ReleaseDC(panel, dc);
  EXPECT_GT(inked, 0);
  ::ShowWindow(form_.Hwnd(), SW_HIDE);  // no WM_PAINT left for the teardown to drain

  memo->Hide();
  EXPECT_FALSE(::IsWindowVisible(form_.Child("Memo")));
}

TEST_F(Win32BackendTest, PenModesFollowTheToolkitNumbering) {
  Build();
  ::ShowWindow(form_.Hwnd(), SW_SHOWNA);
  ::UpdateWindow(form_.Hwnd());
  HDC dc = ::GetDC(form_.Hwnd());
  const COLORREF face = ::GetSysColor(COLOR_BTNFACE);
  ASSERT_EQ(::GetPixel(dc, 300, 150), face);

  struct Case { tk::TPenMode mode; COLORREF want; };
  const COLORREF pen_color = RGB(0x12, 0x34, 0x56);
  const Case cases[] = {
      {0, RGB(0, 0, 0)}, {1, RGB(255, 255, 255)}, {2, face}, {3, face ^ 0xFFFFFF},
      {4, pen_color},    {5, pen_color ^ 0xFFFFFF}, {14, face ^ pen_color}, {15, ~(face ^ pen_color) & 0xFFFFFF},
  };
  tk::TPen pen;
  pen.SetColor(pen_color);
  int y = 150;
  for (const Case& c : cases) {
    pen.SetMode(c.mode);
    backend_->Line(form_, pen, 300, y, 310, y);
    backend_->Flush(form_);
    EXPECT_EQ(::GetPixel(dc, 305, y), c.want) << "mode " << c.mode;
    EXPECT_EQ(::GetPixel(dc, 310, y), face) << "the end point is left out";
    y += 2;
  }

  // The marker's way: XOR twice gives the surface back, fill (white brush) included.
  pen.SetMode(tk::pmXor);
  pen.SetColor(tk::clLime);
  backend_->Ellipse(form_, pen, 400, 100, 406, 106);
  backend_->Flush(form_);
  EXPECT_EQ(::GetPixel(dc, 403, 103), face ^ 0xFFFFFF);
  backend_->Ellipse(form_, pen, 400, 100, 406, 106);
  backend_->Flush(form_);
  for (int x = 400; x < 406; ++x) EXPECT_EQ(::GetPixel(dc, x, 103), face);
  ::ReleaseDC(form_.Hwnd(), dc);

  RECT client;
  ::GetClientRect(form_.Hwnd(), &client);
  EXPECT_EQ(form_.GetClientWidth(), client.right);
  EXPECT_EQ(form_.GetClientHeight(), client.bottom);
}

TEST_F(Win32BackendTest, EveryMessageGoesThroughDispatchFromCreationOn) {
  Build();
  auto saw = [&](UINT msg) {
    for (const auto& m : form_.seen) {
      if (m.Msg == msg) return true;
    }
    return false;
  };
  EXPECT_TRUE(saw(WM_NCCREATE));
  EXPECT_TRUE(saw(WM_CREATE));

  EXPECT_EQ(::SendMessageA(form_.Hwnd(), kProbe, 7, -9), 42);
  EXPECT_EQ(form_.seen.back().WParam, 7u);
  EXPECT_EQ(form_.seen.back().LParam, -9);

  ::SendMessageA(form_.Child("Button"), BM_CLICK, 0, 0);  // disabled: no click
  EXPECT_EQ(clicks_, 0);
  button_->SetEnabled(true);
  EXPECT_TRUE(::IsWindowEnabled(form_.Child("Button")));
  ::SendMessageA(form_.Child("Button"), BM_CLICK, 0, 0);
  EXPECT_EQ(clicks_, 1);
}

TEST_F(Win32BackendTest, WindowsCatchUpOnceTheQueueDrains) {
  Build();
  HWND label = form_.Child("Label");
  std::vector<std::string> seen;  // the label's window text at each step
  form_.on_message = [&](const tk::TMessage& m) {
    if (m.Msg == kProbe) {
      form_.Find<tk::TLabel>("Label")->SetText("first");
      form_.Find<tk::TLabel>("Label")->SetText("second");
    } else if (m.Msg == kProbe + 10) {
      seen.push_back(TextOf(label));
    } else if (m.Msg == WM_TIMER) {
      seen.push_back(TextOf(label));
      ::KillTimer(form_.Hwnd(), 1);
      ::PostMessageA(form_.Hwnd(), WM_CLOSE, 0, 0);
    }
  };
  ::PostMessageA(form_.Hwnd(), kProbe, 0, 0);
  ::PostMessageA(form_.Hwnd(), kProbe + 10, 0, 0);
  ::SetTimer(form_.Hwnd(), 1, 50, nullptr);  // comes only once the queue is empty
  backend_->Run(form_);
  EXPECT_EQ(seen, (std::vector<std::string>{"Label", "second"}));
}

TEST_F(Win32BackendTest, EscClicksAnEnabledCancelButtonAndCloseEndsTheLoop) {
  Build(true);
  HWND hwnd = form_.Hwnd();
  ::PostMessageA(hwnd, WM_KEYDOWN, VK_ESCAPE, 0);
  ::PostMessageA(hwnd, WM_CLOSE, 0, 0);
  backend_->Run(form_);
  EXPECT_EQ(clicks_, 1);
  EXPECT_TRUE(form_.Closed());
  EXPECT_EQ(form_.peer, nullptr);
  EXPECT_FALSE(::IsWindow(hwnd));
}

TEST_F(Win32BackendTest, EscLeavesADisabledCancelButtonAlone) {
  Build(false);
  ::PostMessageA(form_.Hwnd(), WM_KEYDOWN, VK_ESCAPE, 0);
  ::PostMessageA(form_.Hwnd(), WM_CLOSE, 0, 0);
  backend_->Run(form_);
  EXPECT_EQ(clicks_, 0);
}

TEST_F(Win32BackendTest, HandlerExceptionLeavesRunInOurOwnCode) {
  Build();
  ::PostMessageA(form_.Hwnd(), kThrow, 0, 0);
  EXPECT_THROW(backend_->Run(form_), tk::Exception);
  EXPECT_TRUE(::IsWindow(form_.Hwnd()));  // the form's destructor takes it down
}

}  // namespace
