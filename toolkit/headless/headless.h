// The headless backend of the toolkit: tests and benchmarks drive it.
// What it implements, [x], and leaves out, [ ]:
//   [x] form window: caption, position, client area, background colour (in memory)
//   [ ] controls as native child windows: label, button, edit, memo
//   [ ] tab order of the focusable controls
//   [ ] labels sized to their text; enable, disabled look, hide
//   [ ] text in the form's font
//   [ ] memo panel: the newest whole rows inside edit-box margins (text_layout.h)
//   [ ] memo lines readable by other programs
//   [ ] control updates deferred to a drained queue or a flood's interval
//   [x] canvas: Line and Ellipse with the pen's colour, width and 16 modes (a raster with the GDI pixel rules)
//   [x] message loop: every message through TForm::Dispatch (a queue that tests fill)
//   [x] idle hook: on a drained queue and every 100 ms of a flood
//   [ ] Esc presses the form's cancel button (no keyboard)
//   [ ] system pointer motion -> WM_MOUSEMOVE
//   [ ] keyboard focus -> WM_ACTIVATE
//   [ ] close box -> WM_CLOSE
//   [ ] stop signals (SIGINT, SIGTERM, SIGHUP) -> WM_CLOSE
//   [ ] messages posted by other programs
//   [ ] raw input reaching the form (tests dispatch WM_INPUT themselves)
//   [x] ShowException shown to the user (kept for tests)
//   [x] ShowCursor's display counter (kept for tests)
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "toolkit/backend.h"
#include "toolkit/classic_look.h"
#include "toolkit/loop_pacing.h"

namespace tk::headless {

// A pen mode as masks: each pixel becomes (dst AND a) XOR b.
struct Rop {
  std::uint32_t a;
  std::uint32_t b;
};

// One pixel per 32-bit word, 0x00BBGGRR like the toolkit's colours.
class Raster {
 public:
  Raster(int width, int height, std::uint32_t fill);
  int Width() const { return width_; }
  int Height() const { return height_; }
  std::uint32_t At(int x, int y) const;  // 0 outside the raster
  void Fill(std::uint32_t color);
  const std::vector<std::uint32_t>& Pixels() const { return pixels_; }

  // Each pixel becomes (dst AND a) XOR b, where (a, b) come from the pen mode:
  // copy is (0, colour), XOR is (~0, colour). Pixels outside are clipped, and
  // no call touches a pixel twice, so an XOR figure drawn twice leaves no trace.
  //
  // Width 0 or 1: one pixel per step along the longer axis, (x1, y1) drawn,
  // (x2, y2) left out, ties rounded towards the smaller coordinate so that a
  // line and its reverse differ only in their end points. Wider pens paint a
  // band `width` pixels across with round caps at both ends.
  void Line(TPenMode mode, std::uint32_t color, int width, int x1, int y1, int x2, int y2);
  // Within columns x1..x2-1 and rows y1..y2-1 (an inverted box is swapped, an
  // empty one draws nothing), touching all four sides; a one-pixel outline in
  // the pen colour around a brush-coloured inside. The pen width is not used.
  void Ellipse(TPenMode mode, std::uint32_t pen, std::uint32_t brush, int x1, int y1, int x2, int y2);

  // The toolkit's pen modes; any other number leaves the surface as it is.
  static Rop MasksFor(TPenMode mode, std::uint32_t color);

 private:
  void WideLine(Rop rop, int width, int x1, int y1, int x2, int y2);
  // Where each row of a w x h ellipse starts; the last box size's rows are
  // kept, since the program draws the same small marker over and over.
  std::int64_t EllipseRowStart(std::int64_t w, std::int64_t h, std::int64_t row);

  int width_;
  int height_;
  std::vector<std::uint32_t> pixels_;
  static constexpr int kCachedRows = 64;
  std::int64_t cached_w_ = 0;
  std::int64_t cached_h_ = 0;
  std::int64_t cached_rows_[kCachedRows] = {};
};

class HeadlessBackend : public Backend {
 public:
  // Client area of a 696 x 376 window in the classic frame.
  static constexpr int kDefaultClientWidth = 696 - classic::kFrameWidth;
  static constexpr int kDefaultClientHeight = 376 - classic::kFrameHeight;
  static constexpr std::uint32_t kBackground = classic::kButtonFace;

  // ---- For tests ----
  Raster& Surface() { return surface_; }
  // Resizing loses the drawing, as a repaint does.
  void SetClientSize(int width, int height);
  // Messages for Run to deliver through Dispatch, in order; once the queue is
  // empty Run runs the idle hook and closes the form.
  void Post(const TMessage& message) { queue_.push_back(message); }
  // Messages that reached the inherited dispatch's default handling, as they came.
  const std::vector<TMessage>& DefaultHandled() const { return default_handled_; }
  const std::vector<std::string>& ShownExceptions() const { return shown_exceptions_; }
  int CursorCounter() const { return cursor_counter_; }
  int ShowCursorCalls() const { return show_cursor_calls_; }
  bool WindowShown() const { return shown_; }
  // Called at the start of Run; lets a test make the message loop throw.
  std::function<void()> OnRun;
  // Every drawing call as text ("Line 1 2 3 4 mode=14 color=ff00ff width=1"),
  // kept only while recording is on.
  bool record_draw_calls = false;
  const std::vector<std::string>& DrawCalls() const { return draw_calls_; }

  // ---- Backend ----
  void CreateWindow(TForm& form) override;
  void CreateControl(TForm& form, TControl& control) override;
  void DestroyWindow(TForm& form) override;
  void TextChanged(TLabel& label) override;
  void EnabledChanged(TControl& control) override;
  void Hidden(TControl& control) override;
  void CaptionChanged(TForm& form) override;
  void LineAppended(TMemo& memo, const String& line, std::size_t dropped) override;
  void Flush(TForm&) override {}
  int ClientWidth(const TForm& form) override;
  int ClientHeight(const TForm& form) override;
  void Line(TForm& form, const TPen& pen, int x1, int y1, int x2, int y2) override;
  void Ellipse(TForm& form, const TPen& pen, int x1, int y1, int x2, int y2) override;
  void Run(TForm& form) override;
  void Closed(TForm& form) override;
  void DefaultHandler(TForm& form, TMessage& message) override;
  void ShowException(const Exception& e) override;
  void ShowCursor(bool show) override;

 private:
  Raster surface_{kDefaultClientWidth, kDefaultClientHeight, kBackground};
  std::deque<TMessage> queue_;
  std::vector<TMessage> default_handled_;
  std::vector<std::string> shown_exceptions_;
  std::vector<std::string> draw_calls_;
  int cursor_counter_ = 0;
  int show_cursor_calls_ = 0;
  bool shown_ = false;
  IdleHook idle_;
};

// The headless backend of the application the form belongs to.
HeadlessBackend& Of(TForm& form);

}  // namespace tk::headless
