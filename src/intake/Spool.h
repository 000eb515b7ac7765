// The spool: the directory that keeps the latest file of every component
// service. The receiver thread names each received file; the main thread
// ages files out and lists the rest for the reader.
#pragma once

#include <string>

#include "model/ServiceModel.h"

// The spool name (without directory and extension) that a received file
// with this text gets: the component part, "_", the service part, with the
// first "/" replaced by "_".
std::string spoolNameFor(const std::string& text);

// True when `name` may stand in the spool directory: it holds no "/" and is
// neither "." nor "..".
bool isSafeSpoolName(const std::string& name);

// Gives the receiver's temporary file its final name in the spool. 0 when
// renamed, 1 otherwise. Receiver thread only.
int handleIncomingFile();

// Deletes spool files older than max_file_age and lists the others in
// `incoming.ServiceFileNames`. Returns 0. Main thread only.
int cleanupServiceFiles(MachineComponentServices& incoming);
