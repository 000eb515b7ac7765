// The service file receiver: one UDP datagram becomes one spool file.
#pragma once

#include <cstdint>
#include <string>

// Receives datagrams on `port` (a number as text, strtoul base 0) into the
// spool until run_thread is false; each one is handed to handleIncomingFile.
// Only datagrams that arrived on the Trusted interface or on loopback are
// spooled; one longer than the buffer is dropped, never spooled cut; while
// the spool is refused every datagram is dropped. Each drop is logged at
// level 3, at most once a minute per kind. Ends the process with status 1 on
// a fatal failure (the socket cannot be made or bound, the spool is gone).
// Returns null.
void* runReceiver(const std::string& port, const std::string& buffer_size);

// The receiver's socket on `port`: made and bound by the first call, then
// kept for the process's life, so no one else can take the port between a
// stop and a start. A failure ends the process with status 1.
int receiverSocket(const std::string& port);

// The receive buffer of the receiver's socket holds a burst of
// RECEIVE_BURST_DATAGRAMS datagrams of the largest size (4096 bytes), as a
// plant powering up announces all its services at once. The kernel charges
// a datagram its buffers' true size, not its payload: 8448 bytes for 4096
// bytes on loopback, more when it arrives in fragments; 16384 covers both.
constexpr int RECEIVE_BURST_DATAGRAMS = 500;
constexpr int RECEIVE_BUFFER_COST_PER_DATAGRAM = 16384;
// In the bytes that getsockopt(SO_RCVBUF) reports.
constexpr int RECEIVE_BUFFER_NEEDED = RECEIVE_BURST_DATAGRAMS * RECEIVE_BUFFER_COST_PER_DATAGRAM;

// Asks for a receive buffer of `needed` bytes (as getsockopt reports them;
// the kernel doubles what is asked for) on the socket `fd`: SO_RCVBUFFORCE,
// which needs CAP_NET_ADMIN, else SO_RCVBUF, bounded by net.core.rmem_max.
// Logs at level 3 when the kernel granted less. Returns the size granted,
// as getsockopt(SO_RCVBUF) reports it, or -1 when it cannot be read.
int sizeReceiveBuffer(int fd, int needed);

// True for the interfaces whose datagrams are spooled: the Trusted zone's
// and loopback.
bool isTrustedArrival(const std::string& interface_name);
