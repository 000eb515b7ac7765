// The service file receiver: one UDP datagram becomes one spool file.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// Receives datagrams on `port` (a number as text, strtoul base 0) into the
// spool until run_thread is false; each one is handed to handleIncomingFile.
// Only datagrams that arrived on the Trusted interface or on loopback are
// spooled. Ends the process with status 1 on a fatal failure. Returns null.
void* runReceiver(const std::string& port, const std::string& buffer_size);

// True for the interfaces whose datagrams are spooled: the Trusted zone's
// and loopback.
bool isTrustedArrival(const std::string& interface_name);

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
