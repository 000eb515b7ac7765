// The daemon: bus wiring, the lifecycle callbacks and loop, and the four
// phase handlers that tie the work of a cycle together.
#pragma once

#include <pthread.h>

#include <chrono>
#include <cstdint>

#include "Interfaces.h"
#include "MessageBus.h"
#include "intake/Spool.h"
#include "model/ServiceModel.h"
#include "platform/BusProtocol.h"

namespace Interfaces {

class MachineGatewayManagerApplication : public MessageBusNames {
 public:
  MachineGatewayManagerApplication()
      : MessageBusNames(bus_protocol::DAEMON.name, bus_protocol::DAEMON.path, "") {}
  ~MachineGatewayManagerApplication() override;
};

class MainApplication : public MessageBusNames {
 public:
  MainApplication() : MessageBusNames(bus_protocol::SUPERVISOR.name, bus_protocol::SUPERVISOR.path, "") {}
  ~MainApplication() override;
};

class AlarmManagerApplication : public MessageBusNames {
 public:
  AlarmManagerApplication()
      : MessageBusNames(bus_protocol::ALARM_MANAGER.name, bus_protocol::ALARM_MANAGER.path, "") {}
  ~AlarmManagerApplication() override;
};

}  // namespace Interfaces

class MachineGatewayManager : public Interfaces::Lifecycle::IRequestCallbacks,
                              public Interfaces::Alarm::IReplyCallbacks {
 public:
  using AppStatus = Interfaces::Lifecycle::AppStatus;

  MachineGatewayManager();
  MachineGatewayManager(const MachineGatewayManager&) = delete;
  MachineGatewayManager& operator=(const MachineGatewayManager&) = delete;

  // Lifecycle requests, called inside HandleMessage.
  uint32_t RequestStart() override;
  uint32_t RequestStop(AppStatus target) override;
  uint32_t RequestRestart() override;
  uint32_t RequestReset() override;
  uint32_t RequestExit() override;
  uint32_t RequestStatus(const MessageBusNames& requester) override;
  ~MachineGatewayManager() override;

  // Phase handlers, called by run for the current status.
  virtual uint32_t doCreated(MachineComponentServices& incoming);
  virtual uint32_t doRunning(MachineComponentServices& incoming, MachineComponentServices& published);
  virtual uint32_t doStoppedStandby(MachineComponentServices& incoming, MachineComponentServices& published);
  virtual uint32_t doExiting();

  uint32_t HandleAlarmReply(uint32_t alarmId, uint32_t result) override;

  // Wires the object to the bus; 0 on success.
  uint32_t connect();
  // The lifecycle loop; returns when the lifecycle has ended.
  uint32_t run();
  // Leaves the bus; 0 also when there was no connection.
  uint32_t disconnect();

  // The receiver thread's entry; `arg` is unused.
  static void* UDPServer(void* arg);

 private:
  // Waits for a bus message as long as the status allows, then handles what
  // else is queued, up to a bound, unless a request changed the status: its
  // action comes first. A lost connection ends the lifecycle.
  void handleMessages();
  // Handles one message, waiting at most `timeout` ms; HandleMessage's result.
  uint32_t handleMessage(int timeout);
  // Logs a message that could not be handled, at most once a minute.
  void reportUnhandled(uint32_t rc);
  // How long the next pass may wait for a message: 0 while an action or a
  // due cycle waits, until the next cycle's time while one is owed, else the
  // loop's 10000.
  int waitTimeout() const;
  // Performs the action of the current status; returns the result of the
  // status reply it sent (0 when it sent none).
  uint32_t actOnStatus(MachineComponentServices& incoming, MachineComponentServices& published);
  uint32_t onCreated(MachineComponentServices& incoming, MachineComponentServices& published);
  uint32_t onStarting();
  uint32_t onRunning(MachineComponentServices& incoming, MachineComponentServices& published);
  // Handles queued messages while a cycle waits for a command, as long as
  // none has changed the status.
  void answerWhileCycleRuns();
  uint32_t onStopped(MachineComponentServices& incoming, MachineComponentServices& published);
  uint32_t onExiting();
  // Sends `value` to the supervisor.
  uint32_t reply(AppStatus value);
  // Starts the receiver thread (run_thread set first).
  void startReceiver();
  // Cancels and joins a running receiver thread; false when none ran.
  bool stopReceiver();
  // Adds the forwarding rule of every published endpoint again, after the
  // created phase has emptied the chain.
  void restorePortForwards(const MachineComponentServices& published);

  bool connected = false;
  DBusMessageBus bus;
  MessageDispatcher dispatcher;
  Interfaces::MachineGatewayManagerApplication own_names;
  Interfaces::MainApplication supervisor_names;
  Interfaces::AlarmManagerApplication alarm_manager_names;
  Interfaces::Lifecycle::RequestHandlers lifecycle_handlers;
  Interfaces::Lifecycle::ReplyProxy lifecycle_reply_proxy;
  AppStatus status = Interfaces::Lifecycle::Created;
  Interfaces::Alarm::RequestProxy alarm_proxy;
  Interfaces::Alarm::ReplyHandlers alarm_handlers;
  pthread_t receiver_thread = 0;
  // Running cycles: one is owed after every wake while Running and runs once
  // `next_cycle` has come, so messages cost at most one cycle a second.
  bool cycle_owed = false;
  std::chrono::steady_clock::time_point next_cycle{};
  // Messages that could not be handled: any local user may send them, so
  // they are logged at most once a minute.
  DropReport unhandled_messages;
};
