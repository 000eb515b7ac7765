// One cycle from the spool to the registry: the daemon's running phase, the
// withdrawal of a stop, the benchmarks and the fuzz targets all run this.
#pragma once

#include "model/ServiceModel.h"

// One cycle over the spool, in this order: cleanupServiceFiles ages out and
// lists the spool; when `running`, readZoneIPAddresses reads the two zone
// addresses; readComponentServiceFiles reads `incoming`; reconcileCycle
// brings `published` and the forwarding rules in line with it (refusing
// what may not be forwarded); the registry request is written when
// `published` changed and posted when pending and its back-off has passed
// (a stop's withdrawal at once); a request wiped from the spool meanwhile is
// written again from `published` first, never posted empty.
// A running cycle (`running` true) is skipped, so nothing is withdrawn on
// such grounds, when the spool is refused or cannot be listed or read (said
// at level 3 by that step), when a zone address is missing, or when the
// gateway's own addresses cannot be listed (said at level 3). A stop's
// withdrawal (`running` false, the zone addresses cleared by the caller)
// runs on. Any cycle ends after reading when `incoming` has no
// ComponentIDPrefix.
void runServiceCycle(MachineComponentServices& incoming, MachineComponentServices& published, bool running);
