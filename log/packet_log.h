// The packet record and the log file that receives every record.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>

#include "rawinput/records.h"

namespace packetlog {

using PacketRecord = std::string;

// One line of text for one mouse packet, ending in "\r\n".
PacketRecord make_packet_record(std::int32_t table_index, const rawinput::RAWMOUSE& mouse);

// The program-wide log stream: lives from static initialisation to static
// finalisation, whose destructor closes the file if it is still open.
extern std::ofstream log_stream;

// Creates or truncates "log.txt" in the current directory, once it holds the
// file's lock. A log that cannot be opened, or that another copy of the program
// holds, drops every record; a write that fails (a full disk) drops the rest.
// Each of these says so in one line on stderr, and the program runs on.
void log_open();
// Why this run keeps no log, in a few words for the window's title ("another
// copy is logging here"); empty while log_open's log is kept.
const std::string& log_refusal();
void log_write(const PacketRecord& record);
void log_close();
// Hands what log.txt's stream and the recording's hold to the system (one write
// each, no sync to the device), so that a program killed later keeps it: run
// whenever the program goes idle.
void log_flush();

}  // namespace packetlog
