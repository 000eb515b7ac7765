// Fuzz targets over the daemon's handling of received text. Each takes one
// input and aborts with a message on stderr when an invariant breaks; the
// libFuzzer entries and the replay test both call them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

using FuzzFunction = int (*)(const uint8_t* data, size_t size);

// The endpoint text split.
int fuzzEndpointText(const uint8_t* data, size_t size);
// Spool naming of a received file, and handleIncomingFile on a scratch spool.
int fuzzSpoolName(const uint8_t* data, size_t size);
// The component service file reader on one spooled file.
int fuzzReader(const uint8_t* data, size_t size);
// One datagram through spool, reader, reconciliation, NAT rules, registry
// request and upload, then its withdrawal; every shell command checked word
// by word.
int fuzzDatagramCycle(const uint8_t* data, size_t size);

// The target of a corpus folder name ("endpoint_text", "spool_name",
// "reader", "datagram_cycle"); null for any other name.
FuzzFunction fuzzTarget(const std::string& name);
