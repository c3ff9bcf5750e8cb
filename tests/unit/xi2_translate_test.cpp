// The XInput2 stand-in's translation of raw events into mouse records, and those
// records as the program logs them.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <tuple>
#include <vector>

#include "rawinput/linux/contracts.h"
#include "rawinput/xi2/xi2_logic.h"
#include "tests/support/app_fixture.h"

namespace {

using rawinput::RAWMOUSE;
using rawinput::xi2::Axis;
using rawinput::xi2::RawEvent;
using rawinput::xi2::RawKind;
using rawinput::xi2::Translator;

// A raw event with valuators set from (number, value) pairs, in number order.
struct Raw {
  unsigned char mask[4] = {};
  std::vector<double> values;
  RawEvent event;

  Raw(RawKind kind, int device, int detail, std::vector<std::pair<int, double>> valuators = {}) {
    for (const auto& [number, value] : valuators) {
      mask[number / 8] = static_cast<unsigned char>(mask[number / 8] | (1u << (number % 8)));
      values.push_back(value);
    }
    event.kind = kind;
    event.device = device;
    event.detail = detail;
    event.mask = mask;
    event.mask_len = sizeof mask;
    event.raw_values = values.data();
  }
};

RAWMOUSE Translated(Translator& t, const Raw& raw) {
  RAWMOUSE m;
  std::memset(&m, 0xAB, sizeof m);
  EXPECT_TRUE(t.Translate(raw.event, m));
  return m;
}

TEST(Xi2TranslateTest, MotionIsRelativeWithNothingElseSet) {
  Translator t;
  const RAWMOUSE m = Translated(t, Raw(RawKind::Motion, 10, 0, {{0, 3}, {1, -4}}));
  EXPECT_EQ(m.lLastX, 3);
  EXPECT_EQ(m.lLastY, -4);
  EXPECT_EQ(m.usFlags, 0);
  EXPECT_EQ(m.ulButtons, 0u);
  EXPECT_EQ(m.ulRawButtons, 0u);
  EXPECT_EQ(m.ulExtraInformation, 0u);
}

TEST(Xi2TranslateTest, ValuesAreFoundByTheirPlaceInTheMask) {
  Translator t;
  // Only y: its value is the first one.
  RAWMOUSE m = Translated(t, Raw(RawKind::Motion, 10, 0, {{1, 7}}));
  EXPECT_EQ(m.lLastX, 0);
  EXPECT_EQ(m.lLastY, 7);
  // A scroll valuator after x and y changes nothing.
  m = Translated(t, Raw(RawKind::Motion, 10, 0, {{0, -2}, {1, 5}, {3, 15}}));
  EXPECT_EQ(m.lLastX, -2);
  EXPECT_EQ(m.lLastY, 5);
}

TEST(Xi2TranslateTest, MotionWithoutXOrYMakesNoPacket) {
  Translator t;
  RAWMOUSE m;
  EXPECT_FALSE(t.Translate(Raw(RawKind::Motion, 10, 0, {{2, 1}, {3, -15}}).event, m));
  EXPECT_FALSE(t.Translate(Raw(RawKind::Motion, 10, 0).event, m));
}

TEST(Xi2TranslateTest, FractionsAddUpPerDevice) {
  Translator t;
  int sum10 = 0, sum11 = 0;
  for (int i = 0; i < 10; ++i) {
    sum10 += Translated(t, Raw(RawKind::Motion, 10, 0, {{0, 0.3}, {1, -0.3}})).lLastX;
    sum11 += Translated(t, Raw(RawKind::Motion, 11, 0, {{0, 0.75}, {1, 0}})).lLastX;
  }
  EXPECT_EQ(sum10, 3);   // 3.0 in all
  EXPECT_NEAR(sum11, 7.5, 0.5);
  // Whole counts pass through at once.
  EXPECT_EQ(Translated(t, Raw(RawKind::Motion, 12, 0, {{0, 1}, {1, 0}})).lLastX, 1);
}

TEST(Xi2TranslateTest, HugeMotionIsHeldInRange) {
  Translator t;
  const RAWMOUSE m = Translated(t, Raw(RawKind::Motion, 10, 0, {{0, 1e12}, {1, -1e12}}));
  EXPECT_EQ(m.lLastX, INT_MAX);
  EXPECT_EQ(m.lLastY, INT_MIN);
  // Nothing of it is carried into the next motion.
  EXPECT_EQ(Translated(t, Raw(RawKind::Motion, 10, 0, {{0, 1}, {1, 1}})).lLastX, 1);
  // Nor of a sum that passes the limit by less than a count: a fraction left
  // over (-0.4999999999964), then -2147483648.5, sums to -2147483649 in a double.
  EXPECT_EQ(Translated(t, Raw(RawKind::Motion, 11, 0, {{1, 994.5000000000036}})).lLastY, 995);
  EXPECT_EQ(Translated(t, Raw(RawKind::Motion, 11, 0, {{1, -2147483648.5}})).lLastY, INT_MIN);
  EXPECT_EQ(Translated(t, Raw(RawKind::Motion, 11, 0, {{1, 0.6}})).lLastY, 1);
}

TEST(Xi2TranslateTest, AbsoluteDevicesReportTheirPlaceOnTheWindowsScale) {
  Translator t;
  t.SetAxes(20, Axis{true, 0, 1000}, Axis{true, 100, 300});
  RAWMOUSE m = Translated(t, Raw(RawKind::Motion, 20, 0, {{0, 1000}, {1, 100}}));
  EXPECT_EQ(m.usFlags, rawinput::xi2::MOUSE_MOVE_ABSOLUTE);
  EXPECT_EQ(m.lLastX, 65535);
  EXPECT_EQ(m.lLastY, 0);
  m = Translated(t, Raw(RawKind::Motion, 20, 0, {{0, 250}, {1, 5000}}));
  EXPECT_NEAR(m.lLastX, 16384, 1);
  EXPECT_EQ(m.lLastY, 65535);
  // Other devices stay relative.
  EXPECT_EQ(Translated(t, Raw(RawKind::Motion, 21, 0, {{0, 250}, {1, 0}})).usFlags, 0);
}

// The server sends only the valuators that changed: an axis left out keeps its
// last position, the one the device was described with before any.
TEST(Xi2TranslateTest, AbsoluteAxesKeepTheirLastPosition) {
  Translator t;
  t.SetAxes(20, Axis{true, 0, 1000, 250}, Axis{true, 0, 1000, 500});
  RAWMOUSE m = Translated(t, Raw(RawKind::Motion, 20, 0, {{1, 800}}));
  EXPECT_EQ(m.lLastX, 16384);
  EXPECT_EQ(m.lLastY, 52428);
  Translated(t, Raw(RawKind::Motion, 20, 0, {{0, 500}, {1, 800}}));
  m = Translated(t, Raw(RawKind::Motion, 20, 0, {{0, 600}}));
  EXPECT_EQ(m.usFlags, rawinput::xi2::MOUSE_MOVE_ABSOLUTE);
  EXPECT_EQ(m.lLastX, 39321);
  EXPECT_EQ(m.lLastY, 52428);
  // A button alone, and a NaN valuator, report the kept position.
  m = Translated(t, Raw(RawKind::Press, 20, 1, {{1, NAN}}));
  EXPECT_EQ(m.usFlags, rawinput::xi2::MOUSE_MOVE_ABSOLUTE);
  EXPECT_EQ(rawinput::ButtonFlags(m), 0x0001);
  EXPECT_EQ(m.lLastX, 39321);
  EXPECT_EQ(m.lLastY, 52428);
}

// Every absolute value lands on 0..65535, whatever the range; an axis without
// width reports 0, an inverted one counts from its min the other way.
TEST(Xi2TranslateTest, AbsoluteValuesStayOnTheScale) {
  const double inf = INFINITY;
  const struct {
    Axis axis;
    double value;
    std::int32_t x;
  } cases[] = {
      {{true, -1e308, 1e308}, 0, 32768},     {{true, -1e308, 1e308}, 1e308, 65535},
      {{true, -1e308, 1e308}, -inf, 0},      {{true, 0, 1000}, inf, 65535},
      {{true, 0, 1000}, 1e300, 65535},       {{true, 5, 5}, 1e9, 0},
      {{true, -1, -1}, -7, 0},               {{true, 1000, 0}, 250, 49151},
      {{true, 1000, 0}, 2000, 0},            {{true, -inf, inf}, 3, 0},
  };
  for (const auto& c : cases) {
    Translator t;
    t.SetAxes(20, c.axis, Axis{true, 0, 1});
    const RAWMOUSE m = Translated(t, Raw(RawKind::Motion, 20, 0, {{0, c.value}}));
    EXPECT_EQ(m.lLastX, c.x) << c.value << " on [" << c.axis.min << ", " << c.axis.max << "]";
  }
}

// A NaN valuator is no motion: it counts as not sent.
TEST(Xi2TranslateTest, NanMovesNothing) {
  Translator t;
  RAWMOUSE m = Translated(t, Raw(RawKind::Motion, 10, 0, {{0, NAN}, {1, 3}}));
  EXPECT_EQ(m.lLastX, 0);
  EXPECT_EQ(m.lLastY, 3);
  EXPECT_FALSE(t.Translate(Raw(RawKind::Motion, 10, 0, {{0, NAN}}).event, m));
  EXPECT_EQ(Translated(t, Raw(RawKind::Press, 10, 1, {{0, -NAN}})).lLastX, 0);
  // Sub-count motion kept from before still adds up.
  Translated(t, Raw(RawKind::Motion, 10, 0, {{0, 0.3}}));
  EXPECT_FALSE(t.Translate(Raw(RawKind::Motion, 10, 0, {{0, NAN}}).event, m));
  EXPECT_EQ(Translated(t, Raw(RawKind::Motion, 10, 0, {{0, 0.3}})).lLastX, 1);
}

// (button, pressed) -> usButtonFlags, usButtonData.
using ButtonCase = std::tuple<int, bool, std::uint16_t, std::uint16_t>;
class Xi2ButtonTest : public ::testing::TestWithParam<ButtonCase> {};

TEST_P(Xi2ButtonTest, ButtonsGetTheWindowsFlags) {
  const auto [button, pressed, flags, data] = GetParam();
  Translator t;
  const RAWMOUSE m = Translated(t, Raw(pressed ? RawKind::Press : RawKind::Release, 10, button));
  EXPECT_EQ(rawinput::ButtonFlags(m), flags);
  EXPECT_EQ(rawinput::ButtonData(m), data);
  EXPECT_EQ(m.ulButtons, flags | (static_cast<std::uint32_t>(data) << 16));
  EXPECT_EQ(m.lLastX, 0);
  EXPECT_EQ(m.lLastY, 0);
}

INSTANTIATE_TEST_SUITE_P(
    AllButtons, Xi2ButtonTest,
    ::testing::Values(ButtonCase{1, true, 0x0001, 0}, ButtonCase{1, false, 0x0002, 0},
                      ButtonCase{3, true, 0x0004, 0}, ButtonCase{3, false, 0x0008, 0},
                      ButtonCase{2, true, 0x0010, 0}, ButtonCase{2, false, 0x0020, 0},
                      ButtonCase{8, true, 0x0040, 0}, ButtonCase{8, false, 0x0080, 0},
                      ButtonCase{9, true, 0x0100, 0}, ButtonCase{9, false, 0x0200, 0},
                      ButtonCase{4, true, 0x0400, 0x0078}, ButtonCase{5, true, 0x0400, 0xFF88},
                      ButtonCase{6, true, 0x0800, 0xFF88}, ButtonCase{7, true, 0x0800, 0x0078}));

TEST(Xi2TranslateTest, WheelReleasesAndUnknownButtonsMakeNoPacket) {
  Translator t;
  RAWMOUSE m;
  for (int button : {4, 5, 6, 7}) EXPECT_FALSE(t.Translate(Raw(RawKind::Release, 10, button).event, m)) << button;
  for (int button : {0, 10, 12}) {
    EXPECT_FALSE(t.Translate(Raw(RawKind::Press, 10, button).event, m)) << button;
    EXPECT_FALSE(t.Translate(Raw(RawKind::Release, 10, button).event, m)) << button;
  }
  // The motion they carry is still reported.
  m = Translated(t, Raw(RawKind::Release, 10, 4, {{0, 5}}));
  EXPECT_EQ(m.lLastX, 5);
  EXPECT_EQ(m.ulButtons, 0u);
  EXPECT_EQ(Translated(t, Raw(RawKind::Press, 10, 12, {{1, -2}})).lLastY, -2);
}

TEST(Xi2TranslateTest, ButtonWithMotionCarriesBoth) {
  Translator t;
  const RAWMOUSE m = Translated(t, Raw(RawKind::Press, 10, 1, {{0, 2}, {1, -1}}));
  EXPECT_EQ(rawinput::ButtonFlags(m), 0x0001);
  EXPECT_EQ(m.lLastX, 2);
  EXPECT_EQ(m.lLastY, -1);
}

// The stand-in's packets, fetched the way the program fetches them, give the
// records a Windows mouse would.
class Xi2RecordTest : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    fake::service().devices = {{fake::handle(4), 0}, {fake::handle(5), 1}, {fake::handle(10), 0}};
    CreateForm();
  }

  std::string Send(const Raw& raw) {
    RAWMOUSE m;
    if (!translator_.Translate(raw.event, m)) return "";
    const auto handle = store_.Put(fake::handle(static_cast<std::uintptr_t>(raw.event.device)), m, 0);
    std::uint32_t error = 0;
    rawinput::UINT size = 0;
    EXPECT_EQ(store_.Get(handle, rawinput::RID_INPUT, nullptr, &size, sizeof(rawinput::RAWINPUTHEADER), error), 0u);
    std::vector<unsigned char> bytes(size);
    EXPECT_EQ(store_.Get(handle, rawinput::RID_INPUT, bytes.data(), &size, sizeof(rawinput::RAWINPUTHEADER), error),
              size);
    SendPacket(bytes);
    return Form1->Memo1->Lines().back();
  }

  Translator translator_;
  rawinput::stand_in::PacketStore store_;
};

TEST_F(Xi2RecordTest, MotionAndWheelRecords) {
  EXPECT_EQ(Send(Raw(RawKind::Motion, 10, 0, {{0, -1}, {1, 2}})),
            "Mouse: num 1, usFlags=0000 ulButtons=0000 usButtonFlags=0000 usButtonData=0000 ulRawButtons=0000 "
            "lLastX=ffffffff lLastY=0002 ulExtraInformation=0000\r\n");
  EXPECT_EQ(Form1->Label3->GetText(), "X = 119 , Y = 122");
  EXPECT_EQ(Send(Raw(RawKind::Press, 4, 5)),
            "Mouse: num 0, usFlags=0000 ulButtons=ff880400 usButtonFlags=0400 usButtonData=ff88 ulRawButtons=0000 "
            "lLastX=0000 lLastY=0000 ulExtraInformation=0000\r\n");
  EXPECT_EQ(Send(Raw(RawKind::Press, 10, 4)),
            "Mouse: num 1, usFlags=0000 ulButtons=780400 usButtonFlags=0400 usButtonData=0078 ulRawButtons=0000 "
            "lLastX=0000 lLastY=0000 ulExtraInformation=0000\r\n");
  // A wheel release makes no packet, so nothing more is logged.
  EXPECT_EQ(Send(Raw(RawKind::Release, 10, 4)), "");
  EXPECT_EQ(Form1->Memo1->Lines().size(), 5u + 3u);  // five device lines, three records
}

}  // namespace
