// Raw-input state, binding and device table, and packet handling.
#pragma once

#include <cstdint>

#include "rawinput/records.h"

class TForm1;

namespace rawinput {

constexpr int kMaxMice = 10;

struct RawInputState {
  std::int32_t count;
  HANDLE mice[kMaxMice];
  RegisterRawInputDevicesFn RegisterRawInputDevices_f;
  GetRawInputDataFn GetRawInputData_f;
  GetRawInputDeviceListFn GetRawInputDeviceList_f;
  // Names and ids for the recording; the program runs without it.
  GetRawInputDeviceInfoAFn GetRawInputDeviceInfoA_f;
  unsigned char* buffer;
  UINT capacity;
};

// The program-wide state; all zero at start.
extern RawInputState raw_input_state;

// Binds the entry points, lists the first ten devices in form's Memo1, fills the
// table of mice and registers for mouse input. 1 on success or when already
// initialised, 0 on failure.
int raw_input_init(TForm1& form);
// Frees the packet buffer and zeroes the whole state.
void raw_input_reset();
// Fetches one packet and hands a mouse packet to Label1, the log, Memo1 and the
// tracks. 1 when the packet was fetched, 0 when it was not.
int process_raw_input(TForm1& form, HRAWINPUT handle);
// Table index of the mouse with this handle: the lowest match, or -1.
std::int32_t find_mouse(HANDLE device);
// The service lost events of this device at time_us (microseconds since the program
// started): the recording gets a drop row there, with the device's table index.
void report_lost_events(HANDLE device, std::int64_t time_us);

}  // namespace rawinput
