// Build-time generator: the 32-bit images of an .ico file (as icotool writes
// them from the rendered SVG) as the C++ source of _NET_WM_ICON's data.
//
//   velmora_icon_gen ICO OUT.cpp
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

std::uint32_t Le(const std::vector<unsigned char>& b, std::size_t at, int bytes) {
  std::uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | b.at(at + static_cast<std::size_t>(i));
  return v;
}

// Appends width, height and the ARGB rows, top row first, of one 32-bit DIB
// entry; PNG entries and other depths are passed over.
bool AppendImage(const std::vector<unsigned char>& ico, std::size_t at, std::vector<std::uint32_t>& out) {
  if (Le(ico, at, 4) != 40) return false;  // not a BITMAPINFOHEADER (a PNG)
  const std::uint32_t width = Le(ico, at + 4, 4);
  const std::uint32_t height = Le(ico, at + 8, 4) / 2;  // the colour rows and the mask's
  if (Le(ico, at + 14, 2) != 32 || width == 0 || height == 0) return false;
  out.push_back(width);
  out.push_back(height);
  const std::size_t pixels = at + 40;
  // DIB rows run bottom up; each pixel is B, G, R, A: 0xAARRGGBB read little-endian.
  for (std::uint32_t y = height; y-- > 0;) {
    for (std::uint32_t x = 0; x < width; ++x) out.push_back(Le(ico, pixels + (std::size_t{y} * width + x) * 4, 4));
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: velmora_icon_gen ICO OUT.cpp\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::vector<unsigned char> ico((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::uint32_t> data;
  try {
    if (Le(ico, 0, 2) != 0 || Le(ico, 2, 2) != 1) throw std::out_of_range("not an icon");
    const std::uint32_t count = Le(ico, 4, 2);
    for (std::uint32_t i = 0; i < count; ++i) AppendImage(ico, Le(ico, 6 + i * 16 + 12, 4), data);
  } catch (const std::out_of_range&) {
    std::fprintf(stderr, "velmora_icon_gen: %s is not a whole .ico file\n", argv[1]);
    return 1;
  }
  if (data.empty()) {
    std::fprintf(stderr, "velmora_icon_gen: %s holds no 32-bit image\n", argv[1]);
    return 1;
  }
  std::ofstream out(argv[2], std::ios::trunc);
  out << "// Generated from " << argv[1] << " at build time.\n#include \"toolkit/x11/x11_icon.h\"\n\n"
      << "namespace tk::x11 {\nconst unsigned long kProgramIcon[] = {\n";
  for (std::size_t i = 0; i < data.size(); ++i) out << "0x" << std::hex << data[i] << (i % 8 == 7 ? ",\n" : ",");
  out << std::dec << "};\nconst std::size_t kProgramIconLength = " << data.size() << ";\n}  // namespace tk::x11\n";
  return out ? 0 : 1;
}
