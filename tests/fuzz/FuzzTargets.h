// Fuzz targets over the daemon's handling of received text. Each takes one
// input and aborts with a message on stderr when an invariant breaks; the
// libFuzzer entries and the replay test both call them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

using FuzzFunction = int (*)(const uint8_t* data, size_t size);

// The target of a corpus folder name: "endpoint_text" (the endpoint text
// split), "reader" (the component service file reader), "datagram_cycle"
// and "spool_name" (one datagram through spool, reader, reconciliation, NAT
// rules, registry request and upload, then its withdrawal; the latter's
// seeds are names); null for any other name.
FuzzFunction fuzzTarget(const std::string& name);
