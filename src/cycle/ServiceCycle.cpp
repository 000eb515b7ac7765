#include "cycle/ServiceCycle.h"

#include "Logging.h"
#include "cycle/RegistryRequestState.h"
#include "intake/Spool.h"
#include "model/Reconciliation.h"
#include "system/IdentityProbes.h"
#include "system/NatForwarding.h"
#include "system/RegistryUpload.h"
#include "xml/ComponentServiceReader.h"
#include "xml/RegistryRequestWriter.h"

namespace {

void writeRequest(const MachineComponentServices& published) {
  registryRequestWritten(xml::writeRegistryServiceFile(published) == 0);
}

}  // namespace

void runServiceCycle(MachineComponentServices& incoming, MachineComponentServices& published, bool running) {
  // A spool refused, or not listed or opened (out of descriptors, say),
  // skips the running cycle rather than withdrawing every component (each
  // said at level 3); the stop's withdrawal still runs.
  if (cleanupServiceFiles(incoming) != 0 && running) return;
  if (running) {
    readZoneIPAddresses(incoming);
    if (incoming.MgTrustedZoneIPAddress.empty() || incoming.MgUntrustedZoneIPAddress.empty()) return;
  }
  if (xml::readComponentServiceFiles(incoming) == xml::SPOOL_UNREADABLE && running) return;
  if (incoming.ComponentIDPrefix.empty()) return;

  NatPortForwarding forwarding;
  // Without the gateway's own addresses no received endpoint can be told
  // safe to forward to: the running cycle waits rather than withdraw them.
  if (running && !forwarding.knowsGatewayAddresses()) {
    MGM_LOG(3, "Could not list the gateway's own addresses: the running cycle is skipped");
    return;
  }
  if (reconcileCycle(incoming, published, forwarding, running)) registryRequestChanged();

  if (new_registry_service_file) writeRequest(published);
  // After a failed upload the next one waits for its back-off, also when the
  // request was written anew; a stop's withdrawal is tried at once.
  if (registryRequestSendDue(running)) {
    // A wipe of the spool took the pending request with it: never post an
    // empty request, write it again from what is published.
    if (!xml::registryRequestPresent()) writeRequest(published);
    if (registry_service_file_send_request) registryRequestPosted(sendRegistryServiceFile(published));
  }
}
