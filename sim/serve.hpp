#pragma once
// The simulator's one loop: it moves bytes between the pseudo-terminal and the loader, paced and
// fragmented as asked, waiting in pselect() and never spinning.
#include <cstdint>

#include "sim/loader.hpp"
#include "sim/pty_line.hpp"
#include "sim/wire_log.hpp"

namespace xarveld::sim {

struct ServeSettings {
  bool serve_forever = false;
  std::uint32_t pace_baud = 0;
  std::uint32_t latency_ms = 0;  // a USB adapter's latency timer on the answers' way
};

enum class ServeEnd {
  Disconnected,  // the session ended with CMD_DISCONNECT and its answer has gone out
  Stopped,       // stop_fd became readable (SIGINT, SIGTERM), also after --stop-reading-after
  HungUp,        // --hangup-after cut the line; both ends are closed
  LineFailed,    // the pseudo-terminal failed (message on stderr)
};

ServeEnd serve_line(PtyLine& line, Loader& loader, const ServeSettings& settings, WireLog& wire,
                    int stop_fd);

}  // namespace xarveld::sim
