// The service file receiver: one UDP datagram becomes one spool file.
#pragma once

#include <string>

// Receives datagrams on `port` (a number as text, strtoul base 0) into the
// spool until run_thread is false; each one is handed to handleIncomingFile.
// Ends the process with status 1 on a fatal failure. Returns null.
void* runReceiver(const std::string& port, const std::string& buffer_size);
