#include "tests/support/sim_peer.hpp"

#include <gtest/gtest.h>

#include "sim/sim_options.hpp"
#include "tests/support/fake_link.hpp"

namespace xarveld::test {

void attach_loader(sim::Loader& loader, const std::vector<std::string>& fault_options) {
  sim::SimParse parsed = sim::parse_sim_options(fault_options);
  ASSERT_EQ(parsed.status, sim::ParseStatus::Run) << parsed.error;
  sim::loader_start(loader, parsed.options.loader);
  fake::set_peer([&loader](const fake::Bytes& frame) {
    std::vector<sim::LoaderEvent> events;
    sim::loader_receive(loader, frame.data(), frame.size(), events);
    for (const sim::LoaderEvent& event : events) {
      if (event.kind == sim::EventKind::HangUp) fake::set_reads_fail(true);
      if (event.kind != sim::EventKind::Send) continue;
      // Each piece of a fragmented answer comes with a read of its own.
      std::size_t pieces = event.pieces > 0 ? event.pieces : 1;
      std::size_t step = (event.frame.size() + pieces - 1) / pieces;
      for (std::size_t at = 0; at < event.frame.size(); at += step) {
        std::size_t end = std::min(event.frame.size(), at + step);
        fake::queue_read(fake::Bytes(event.frame.begin() + static_cast<long>(at),
                                     event.frame.begin() + static_cast<long>(end)));
      }
    }
  });
}

std::string device_bytes(const sim::Loader& loader, std::uint16_t device, std::size_t length) {
  std::string bytes(length, '\0');
  sim::memory_read(loader.memory, device, 0, reinterpret_cast<std::uint8_t*>(bytes.data()),
                   length);
  return bytes;
}

}  // namespace xarveld::test
