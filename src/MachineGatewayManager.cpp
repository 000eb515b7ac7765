#include "MachineGatewayManager.h"

#include <algorithm>

#include "Logging.h"
#include "cycle/ServiceCycle.h"
#include "env/Env.h"
#include "env/Globals.h"
#include "intake/Receiver.h"
#include "intake/Spool.h"
#include "system/IdentityProbes.h"
#include "system/NatForwarding.h"

using Interfaces::Lifecycle::AppStatus;
namespace LC = Interfaces::Lifecycle;

namespace {
constexpr int HANDLE_MESSAGE_TIMEOUT_MS = 10000;
// The most messages handled between two actions: a flood of calls cannot
// hold off a due cycle for ever.
constexpr int MESSAGES_PER_WAKE = 100;
// The least time from the end of one running cycle to the start of the next.
constexpr std::chrono::seconds CYCLE_GAP(1);

bool messageHandled(uint32_t rc) { return rc == 0 || rc == MB_INVALID_ARGUMENTS || rc == MB_UNKNOWN_MEMBER; }

bool isStopStatus(uint32_t value) {
  return value >= bus_protocol::FIRST_STOP_STATUS && value <= bus_protocol::LAST_STOP_STATUS;
}
}  // namespace

Interfaces::MachineGatewayManagerApplication::~MachineGatewayManagerApplication() = default;
Interfaces::MainApplication::~MainApplication() = default;
Interfaces::AlarmManagerApplication::~AlarmManagerApplication() = default;

MachineGatewayManager::MachineGatewayManager()
    : lifecycle_handlers(this, own_names),
      lifecycle_reply_proxy(own_names),
      alarm_proxy(own_names, alarm_manager_names),
      alarm_handlers(this, own_names) {}

// A receiver still running belongs to this object: end it before the
// members it could outlive.
MachineGatewayManager::~MachineGatewayManager() { stopReceiver(); }

// ---- bus wiring ----

uint32_t MachineGatewayManager::connect() {
  MessageBus* connection = bus.Connect(own_names.GetConnectionName());
  if (connection == nullptr) {
    MGM_LOG(2, "Could not connect to message bus (error code 0x%08X).", MB_NOT_CONNECTED);
    return MB_NOT_CONNECTED;
  }
  uint32_t rc = dispatcher.RegisterBusConnection(connection);
  if (rc != 0) {
    MGM_LOG(2, "Dispatcher could not register message bus connection (error code 0x%08X).", rc);
    return rc;
  }
  rc = lifecycle_handlers.RegisterInterface(dispatcher);
  if (rc != 0) {
    MGM_LOG(2, "Could not register messages interface of lifecycle handler (error code 0x%08X).", rc);
    return rc;
  }
  rc = lifecycle_reply_proxy.RegisterBusConnection(connection);
  if (rc != 0) {
    MGM_LOG(2, "Could not register bus connection of lifecycle reply proxy (error code 0x%08X).", rc);
    return rc;
  }
  rc = alarm_handlers.RegisterInterface(dispatcher);
  if (rc != 0) {
    MGM_LOG(2, "Cannot register message interface of alarm reply handler (rc=0x%08X)", rc);
    return rc;
  }
  rc = alarm_proxy.RegisterBusConnection(connection);
  if (rc != 0) {
    MGM_LOG(2, "Cannot register bus connection of alarm proxy (rc=0x%08X)", rc);
    return rc;
  }
  connected = true;
  return 0;
}

uint32_t MachineGatewayManager::disconnect() {
  uint32_t rc = bus.Disconnect();
  connected = false;
  return (rc == 0 || rc == MB_NOT_CONNECTED) ? 0 : rc;
}

uint32_t MachineGatewayManager::reply(AppStatus value) {
  return lifecycle_reply_proxy.SendStatusReply(supervisor_names, value);
}

// ---- lifecycle requests ----

uint32_t MachineGatewayManager::RequestStart() {
  if (status != LC::Ready) return LC_START_NOT_ALLOWED;
  uint32_t rc = reply(LC::Starting);
  if (rc != 0) {
    MGM_LOG(3, "Could not send lifecycle status reply (error code 0x%08X).", rc);
    return rc;
  }
  status = LC::Starting;
  return 0;
}

uint32_t MachineGatewayManager::RequestStop(AppStatus target) {
  if (!isStopStatus(target)) return LC_INVALID_STOP_STATUS;
  if (status == LC::Ready) return 0;
  if (status != LC::Starting && status != LC::Running) return LC_STOP_NOT_ALLOWED;
  status = target;
  uint32_t rc = reply(target);
  if (rc != 0) {
    MGM_LOG(3, "Could not send lifecycle status reply (error code 0x%08X).", rc);
    return rc;
  }
  return 0;
}

uint32_t MachineGatewayManager::RequestRestart() {
  uint32_t rc = RequestStop(LC::Stopped);
  if (rc != 0) return rc;
  if (status != LC::Stopped) return LC_RESTART_NOT_ALLOWED;
  status = LC::Ready;
  rc = reply(LC::Ready);
  if (rc != 0) return rc;
  return RequestStart();
}

uint32_t MachineGatewayManager::RequestReset() {
  RequestStop(LC::Stopped);
  // The next created phase starts a receiver of its own (on the socket the
  // process keeps); the one started by the previous created phase must be
  // gone by then. Nothing is withdrawn: the models and forwards live on.
  if (stopReceiver()) MGM_LOG(6, "MachineGatewayManager join receiver thread: OK");
  status = LC::Created;
  return reply(LC::Created);
}

uint32_t MachineGatewayManager::RequestExit() {
  RequestStop(LC::Stopped);
  status = LC::Exiting;
  return reply(LC::Exiting);
}

uint32_t MachineGatewayManager::RequestStatus(const MessageBusNames& requester) {
  return lifecycle_reply_proxy.SendStatusReply(requester, status);
}

uint32_t MachineGatewayManager::HandleAlarmReply(uint32_t, uint32_t) { return 0; }

// ---- the lifecycle loop ----

uint32_t MachineGatewayManager::run() {
  if (!connected) return MGM_NOT_CONNECTED;
  if (reply(status) != 0) status = LC::Exiting;

  MachineComponentServices incoming;
  MachineComponentServices published;
  AppStatus logged = status;
  while (status != LC::Exiting) {
    if (logged != status) {
      MGM_LOG(6, "Lifecycle: Transition from state %d to %d.", static_cast<int>(logged),
              static_cast<int>(status));
      logged = status;
    }
    handleMessages();
    if (actOnStatus(incoming, published) == MB_CONNECTION_CLOSED) status = LC::Exiting;
  }

  const uint32_t rc = reply(LC::Exiting);
  MGM_LOG(6, "Program MachineGatewayManager terminated");
  return rc;
}

void MachineGatewayManager::handleMessages() {
  const AppStatus before = status;
  uint32_t rc = handleMessage(waitTimeout());
  for (int handled = 1; messageHandled(rc) && status == before && handled < MESSAGES_PER_WAKE; ++handled)
    rc = handleMessage(0);
  if (status == LC::Running) cycle_owed = true;
}

uint32_t MachineGatewayManager::handleMessage(int timeout) {
  const uint32_t rc = dispatcher.HandleMessage(timeout);
  if (rc == MB_INVALID_ARGUMENTS || rc == MB_UNKNOWN_MEMBER) reportUnhandled(rc);
  if (rc == MB_CONNECTION_CLOSED) status = LC::Exiting;
  return rc;
}

void MachineGatewayManager::reportUnhandled(uint32_t rc) {
  const uint32_t count = unhandled_messages.dropped(Env::current().now());
  if (count == 0) return;
  // "hanlde": the log's readers match this text as it has always been.
  MGM_LOG(3, "Failed to hanlde incoming message (error code 0x%08X).", rc);
  if (count > 1) MGM_LOG(3, "%u messages could not be handled since the last report.", count);
}

int MachineGatewayManager::waitTimeout() const {
  if (status == LC::Ready || (status == LC::Running && !(tarn_is_iot && cycle_owed)))
    return HANDLE_MESSAGE_TIMEOUT_MS;
  if (status != LC::Running) return 0;  // the status's action is due
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(next_cycle - Env::current().now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, HANDLE_MESSAGE_TIMEOUT_MS));
}

uint32_t MachineGatewayManager::actOnStatus(MachineComponentServices& incoming,
                                            MachineComponentServices& published) {
  if (isStopStatus(status)) return onStopped(incoming, published);
  switch (status) {
    case LC::Created:
      return onCreated(incoming, published);
    case LC::Starting:
      return onStarting();
    case LC::Running:
      return onRunning(incoming, published);
    case LC::Exiting:
      return onExiting();
    default:  // Ready: wait for the next request
      return 0;
  }
}

uint32_t MachineGatewayManager::onCreated(MachineComponentServices& incoming,
                                          MachineComponentServices& published) {
  const uint32_t r = doCreated(incoming);
  if (r != 0) MGM_LOG(3, "Failed to doCreated MGM (rc=0x%08X)!", r);
  // The created phase emptied the chain. In idle mode nothing is forwarded,
  // so nothing may be published either; otherwise the forwards come back.
  if (tarn_is_iot) {
    restorePortForwards(published);
  } else {
    clearComponentList(published);
  }
  status = LC::Ready;
  return reply(LC::Ready);
}

uint32_t MachineGatewayManager::onStarting() {
  // A stop ended the receiver; Running must mean the components are heard,
  // but only into a spool no one else can swap.
  if (tarn_is_iot && receiver_thread == 0 && isSpoolFit()) startReceiver();
  cycle_owed = true;  // the first cycle runs at once
  next_cycle = Env::current().now();
  status = LC::Running;
  return reply(LC::Running);
}

uint32_t MachineGatewayManager::onRunning(MachineComponentServices& incoming,
                                          MachineComponentServices& published) {
  if (!tarn_is_iot || !cycle_owed || Env::current().now() < next_cycle) return 0;
  cycle_owed = false;
  uint32_t r = 0;
  {
    WhileCommandsRun answering([this] { answerWhileCycleRuns(); });
    r = doRunning(incoming, published);
  }
  next_cycle = Env::current().now() + CYCLE_GAP;
  if (r != 0) MGM_LOG(3, "Failed to doRunning MGM (rc=0x%08X)!", r);
  // A request answered during the cycle changed the status: its action
  // follows at once, as after any request.
  if (status != LC::Running && r != MB_CONNECTION_CLOSED) return actOnStatus(incoming, published);
  return r;
}

void MachineGatewayManager::answerWhileCycleRuns() {
  for (int handled = 0; status == LC::Running && handled < MESSAGES_PER_WAKE; ++handled)
    if (!messageHandled(handleMessage(0))) return;
}

uint32_t MachineGatewayManager::onStopped(MachineComponentServices& incoming,
                                          MachineComponentServices& published) {
  if (tarn_is_iot) {
    const uint32_t r = doStoppedStandby(incoming, published);
    if (r != 0) MGM_LOG(3, "Failed to doStoppedStandby MGM (rc=0x%08X)!", r);
  }
  status = LC::Ready;
  return reply(LC::Ready);
}

uint32_t MachineGatewayManager::onExiting() {
  const uint32_t r = doExiting();
  if (r != 0) MGM_LOG(3, "Failed to doExiting MGM (rc=0x%08X)!", r);
  return r;
}

// ---- phase handlers ----

uint32_t MachineGatewayManager::doCreated(MachineComponentServices& incoming) {
  const bool spool_fit = prepareSpoolDirectory() == 0;
  setupNatChain();
  readIccID(incoming);
  readImsi(incoming);
  if (checkIotAllowed()) {
    // The components' port is the daemon's from here on, also while the
    // spool is refused, so no one takes it before a start; a bind failure
    // ends the process with status 1.
    receiverSocket(receiver_port);
    if (spool_fit) startReceiver();
    tarn_is_iot = true;
  } else {
    MGM_LOG(6, "Tarn is not able to use IoT -> switch to idle mode");
    tarn_is_iot = false;
  }
  return 0;
}

uint32_t MachineGatewayManager::doRunning(MachineComponentServices& incoming,
                                          MachineComponentServices& published) {
  // The cycle is a running one or a stop's throughout, also when a request
  // answered while it waits for a command changes the status.
  runServiceCycle(incoming, published, status == LC::Running);
  return 0;
}

uint32_t MachineGatewayManager::doStoppedStandby(MachineComponentServices& incoming,
                                                 MachineComponentServices& published) {
  if (stopReceiver()) {
    MGM_LOG(6, "MachineGatewayManager join receiver thread: OK");
  } else {
    // "reviever": the log's readers match this text as it has always been.
    MGM_LOG(3, "Could not join reviever thread (error code 0x%08X).", 0u);
  }
  emptySpoolDirectory();
  clearComponentList(incoming);
  incoming.MgUntrustedZoneIPAddress.clear();
  incoming.MgTrustedZoneIPAddress.clear();
  runServiceCycle(incoming, published, false);
  return 0;
}

uint32_t MachineGatewayManager::doExiting() { return 0; }

// ---- receiver thread ----

void* MachineGatewayManager::UDPServer(void*) { return runReceiver(receiver_port, receive_buffer_size); }

void MachineGatewayManager::startReceiver() {
  run_thread = true;
  pthread_t thread;
  if (pthread_create(&thread, nullptr, &MachineGatewayManager::UDPServer, nullptr) == 0)
    receiver_thread = thread;
}

bool MachineGatewayManager::stopReceiver() {
  run_thread = false;
  if (receiver_thread == 0) return false;
  pthread_cancel(receiver_thread);
  pthread_join(receiver_thread, nullptr);
  receiver_thread = 0;
  return true;
}

void MachineGatewayManager::restorePortForwards(const MachineComponentServices& published) {
  NatPortForwarding forwarding;
  for (const Component& component : published.ComponentList)
    for (const Service& service : component.ServiceList)
      for (const ServiceEndpoint& endpoint : service.EndpointList) forwarding.add(endpoint);
}
