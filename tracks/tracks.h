// The three pointer tracks: each mouse at table index 1 to 3 moves its own
// track, drawn as a trail with an XOR marker at its head.
#pragma once

#include <cstdint>

#include "toolkit/toolkit.h"

class TForm1;

namespace tracks {

struct MouseTrack {
  std::int32_t x;
  std::int32_t y;
};

struct Point {
  std::int32_t x;
  std::int32_t y;
};

constexpr int kTrackCount = 3;

void set_start_positions(TForm1& form);
// Applies one packet's motion to the track of table index (1 to 3) and redraws;
// any other index changes nothing.
void move_track(TForm1& form, std::int32_t table_index, std::int32_t dx, std::int32_t dy);
void draw_marker(TForm1& form, tk::TColor color, std::int32_t x, std::int32_t y);
// (x + dx, y + dy) kept within 0..W and 0..H of Form1's client area, read now.
Point clamp_to_client(std::int32_t x, std::int32_t y, std::int32_t dx, std::int32_t dy);

}  // namespace tracks
