// Reads the listed component service files into the incoming model.
#pragma once

#include <cstdint>

#include "model/ServiceModel.h"

namespace xml {
// The most endpoints read from one file; the rest are skipped and counted
// in one level-3 message.
constexpr uint32_t MAX_ENDPOINTS_PER_FILE = 32;
constexpr uint32_t SPOOL_UNREADABLE = 2;

// Rebuilds `incoming.ComponentList` from the spool files named in
// `incoming.ServiceFileNames` and updates ComponentIDPrefix. 0 when every
// file loaded, 1 when one or more failed to load (each is logged and passed
// over; the others are read), SPOOL_UNREADABLE with nothing read when the
// spool cannot be opened (logged at level 3). Only regular files are read, never through a
// link. A Component, Service or ServiceEndpoint whose ID or text is not XML
// 1.0 text is skipped like an incomplete one, so every value read can be
// written back as well-formed XML.
uint32_t readComponentServiceFiles(MachineComponentServices& incoming);
}  // namespace xml
