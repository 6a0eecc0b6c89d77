#pragma once
// The simulator's end of the line: a pseudo-terminal whose slave is published as DIR/COMn for the
// tool to open.
//
// The simulator keeps a descriptor of the slave open for its whole life. Without it the master
// reports a hang-up whenever no tool has the slave open (between runs), and the line would have
// to be rebuilt. It never reads from that descriptor and never locks it: the tool takes its flock
// on its own descriptor.
#include <cstddef>
#include <string>

namespace xarveld::sim {

struct PtyLine {
  int master_fd = -1;
  int slave_fd = -1;
  std::string slave_path;
  std::string link_path;  // DIR/COMn, empty until published
};

// Opens the pair, makes both ends raw, and makes or replaces the symlink DIR/COMn -> slave
// (an entry of that name that is not a symlink is left alone and is an error). Returns 1, or 0
// with a message in error.
int pty_line_open(PtyLine& line, const std::string& directory, int port, std::string& error);

// Discards what was sent to the tool and not yet read by it: answers that outlived a session
// must not become the head of the next run's first answer.
void pty_line_discard_unread(PtyLine& line);

// How many bytes sent to the tool it has not read yet (0 when that cannot be told).
int pty_line_unread(const PtyLine& line);

// The tool puts the slave in exclusive mode (TIOCEXCL). A real port leaves it at the last close,
// but this line is never closed while the simulator holds it, so the next run of the tool as an
// ordinary user would be refused (EBUSY). Called once the tool is taken to be gone. The tool's
// flock still keeps two tools apart.
void pty_line_allow_reopen(PtyLine& line);

// Puts bytes on the tool's side of the line at once, as a board's boot banner: they wait in the
// port's input queue for whichever tool opens it first. Returns false if they did not all fit.
bool pty_line_put(PtyLine& line, const std::string& bytes);

// Fills the direction from the tool to the simulator until it takes no more, so that the tool's
// next write blocks: a target that stopped taking data. `filled` is how many filler bytes were
// put in: a simulator that reads the line again must throw that many away first, as they come
// ahead of anything the tool writes from then on.
bool pty_line_fill_toward_target(PtyLine& line, std::size_t& filled);

// Closes both ends, as a pulled adapter would: the tool's reads fail from then on.
void pty_line_cut(PtyLine& line);

// Removes the symlink if it still points at this line's slave.
void pty_line_unpublish(PtyLine& line);

}  // namespace xarveld::sim
