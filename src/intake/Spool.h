// The spool: the directory that keeps the latest file of every component
// service. The receiver thread names each received file; the main thread
// ages files out and lists the rest for the reader.
//
// The daemon runs as root beside unprivileged users, and the spool's parent
// may be world-writable. Every operation here therefore works only on a
// verified spool (a real directory of the daemon's own that nobody else may
// write) and on regular files in it, never on a link's target.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "model/ServiceModel.h"

// The most component service files the spool holds. A renewal of a file
// already there is always accepted; a new name beyond the limit is dropped.
constexpr uint32_t MAX_SPOOL_FILES = 128;

// Counts dropped datagrams and says when to report them: the first drop at
// once, later ones at most once a minute, with the number dropped since the
// last report.
class DropReport {
 public:
  using Clock = std::chrono::steady_clock;
  // Counts one drop; returns the number to report now, or 0 to stay silent.
  uint32_t dropped(Clock::time_point now);

 private:
  uint32_t unreported_ = 0;
  bool reported_ = false;
  Clock::time_point last_report_{};
};

// The spool name (without directory and extension) that a received file
// with this text gets: the component part, "_", the service part, with the
// first "/" replaced by "_". Empty when a part starts with "." (such a file
// would hide from the shell's "*" and outlive every wipe).
std::string spoolNameFor(const std::string& text);

// True when `name` may stand in the spool directory: it holds no "/" and is
// neither "." nor "..".
bool isSafeSpoolName(const std::string& name);

// Makes sure the spool directory is a real directory (not a link) owned by
// this process's user and writable by nobody else. Anything else at the path
// is moved aside (or removed when it cannot be moved) without following a
// link, and the directory is made afresh; that is logged at level 3. True
// when the spool is fit for use afterwards.
bool verifySpoolDirectory();

// The created phase's preparation: the directory verified (made when
// missing) and every entry in it removed.
int prepareSpoolDirectory();
// Removes every entry of the verified spool (the stop phase).
void emptySpoolDirectory();

// Gives the receiver's temporary file its final name in the spool. 0 when
// renamed, or dropped because the spool is full (logged at most once a
// minute); 1 when the name is refused or the rename fails. Receiver thread
// only.
int handleIncomingFile();

// Deletes spool files older than max_file_age and lists the other regular
// files in `incoming.ServiceFileNames`. Returns 0. Main thread only.
int cleanupServiceFiles(MachineComponentServices& incoming);
