// The headless backend: the window is a raster in memory, the message loop a
// queue that tests fill, and everything else is recorded for tests to read.
#include "toolkit/headless/headless.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace tk {

std::unique_ptr<Backend> MakeBackend() { return std::make_unique<headless::HeadlessBackend>(); }

namespace headless {

namespace {

std::string DrawCall(const char* what, const TPen& pen, int x1, int y1, int x2, int y2) {
  char text[128];
  std::snprintf(text, sizeof text, "%s %d %d %d %d mode=%d color=%06x width=%d", what, x1, y1, x2, y2,
                pen.Mode(), static_cast<unsigned>(pen.Color()), pen.Width());
  return text;
}

}  // namespace

HeadlessBackend& Of(TForm& form) { return dynamic_cast<HeadlessBackend&>(form.Platform()); }

void HeadlessBackend::SetClientSize(int width, int height) {
  surface_ = Raster(width, height, kBackground);
}

void HeadlessBackend::CreateWindow(TForm& form) {
  const FormDesc& d = form.Desc();
  SetClientSize(std::max(0, d.width - classic::kFrameWidth), std::max(0, d.height - classic::kFrameHeight));
  form.peer = &form;
}

void HeadlessBackend::CreateControl(TForm&, TControl& control) { control.peer = &control; }

void HeadlessBackend::DestroyWindow(TForm& form) {
  for (const auto& c : form.Controls()) c->peer = nullptr;
  form.peer = nullptr;
}

// Control state lives in the controls themselves; nothing to mirror.
void HeadlessBackend::TextChanged(TLabel&) {}
void HeadlessBackend::EnabledChanged(TControl&) {}
void HeadlessBackend::Hidden(TControl&) {}
void HeadlessBackend::CaptionChanged(TForm&) {}
void HeadlessBackend::LineAppended(TMemo&, const String&, std::size_t) {}

int HeadlessBackend::ClientWidth(const TForm&) { return surface_.Width(); }
int HeadlessBackend::ClientHeight(const TForm&) { return surface_.Height(); }

void HeadlessBackend::Line(TForm&, const TPen& pen, int x1, int y1, int x2, int y2) {
  if (record_draw_calls) draw_calls_.push_back(DrawCall("Line", pen, x1, y1, x2, y2));
  surface_.Line(pen.Mode(), classic::Color(pen.Color()), pen.Width(), x1, y1, x2, y2);
}

void HeadlessBackend::Ellipse(TForm&, const TPen& pen, int x1, int y1, int x2, int y2) {
  if (record_draw_calls) draw_calls_.push_back(DrawCall("Ellipse", pen, x1, y1, x2, y2));
  surface_.Ellipse(pen.Mode(), classic::Color(pen.Color()), classic::Color(kDefaultBrush), x1, y1, x2, y2);
}

void HeadlessBackend::Run(TForm& form) {
  shown_ = true;
  if (OnRun) OnRun();
  const auto now_ms = [] {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
  };
  while (!form.Closed() && !queue_.empty()) {
    TMessage message = queue_.front();
    queue_.pop_front();
    form.Dispatch(message);
    idle_.Busy(now_ms());
  }
  if (!form.Closed()) idle_.Drained(now_ms());
  // Nothing left to deliver stands for the user closing the window. A close
  // handler may refuse; the loop ends all the same, as there is no one left
  // to close it again.
  if (!form.Closed()) form.Close();
}

void HeadlessBackend::Closed(TForm&) {}

void HeadlessBackend::DefaultHandler(TForm&, TMessage& message) { default_handled_.push_back(message); }

void HeadlessBackend::ShowException(const Exception& e) { shown_exceptions_.push_back(e.Message()); }

void HeadlessBackend::ShowCursor(bool show) {
  cursor_counter_ += show ? 1 : -1;
  ++show_cursor_calls_;
}

}  // namespace headless
}  // namespace tk
