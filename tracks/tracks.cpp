#include "tracks/tracks.h"

#include <string>

#include "app/principal.h"

namespace tracks {

namespace {

struct TrackStyle {
  Point start;
  tk::TColor trail;
  tk::TColor marker;
  tk::TLabel* TForm1::*label;
};

const TrackStyle kStyles[kTrackCount] = {
    {{120, 120}, tk::clBlue, tk::clLime, &TForm1::Label3},
    {{150, 150}, tk::clGreen, tk::clLime, &TForm1::Label4},
    {{100, 100}, tk::clRed, tk::clFuchsia, &TForm1::Label5},
};

// The sum is taken in 64 bits so that no motion can wrap around.
std::int32_t clamp_axis(std::int32_t v, std::int32_t d, int limit) {
  const std::int64_t n = static_cast<std::int64_t>(v) + d;
  if (n < 0) return 0;
  if (n > limit) return limit;
  return static_cast<std::int32_t>(n);
}

}  // namespace

void set_start_positions(TForm1& form) {
  for (int i = 0; i < kTrackCount; ++i) form.tracks[i] = {kStyles[i].start.x, kStyles[i].start.y};
}

void draw_marker(TForm1& form, tk::TColor color, std::int32_t x, std::int32_t y) {
  tk::TCanvas* canvas = form.GetCanvas();
  canvas->Pen()->SetColor(color);
  canvas->Pen()->SetMode(tk::pmXor);
  canvas->Ellipse(x, y - 3, x + 6, y + 3);
  canvas->Pen()->SetMode(tk::pmCopy);
}

Point clamp_to_client(std::int32_t x, std::int32_t y, std::int32_t dx, std::int32_t dy) {
  return {clamp_axis(x, dx, Form1->GetClientWidth()), clamp_axis(y, dy, Form1->GetClientHeight())};
}

void move_track(TForm1& form, std::int32_t table_index, std::int32_t dx, std::int32_t dy) {
  if (table_index < 1 || table_index > kTrackCount) return;
  const TrackStyle& style = kStyles[table_index - 1];
  MouseTrack& track = form.tracks[table_index - 1];
  tk::TCanvas* canvas = form.GetCanvas();

  draw_marker(form, style.marker, track.x, track.y);
  canvas->Pen()->SetColor(style.trail);
  canvas->MoveTo(track.x, track.y);
  const Point head = clamp_to_client(track.x, track.y, dx, dy);
  canvas->LineTo(head.x, head.y);
  draw_marker(form, style.marker, head.x, head.y);
  track = {head.x, head.y};
  (form.*style.label)->SetText("X = " + std::to_string(head.x) + " , Y = " + std::to_string(head.y));
}

}  // namespace tracks
