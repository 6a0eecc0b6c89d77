#pragma once
// The tool's arguments as the station passes them on: unchanged but for the image and driver
// file names, which become the absolute names of the station's read-only copies, and the port,
// which is the slot's. A pure function of the arguments; the tool itself judges the rest, and a
// bad option fails every run with the tool's own message.
#include <cstdint>
#include <string>
#include <vector>

namespace xarveld::station {

struct ToolArgumentPlan {
  int image_index = -1;   // the last argument: the tool always takes it as the device file
  int driver_index = -1;  // the value of the -l the tool reads (the last one), or -1
  std::vector<int> earlier_driver_indices;  // values of earlier -l options, stepped over unread
  std::vector<int> port_option_indices;     // each -c followed by a port digit the tool takes
  int device_index = -1;  // the value of the -d the tool reads (the last one), or -1
  int baud_index = -1;    // the value of the -b it reads, or -1
  bool burns = false;     // -p: the run writes the device
};

// Walks the arguments as the tool does: up to but not including the last, an argument that does
// not begin with '-' skipped, -l stepping over its value. Returns false with a message when no
// image is among them: none at all, or a last argument that is an option.
[[nodiscard]] bool plan_tool_arguments(const std::vector<std::string>& arguments,
                                       ToolArgumentPlan& plan, std::string& message);

// Whether the tool reads the image back (-v or -x), and with it a board's number.
bool tool_reads_back(const std::vector<std::string>& arguments, const ToolArgumentPlan& plan);

// The arguments of one run. image and driver are the copies' absolute names; port_number is the
// digit to pass with -c ("" on POSIX, where the run's directory holds COM1 and the tool's
// default is COM1). Every -c the tool would take is left out; absolute names the other -l
// values by make_absolute.
std::vector<std::string> tool_arguments_for_run(const std::vector<std::string>& arguments,
                                                const ToolArgumentPlan& plan,
                                                const std::string& image, const std::string& driver,
                                                const std::string& port_number,
                                                std::string (*make_absolute)(const std::string&));

// The read program's arguments for a backup of what a burn of length bytes overwrites: the run's
// port digit, driver copy, device and baud rate, so that it reads what the tool then writes,
// after the same driver load; into file.
std::vector<std::string> backup_arguments(const std::vector<std::string>& arguments,
                                          const ToolArgumentPlan& plan, const std::string& driver,
                                          const std::string& port_number, std::uint64_t length,
                                          const std::string& file);

}  // namespace xarveld::station
