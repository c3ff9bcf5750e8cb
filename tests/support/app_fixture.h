// A fresh program for each test: headless toolkit, scripted raw-input service,
// zeroed raw-input state, and a private working directory for log.txt.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "app/principal.h"
#include "log/packet_log.h"
#include "log/recording.h"
#include "rawinput/rawinput.h"
#include "tests/support/fake_service.h"
#include "toolkit/headless/headless.h"

class AppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    rawinput::raw_input_reset();
    packetlog::log_close();
    packetlog::log_stream.clear();
    old_dir_ = std::filesystem::current_path();
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = "velmora-" + std::string(info->test_suite_name()) + "-" + info->name() + "-" +
                       std::to_string(reinterpret_cast<std::uintptr_t>(this));
    std::replace(name.begin(), name.end(), '/', '-');  // parameterised tests' names
    dir_ = std::filesystem::temp_directory_path() / name;
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    std::filesystem::current_path(dir_);
    tk::Application->Reset();
    tk::Application->Initialize();
    Form1 = nullptr;
    run_options = RunOptions();
  }

  void TearDown() override {
    run_options = RunOptions();
    tk::Application->Reset();
    Form1 = nullptr;
    rawinput::raw_input_reset();
    packetlog::log_close();
    packetlog::log_stream.clear();
    std::filesystem::current_path(old_dir_);
    std::filesystem::remove_all(dir_);
  }

  // Mice 101 and 103 with a keyboard 102 between them, unless a test scripted
  // its own list first.
  void ScriptExampleDevices() {
    fake::service().devices = {{fake::handle(101), 0}, {fake::handle(102), 1}, {fake::handle(103), 0}};
  }

  void CreateForm() { tk::Application->CreateForm(Form1); }
  tk::headless::HeadlessBackend& Backend() { return tk::headless::Of(*Form1); }
  tk::headless::Raster& Surface() { return Backend().Surface(); }

  // Scripts a packet under a fresh handle, with the time the service gives it, and
  // sends it as message 255.
  void SendPacket(const std::vector<unsigned char>& bytes, std::int64_t time_us = 0) {
    const std::uintptr_t h = next_packet_++;
    fake::service().packets[h] = bytes;
    fake::service().times[h] = time_us;
    tk::TMessage m{tk::WM_INPUT, 0, static_cast<std::intptr_t>(h), 0};
    Form1->Dispatch(m);
  }
  void SendMouse(std::uintptr_t device, std::int32_t dx, std::int32_t dy) {
    rawinput::RAWMOUSE mouse{};
    mouse.lLastX = dx;
    mouse.lLastY = dy;
    SendPacket(fake::mouse_packet(fake::handle(device), mouse));
  }

  static std::string ReadFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }

  std::filesystem::path dir_;

 private:
  std::filesystem::path old_dir_;
  std::uintptr_t next_packet_ = 0x5000;
};
