#pragma once
#include <cstdint>
#include <string>

namespace xarveld {

constexpr int DRIVER_DEVICE = 0;
// The first 2048 bytes of a driver file are never sent.
constexpr std::uint32_t DRIVER_SEND_START = 2048;

// Device 0 connects to the target and loads the driver into SRAM from offset 2048; devices 1 to 5
// and 7 burn the image into that flash device. Returns 0 on success, -1 on failure (without a
// message of its own, but for "Invalid device #: %d\n").
int program_image(const std::string& path, int device);

}  // namespace xarveld
