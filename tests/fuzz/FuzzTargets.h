// Fuzz targets over the daemon's handling of received text. Each takes one
// input and aborts with a message on stderr when an invariant breaks; the
// libFuzzer entries and the replay test both call them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

using FuzzFunction = int (*)(const uint8_t* data, size_t size);

// The target of a corpus folder name: "endpoint_text" (the endpoint text
// split), "spool_name" (naming a received file into a scratch spool),
// "reader" (the component service file reader), "datagram_cycle" (one
// datagram through spool, reader, reconciliation, NAT rules, registry
// request and upload, then its withdrawal); null for any other name.
FuzzFunction fuzzTarget(const std::string& name);
