// Binding, the device list and the table of mice, and packet handling, against
// the scripted service.
#include <climits>

#include "tests/support/app_fixture.h"

namespace {

using rawinput::raw_input_state;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using Lines = std::vector<std::string>;

Lines MemoLines() { return Lines(Form1->Memo1->Lines().begin(), Form1->Memo1->Lines().end()); }

bool StateIsZero() {
  const rawinput::RawInputState& s = raw_input_state;
  for (auto* h : s.mice) {
    if (h != nullptr) return false;
  }
  return s.count == 0 && !s.RegisterRawInputDevices_f && !s.GetRawInputData_f && !s.GetRawInputDeviceList_f &&
         !s.buffer && s.capacity == 0;
}

class DeviceTableTest : public AppTest {
 protected:
  // Creates the form, capturing what start-up prints.
  std::string Start() {
    CaptureStdout();
    CreateForm();
    return GetCapturedStdout();
  }
};

TEST_F(DeviceTableTest, ListsDevicesAndTablesTheMice) {
  ScriptExampleDevices();
  EXPECT_EQ(Start(), "");
  EXPECT_EQ(MemoLines(),
            (Lines{"0 101  Mouse", "Amouse[0] = 101", "1 102  Keyboard", "2 103  Mouse", "Amouse[1] = 103"}));
  EXPECT_EQ(raw_input_state.count, 2);
  EXPECT_EQ(raw_input_state.mice[0], fake::handle(101));
  EXPECT_EQ(raw_input_state.mice[1], fake::handle(103));

  const auto& reg = fake::service().registered;
  ASSERT_EQ(reg.size(), 1u);
  EXPECT_EQ(reg[0].usUsagePage, 1);
  EXPECT_EQ(reg[0].usUsage, 2);
  EXPECT_EQ(reg[0].dwFlags, 0u);
  EXPECT_EQ(reg[0].hwndTarget, nullptr);
  EXPECT_EQ(fake::service().register_size, sizeof(rawinput::RAWINPUTDEVICE));
}

TEST_F(DeviceTableTest, BackgroundRegistersTheWindowAsInputSink) {
  run_options.background = true;
  CreateForm();
  const auto& reg = fake::service().registered;
  ASSERT_EQ(reg.size(), 1u);
  EXPECT_EQ(reg[0].dwFlags, rawinput::RIDEV_INPUTSINK);
  EXPECT_NE(reg[0].hwndTarget, nullptr);
  EXPECT_EQ(reg[0].hwndTarget, Form1->peer);
  EXPECT_STREQ(Form1->Caption(), "Velmora (background)");
}

TEST_F(DeviceTableTest, OnlyTheFirstTenDevicesAreConsidered) {
  for (std::uintptr_t h = 1; h <= 12; ++h) fake::service().devices.push_back({fake::handle(h), 0});
  Start();
  const Lines lines = MemoLines();
  EXPECT_EQ(lines.size(), 20u);
  EXPECT_EQ(lines.back(), "Amouse[9] = 10");
  EXPECT_EQ(raw_input_state.count, 10);
}

TEST_F(DeviceTableTest, OddEntriesAreListedButNotTabled) {
  fake::service().devices = {{fake::handle(0), 0},          {fake::handle(7), 3},
                             {fake::handle(0x80000001), 0}, {fake::handle(8), 2},
                             {fake::handle(9), 0}};
  Start();
  EXPECT_EQ(MemoLines(), (Lines{"0 0  Mouse", "1 7  ", "2 -2147483647  Mouse", "Amouse[0] = -2147483647",
                                "3 8  HID", "4 9  Mouse", "Amouse[1] = 9"}));
  EXPECT_EQ(raw_input_state.count, 2);
}

TEST_F(DeviceTableTest, NoDevicesStillRegisters) {
  EXPECT_EQ(Start(), "");
  EXPECT_TRUE(MemoLines().empty());
  EXPECT_EQ(fake::service().registered.size(), 1u);
}

TEST_F(DeviceTableTest, WalksOnlyTheEntriesTheServiceStored) {
  ScriptExampleDevices();
  fake::service().stored = 1;
  Start();
  EXPECT_EQ(MemoLines(), (Lines{"0 101  Mouse", "Amouse[0] = 101"}));
  EXPECT_EQ(raw_input_state.count, 1);
}

TEST_F(DeviceTableTest, SecondCallAfterSuccessDoesNothing) {
  ScriptExampleDevices();
  Start();
  fake::service().registered.clear();
  EXPECT_EQ(rawinput::raw_input_init(*Form1), 1);
  EXPECT_EQ(MemoLines().size(), 5u);
  EXPECT_TRUE(fake::service().registered.empty());
}

TEST_F(DeviceTableTest, FailuresBeforeRegistrationResetSilently) {
  const std::function<void(fake::Service&)> faults[] = {
      [](fake::Service& s) { s.load_fails = true; },
      [](fake::Service& s) { s.missing_entry = "RegisterRawInputDevices"; },
      [](fake::Service& s) { s.missing_entry = "GetRawInputData"; },
      [](fake::Service& s) { s.missing_entry = "GetRawInputDeviceList"; },
      [](fake::Service& s) { s.count_query_result = 1; },
      [](fake::Service& s) { s.alloc_fails = true; },
      [](fake::Service& s) { s.list_query_fails = true; },
  };
  for (std::size_t i = 0; i < std::size(faults); ++i) {
    SCOPED_TRACE(i);
    tk::Application->Reset();
    tk::Application->Initialize();
    fake::reset();
    rawinput::raw_input_reset();
    ScriptExampleDevices();
    faults[i](fake::service());
    EXPECT_EQ(Start(), "raw_input_init() failed\n");
    EXPECT_TRUE(MemoLines().empty());
    EXPECT_TRUE(StateIsZero());
    EXPECT_TRUE(fake::service().registered.empty());
  }
}

TEST_F(DeviceTableTest, RefusedRegistrationPrintsItsCode) {
  ScriptExampleDevices();
  fake::service().register_refused = true;
  fake::service().register_error = 0x57;
  EXPECT_EQ(Start(), "RegisterRawInputDevices_f failed: 0x00000057\nraw_input_init() failed\n");
  EXPECT_EQ(MemoLines().size(), 5u);
  EXPECT_NE(raw_input_state.GetRawInputData_f, nullptr);
  EXPECT_EQ(raw_input_state.count, 2);
  // Bound but unregistered: a later call answers 1 without registering again.
  fake::service().registered.clear();
  EXPECT_EQ(rawinput::raw_input_init(*Form1), 1);
  EXPECT_TRUE(fake::service().registered.empty());
}

TEST_F(DeviceTableTest, LargeErrorCodesPrintAllEightDigits) {
  fake::service().register_refused = true;
  fake::service().register_error = 0xC0000ABC;
  EXPECT_EQ(Start(), "RegisterRawInputDevices_f failed: 0xc0000abc\nraw_input_init() failed\n");
}

// ---- Packets ----------------------------------------------------------------------

class PacketTest : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    ScriptExampleDevices();
    CreateForm();
  }
  std::string LastMemoLine() { return Form1->Memo1->Lines().empty() ? "" : Form1->Memo1->Lines().back(); }
  std::string LogAfterClose() {
    packetlog::log_close();
    return ReadFile("log.txt");
  }
};

TEST_F(PacketTest, OnePacketFromTheSecondMouseReachesEverything) {
  CaptureStdout();
  SendMouse(103, 5, -2);
  EXPECT_EQ(GetCapturedStdout(), "");
  const std::string record =
      "Mouse: num 1, usFlags=0000 ulButtons=0000 usButtonFlags=0000 usButtonData=0000 ulRawButtons=0000 "
      "lLastX=0005 lLastY=fffffffe ulExtraInformation=0000\r\n";
  EXPECT_EQ(Form1->Label1->GetText(), "Hola");
  EXPECT_EQ(LastMemoLine(), record);
  EXPECT_EQ(Form1->tracks[0].x, 125);
  EXPECT_EQ(Form1->tracks[0].y, 118);
  EXPECT_EQ(Form1->Label3->GetText(), "X = 125 , Y = 118");
  EXPECT_EQ(LogAfterClose(), record);
}

TEST_F(PacketTest, StartUpLinesStayAtTheTopWhileRecordsRollOff) {
  const Lines startup = MemoLines();
  ASSERT_EQ(startup.size(), 5u);
  const int sent = static_cast<int>(tk::TMemo::kMaxLines) + 3;
  for (int i = 0; i < sent; ++i) SendMouse(101, i, 0);
  const Lines lines = MemoLines();
  ASSERT_EQ(lines.size(), tk::TMemo::kMaxLines);
  EXPECT_EQ(Lines(lines.begin(), lines.begin() + 5), startup);
  // 1008 lines for room for 1000: the first eight records rolled off.
  EXPECT_NE(lines[5].find(" lLastX=0008 "), std::string::npos) << lines[5];
  EXPECT_NE(lines.back().find(" lLastX=03ea "), std::string::npos) << lines.back();
}

TEST_F(PacketTest, BufferGrowsOnEveryPacketThatFillsIt) {
  SendMouse(103, 1, 0);
  EXPECT_EQ(fake::service().reallocs, 1);
  EXPECT_EQ(raw_input_state.capacity, sizeof(rawinput::RAWINPUT));
  SendMouse(103, 1, 0);
  EXPECT_EQ(fake::service().reallocs, 2);
  EXPECT_EQ(fake::service().last_realloc_size, sizeof(rawinput::RAWINPUT));
  EXPECT_EQ(raw_input_state.capacity, sizeof(rawinput::RAWINPUT));
}

TEST_F(PacketTest, FirstMouseIsLoggedButMovesNoTrack) {
  const tk::headless::Raster before = Surface();
  SendMouse(101, 30, 30);
  EXPECT_EQ(LastMemoLine().rfind("Mouse: num 0, ", 0), 0u);
  EXPECT_EQ(Form1->tracks[0].x, 120);
  EXPECT_EQ(Form1->Label3->GetText(), "Label3");
  EXPECT_EQ(Surface().Pixels(), before.Pixels());
}

TEST_F(PacketTest, UnknownSenderIsLoggedWithMinusOne) {
  SendMouse(555, 1, 1);
  EXPECT_EQ(Form1->Label1->GetText(), "Hola");
  EXPECT_EQ(LastMemoLine().rfind("Mouse: num -1, ", 0), 0u);
}

TEST_F(PacketTest, HandleTwiceInTheTableTakesTheLowerIndex) {
  tk::Application->Reset();
  tk::Application->Initialize();
  rawinput::raw_input_reset();
  fake::service().devices = {{fake::handle(101), 0}, {fake::handle(103), 0}, {fake::handle(103), 0}};
  CreateForm();
  SendMouse(103, 1, 1);
  EXPECT_EQ(LastMemoLine().rfind("Mouse: num 1, ", 0), 0u);
}

TEST_F(PacketTest, MinusOneMovesOnePixelLeftUntilTheEdge) {
  SendMouse(103, -1, 0);
  EXPECT_NE(LastMemoLine().find("lLastX=ffffffff"), std::string::npos);
  EXPECT_EQ(Form1->tracks[0].x, 119);
  SendMouse(103, -1000, 0);
  SendMouse(103, -1, 0);
  EXPECT_EQ(Form1->tracks[0].x, 0);
}

TEST_F(PacketTest, NonMousePacketIsFetchedAndDropped) {
  SendPacket(fake::other_packet(fake::handle(102)));
  EXPECT_EQ(fake::service().fetches, 1);
  EXPECT_EQ(Form1->Label1->GetText(), "Label1");
  EXPECT_EQ(Form1->Memo1->Lines().size(), 5u);
  EXPECT_EQ(LogAfterClose(), "");
}

TEST_F(PacketTest, ResultsTellFetchedFromNotFetched) {
  fake::service().packets[1] = fake::mouse_packet(fake::handle(103), {});
  fake::service().packets[2] = fake::other_packet(fake::handle(102), 2);
  EXPECT_EQ(rawinput::process_raw_input(*Form1, fake::handle(1)), 1);
  EXPECT_EQ(rawinput::process_raw_input(*Form1, fake::handle(2)), 1);
  CaptureStdout();
  EXPECT_EQ(rawinput::process_raw_input(*Form1, fake::handle(3)), 0);
  GetCapturedStdout();
}

// Each of these packets is refused with the size message and touches nothing.
TEST_F(PacketTest, FaultyPacketsAreRefusedWithTheSizeMessage) {
  const std::function<void()> faults[] = {
      [] { fake::service().fetch_result = sizeof(rawinput::RAWINPUT) - 1; },  // fetch disagrees
      [] { fake::service().fetch_result = sizeof(rawinput::RAWINPUT) + 64; },  // claims more than asked
      [] { fake::service().size_query_result = rawinput::kQueryFailed; },
      [] { fake::service().size_query_size = 4; },  // too small for a header
  };
  for (std::size_t i = 0; i < std::size(faults); ++i) {
    SCOPED_TRACE(i);
    fake::service().fetch_result.reset();
    fake::service().size_query_result.reset();
    fake::service().size_query_size.reset();
    faults[i]();
    CaptureStdout();
    SendMouse(103, 9, 9);
    EXPECT_EQ(GetCapturedStdout(), "GetRawInputData doesn't return correct size!\n");
    EXPECT_EQ(Form1->Label1->GetText(), "Label1");
    EXPECT_EQ(Form1->Memo1->Lines().size(), 5u);
    EXPECT_EQ(Form1->tracks[0].x, 120);
  }
  EXPECT_EQ(LogAfterClose(), "");
}

TEST_F(PacketTest, MadeUpHandleIsRefused) {
  CaptureStdout();
  tk::TMessage m{tk::WM_INPUT, 0, 0x7777, 0};
  Form1->Dispatch(m);
  EXPECT_EQ(GetCapturedStdout(), "GetRawInputData doesn't return correct size!\n");
  EXPECT_EQ(Form1->Label1->GetText(), "Label1");
}

TEST_F(PacketTest, MousePacketTooShortForItsFieldsIsNeverRead) {
  std::vector<unsigned char> bytes = fake::mouse_packet(fake::handle(103), {});
  bytes.resize(sizeof(rawinput::RAWINPUTHEADER) + 4);
  CaptureStdout();
  SendPacket(bytes);
  EXPECT_EQ(GetCapturedStdout(), "GetRawInputData doesn't return correct size!\n");
  EXPECT_EQ(Form1->Label1->GetText(), "Label1");
  EXPECT_EQ(raw_input_state.capacity, bytes.size());
}

TEST_F(PacketTest, FailedGrowthKeepsTheOldBuffer) {
  SendMouse(103, 1, 0);
  unsigned char* const old = raw_input_state.buffer;
  fake::service().realloc_fails = true;
  CaptureStdout();
  std::vector<unsigned char> bigger = fake::mouse_packet(fake::handle(103), {});
  bigger.resize(bigger.size() + 100);
  SendPacket(bigger);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(raw_input_state.buffer, old);
  EXPECT_EQ(raw_input_state.capacity, sizeof(rawinput::RAWINPUT));
  EXPECT_EQ(Form1->Memo1->Lines().size(), 6u);
}

// ---- The recording -------------------------------------------------------------

class RecordingTest : public AppTest {
 protected:
  // Eleven devices (the panel shows ten), one of them a mouse with a product
  // string that needs quoting, one path without ids, one device with no path.
  void SetUp() override {
    AppTest::SetUp();
    fake::Service& s = fake::service();
    s.devices = {{fake::handle(101), 0}, {fake::handle(102), 1}, {fake::handle(103), 0}};
    for (std::uintptr_t h = 104; h <= 111; ++h) s.devices.push_back({fake::handle(h), 2});
    s.paths[101] = "\\\\?\\HID#VID_845E&PID_0001#0&0000&0&0#{378de44c}";
    s.paths[102] = "\\\\?\\ACPI#PNP0303#4&1";
    s.paths[103] = "\\\\?\\HID#vid_046d&pid_C077#7&2";
    s.products[s.paths[103]] = "Optical Mouse, \"Pro\" 2";
    s.paths[200] = "\\\\?\\HID#VID_1234&PID_ABCD#9";
    s.products[s.paths[200]] = "Late Mouse";
  }
};

TEST_F(RecordingTest, DevicesCsvNamesEveryListedDeviceThenEachNewOne) {
  CreateForm();
  SendMouse(103, 1, 1);
  SendMouse(200, 1, 1);
  SendMouse(200, 1, 1);  // one row per device, on its first packet
  packetlog::log_close();
  std::string expected =
      "handle,index,type,name,vendor,product,clock_us\n"
      "101,0,Mouse,\"\\\\?\\HID#VID_845E&PID_0001#0&0000&0&0#{378de44c}\",845e,0001,1\n"
      "102,-1,Keyboard,\"\\\\?\\ACPI#PNP0303#4&1\",,,1\n"
      "103,1,Mouse,\"Optical Mouse, \"\"Pro\"\" 2\",046d,c077,1\n";
  for (int h = 104; h <= 111; ++h) expected += std::to_string(h) + ",-1,HID,\"\",,,1\n";
  expected += "200,-1,Mouse,\"Late Mouse\",1234,abcd,1\n";
  EXPECT_EQ(ReadFile("devices.csv"), expected);

  // What a user's tools read back.
  const std::string read = "python3 -c \"import csv; print([r['name'] for r in csv.DictReader(open('devices.csv'))][2])\"";
  FILE* p = popen(read.c_str(), "r");
  ASSERT_NE(p, nullptr);
  char line[256] = {};
  const bool got = std::fgets(line, sizeof line, p) != nullptr;
  pclose(p);
  ASSERT_TRUE(got);
  EXPECT_EQ(std::string(line), "Optical Mouse, \"Pro\" 2\n");
}

TEST_F(RecordingTest, PacketRowsFollowTheRecordsWithTheServicesTimesAndDrops) {
  fake::service().clock_us = 1000;
  CreateForm();
  rawinput::RAWMOUSE wheel{};
  wheel.ulButtons = 0xFF880400;
  SendPacket(fake::mouse_packet(fake::handle(103), wheel), 1000);
  SendPacket(fake::other_packet(fake::handle(102)), 1500);  // not a mouse: no row
  rawinput::report_lost_events(fake::handle(101), 2000);
  SendMouse(999, -3, 4);  // unknown to the service: a row with no name
  packetlog::log_close();
  EXPECT_EQ(ReadFile("log.csv"),
            "time_us,handle,index,usFlags,ulButtons,usButtonFlags,usButtonData,ulRawButtons,lLastX,lLastY,"
            "ulExtraInformation\n"
            "1000,103,1,0,4287104000,1024,-120,0,0,0,0\n"
            "2000,101,0,,,,,,,,\n"
            "0,999,-1,0,0,0,0,0,-3,4,0\n");
  const std::string devices = ReadFile("devices.csv");
  EXPECT_NE(devices.find("\n999,-1,Mouse,\"\",,,1000\n"), std::string::npos) << devices;
  EXPECT_NE(devices.find("\n101,0,Mouse,"), std::string::npos) << devices;
}

TEST(UnboundRawInputTest, MessageBeforeBindingNeverCallsTheService) {
  fake::reset();
  rawinput::raw_input_reset();
  fake::service().packets[1] = fake::mouse_packet(fake::handle(1), {});
  TForm1 form;  // never built: nothing may be touched
  CaptureStdout();
  EXPECT_EQ(rawinput::process_raw_input(form, fake::handle(1)), 0);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(fake::service().size_queries, 0);
  EXPECT_TRUE(StateIsZero());
}

}  // namespace
