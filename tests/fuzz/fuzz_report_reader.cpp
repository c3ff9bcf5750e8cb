// Fuzzes velmora-report's reading of a recording with arbitrary bytes: the input
// is devices.csv, a form feed, then log.csv (without a form feed, all of it is
// log.csv beside a good devices.csv). Every figure, the table, the JSON and the
// page are made from whatever was read; bad input may only throw InputError.
#include <cstdint>
#include <cstdio>
#include <ostream>
#include <streambuf>
#include <string>
#include <string_view>

#include "report/csv_reader.h"
#include "report/recording.h"
#include "report/report_output.h"
#include "report/report_page.h"

namespace {

class NullBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return c; }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

constexpr std::string_view kDevices =
    "handle,index,type,name,vendor,product,clock_us\n"
    "3392,1,Mouse,\"A, \"\"b\"\"\",046d,c077,1\n"
    "14,2,Mouse,\"xi2\",,,1000\n"
    "-5,-1,HID,\"late\",,,1\n";

// A FILE over the bytes; an empty file where fmemopen takes no empty buffer.
std::FILE* open_bytes(std::string& bytes) {
  if (bytes.empty()) return std::fopen("/dev/null", "rb");
  return fmemopen(bytes.data(), bytes.size(), "rb");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find('\f');
  std::string devices(split == std::string_view::npos ? kDevices : input.substr(0, split));
  std::string log(split == std::string_view::npos ? input : input.substr(split + 1));

  NullBuffer discard;
  std::ostream out(&discard);
  report::Recording recording;
  std::FILE* devices_file = open_bytes(devices);
  std::FILE* log_file = open_bytes(log);
  if (!devices_file || !log_file) __builtin_trap();
  try {
    report::read_devices(devices_file, "devices.csv", recording, out);
    report::read_log(log_file, "log.csv", recording, out);
    const auto reports = report::device_reports(recording);
    report::write_table(out, reports);
    report::write_json(out, reports);
    report::write_page(out, reports, "fuzz");
  } catch (const report::InputError&) {
  }
  std::fclose(devices_file);
  std::fclose(log_file);
  return 0;
}
