// The spool: the directory that keeps the latest file of every component
// service. The receiver thread names each received file; the main thread
// ages files out and lists the rest for the reader.
//
// The daemon runs as root beside unprivileged users, and the spool's parent
// may be world-writable. Every operation here therefore works through one
// checked descriptor of the spool (see SpoolDirectory) and on regular files
// in it, never on a link's target; a spool that others could swap is
// refused.
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
// with this text (read up to its first NUL) gets: the component part, "_",
// the service part, with the first "/" replaced by "_". Empty when a part
// starts with "." (a hidden file no one would look for).
std::string spoolNameFor(const std::string& text);

// True when `name` may stand in the spool directory: it holds no "/" and is
// neither "." nor "..".
bool isSafeSpoolName(const std::string& name);

// The created phase's preparation. Under a parent that lets nobody else swap
// the spool, a new directory made under an unpredictable name is swapped in
// for anything at the spool's name that is no private directory of the
// daemon, which so ends up under that name (or, when it cannot be swapped
// and is no directory, is removed without following it), logged at level 3. Then every entry of the spool is
// removed. 0 when the spool is fit for use, 1 when it is refused (said at
// level 3, again only when the reason changes).
int prepareSpoolDirectory();
// True when the spool is fit for use now; a refusal is reported as above.
// Main thread only.
bool isSpoolFit();
// Removes every entry of the spool when it is fit (the stop phase).
void emptySpoolDirectory();

// Gives the receiver's temporary file its final name in the spool. 0 when
// renamed, or dropped because the spool is full (logged at most once a
// minute); 1 when the file cannot be read or named (an exception included,
// logged "Error in handling incoming file."), the name is refused or the
// rename fails. Receiver thread only; the first form opens the spool
// itself, the second works in the spool open at `spool`.
int handleIncomingFile();
int handleIncomingFile(int spool);

// Deletes spool files older than max_file_age and lists the other regular
// files in `incoming.ServiceFileNames`. A file dated in the future (the
// clock was set back) ages from when the cleanup first saw it. Returns 0,
// or 1 with the list empty when the spool is refused (reported as above) or
// cannot be listed (logged at level 3).
// Main thread only.
int cleanupServiceFiles(MachineComponentServices& incoming);
