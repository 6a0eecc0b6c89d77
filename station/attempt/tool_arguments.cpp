#include "station/attempt/tool_arguments.hpp"

#include <algorithm>

namespace xarveld::station {

bool plan_tool_arguments(const std::vector<std::string>& arguments, ToolArgumentPlan& plan,
                         std::string& message) {
  plan = ToolArgumentPlan{};
  if (arguments.empty() || (arguments.back().size() > 1 && arguments.back()[0] == '-')) {
    message = "no image among the tool's arguments: the last one is the image to burn or verify";
    return false;
  }
  int last = static_cast<int>(arguments.size()) - 1;
  plan.image_index = last;
  for (int i = 0; i < last; ++i) {
    const std::string& argument = arguments[static_cast<std::size_t>(i)];
    if (argument.size() < 2 || argument[0] != '-') continue;
    const std::string& value = arguments[static_cast<std::size_t>(i) + 1];
    if (argument[1] == 'l' && (value.empty() || value[0] != '-')) {
      if (plan.driver_index >= 0) plan.earlier_driver_indices.push_back(plan.driver_index);
      plan.driver_index = i + 1;
      ++i;  // the tool steps over the driver's name
    } else if (argument[1] == 'c' && i + 1 < last && value.size() == 1 && value[0] >= '1' &&
               value[0] <= '9') {
      plan.port_option_indices.push_back(i);
    } else if (argument[1] == 'd') {
      plan.device_index = i + 1;  // the tool takes the value but does not step over it
    } else if (argument[1] == 'b') {
      plan.baud_index = i + 1;
    } else if (argument[1] == 'p') {
      plan.burns = true;
    }
  }
  return true;
}

bool tool_reads_back(const std::vector<std::string>& arguments, const ToolArgumentPlan& plan) {
  for (int i = 0; i < plan.image_index; ++i) {
    const std::string& argument = arguments[static_cast<std::size_t>(i)];
    if (i != plan.driver_index && argument.size() >= 2 && argument[0] == '-' &&
        (argument[1] == 'v' || argument[1] == 'x'))
      return true;
  }
  return false;
}

std::vector<std::string> tool_arguments_for_run(const std::vector<std::string>& arguments,
                                                const ToolArgumentPlan& plan,
                                                const std::string& image, const std::string& driver,
                                                const std::string& port_number,
                                                std::string (*make_absolute)(const std::string&)) {
  std::vector<std::string> run;
  if (!port_number.empty()) {
    run.push_back("-c");
    run.push_back(port_number);
  }
  const auto& ports = plan.port_option_indices;
  const auto& earlier = plan.earlier_driver_indices;
  for (int i = 0; i < static_cast<int>(arguments.size()); ++i) {
    if (std::find(ports.begin(), ports.end(), i) != ports.end()) {
      ++i;  // the -c and its digit: the port is the slot's
      continue;
    }
    const std::string& argument = arguments[static_cast<std::size_t>(i)];
    if (i == plan.image_index) {
      run.push_back(image);
    } else if (i == plan.driver_index) {
      run.push_back(driver);
    } else if (std::find(earlier.begin(), earlier.end(), i) != earlier.end()) {
      run.push_back(make_absolute(argument));
    } else {
      run.push_back(argument);
    }
  }
  return run;
}

std::vector<std::string> backup_arguments(const std::vector<std::string>& arguments,
                                          const ToolArgumentPlan& plan, const std::string& driver,
                                          const std::string& port_number, std::uint64_t length,
                                          const std::string& file) {
  std::vector<std::string> read;
  if (!port_number.empty()) read.insert(read.end(), {"-c", port_number});
  if (plan.driver_index >= 0) read.insert(read.end(), {"-l", driver});
  auto value = [&](int index) { return arguments[static_cast<std::size_t>(index)]; };
  if (plan.device_index >= 0) read.insert(read.end(), {"-d", value(plan.device_index)});
  if (plan.baud_index >= 0) read.insert(read.end(), {"-b", value(plan.baud_index)});
  read.insert(read.end(), {"--length", std::to_string(length), file});
  return read;
}

}  // namespace xarveld::station
