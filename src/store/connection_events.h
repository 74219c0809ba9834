// What the connection's news does to the connection state: the cases of
// apply for BlueZ's signals, the agent, the hands-free service and the
// connection buttons. Main loop.
#pragma once
#include "base/events.h"

void apply_connection_event(const PhoneFound& event);
void apply_connection_event(const PairingConfirmed& event);
void apply_connection_event(const PairingCancelled& event);
void apply_connection_event(const PhonePairedChanged& event);
void apply_connection_event(const PhoneConnectedChanged& event);
void apply_connection_event(const PhoneInRange& event);
void apply_connection_event(const PhoneRemoved& event);
void apply_connection_event(const HandsFreeLinkHandedOver& event);
void apply_connection_event(const HandsFreeServiceRegistered& event);
void apply_connection_event(const BluetoothServiceStopped& event);
void apply_connection_event(const AdapterRemoved& event);
void apply_connection_event(const ConnectionFailed& event);
void apply_connection_event(const DiscoverableStarted& event);
void apply_connection_event(const DiscoverableStopped& event);
void apply_connection_event(const DiscoverabilityEnded& event);
void apply_connection_event(const PhoneLetGo& event);
void apply_connection_event(const ConnectAsked& event);
void apply_connection_event(const AutoConnectDone& event);
