// What the links tell the main loop. Workers post typed events from any
// thread; one idle source hands them, in the order posted, to the one sink
// the store installs (its apply). Nothing here knows who handles them.
#pragma once
#include "base/changes.h"
#include "core/history.h"

#include <memory>
#include <string>
#include <variant>

struct PhonebookTable;

// Cards of a phonebook download received so far.
struct ContactsProgress {
    int cards;
};
// A phonebook download ended; null when nothing usable arrived.
struct PhonebookRead {
    std::shared_ptr<PhonebookTable> table;
};
struct RecentsSyncStarted {};
struct RecentsRead {
    std::shared_ptr<HistoryRead> result;
};
// The call model of a link changed; ticket orders the changes of one link.
struct CallModelChanged {
    unsigned generation;
    unsigned long ticket;
};
// One of the phone's indicators ("signal", "battchg", ...) has a new value.
struct IndicatorChanged {
    unsigned generation;
    std::string name;
    int value;
};
// The voice link could not carry the agreed wideband codec: it went on in
// CVSD, and the phone must be told the codecs left.
struct VoiceCodecRefused {};
// The phone's link is gone: its calls and indicators go with it.
struct CallLinkClosed {};
// A call wants sound again just as the voice connect gave up.
struct VoiceLinkWanted {};
// The phone refused to dial this number.
struct DialRefused {
    std::string number;
};
// The hands-free link is up and can carry commands.
struct HandsFreeLinkReady {};
// The hands-free link ended while wanted, after being up this long (0: it
// never got past the handshake).
struct HandsFreeLinkLost {
    long long connected_for_us;
};
// The connection entered CONNECTED: the phone's data may be read.
struct PhoneConnected {};
// BlueZ's connect of the phone, asked for by "auto_connect", returned.
struct AutoConnectDone {
    bool succeeded;
};


// What BlueZ, the pairing agent and the connection buttons made happen, told
// on the main loop as it happens (deliver_event). Paths are BlueZ's objects.

// The startup scan (or BlueZ coming back) found the phone, connected or paired.
struct PhoneFound {
    std::string path;
    bool connected;
};
// The agent let this phone pair.
struct PairingConfirmed {
    std::string path;
};
// BlueZ cancelled an agent request.
struct PairingCancelled {};
// The phone's Paired property changed.
struct PhonePairedChanged {
    std::string path;
    bool paired;
};
// The phone's Connected property changed.
struct PhoneConnectedChanged {
    std::string path;
    bool connected;
};
// BlueZ saw the phone answer a scan: it is in range.
struct PhoneInRange {};
// The phone's object left BlueZ.
struct PhoneRemoved {};
// BlueZ handed over the phone's hands-free link (Profile1.NewConnection):
// the connected RFCOMM descriptor, ours to keep.
struct HandsFreeLinkHandedOver {
    std::string path;
    int fd;
};
// BlueZ took our registration of the hands-free role.
struct HandsFreeServiceRegistered {};
// BlueZ left the system bus.
struct BluetoothServiceStopped {};
// The adapter's object went away.
struct AdapterRemoved {};
// A connection step failed; text says what to do about it.
struct ConnectionFailed {
    std::string text;
};
// Start made the adapter discoverable and registered the agent.
struct DiscoverableStarted {};
// Stop ended discoverability.
struct DiscoverableStopped {};
// Discoverability ended by itself; why completes the log line.
struct DiscoverabilityEnded {
    std::string why;
};
// Disconnect: the user let the phone go.
struct PhoneLetGo {};
// Connect: the user wants the known phone now.
struct ConnectAsked {};

// What the user asks of the phone's lists, told by the window.
struct PhonebookRefreshAsked {};
struct RecentsSyncAsked {};
// The search entry's text changed.
struct SearchTyped {
    std::string text;
};

using Event = std::variant<ChangeNote, ContactsProgress, PhonebookRead, RecentsSyncStarted, RecentsRead,
                           CallModelChanged, IndicatorChanged, CallLinkClosed, VoiceCodecRefused, VoiceLinkWanted,
                           DialRefused, HandsFreeLinkReady, HandsFreeLinkLost, PhoneConnected, AutoConnectDone,
                           PhoneFound, PairingConfirmed, PairingCancelled, PhonePairedChanged, PhoneConnectedChanged,
                           PhoneInRange, PhoneRemoved, HandsFreeLinkHandedOver, HandsFreeServiceRegistered, BluetoothServiceStopped,
                           AdapterRemoved, ConnectionFailed, DiscoverableStarted, DiscoverableStopped,
                           DiscoverabilityEnded, PhoneLetGo, ConnectAsked, PhonebookRefreshAsked, RecentsSyncAsked,
                           SearchTyped>;

// Any thread.
void post_event(Event event);

// Main loop: applied before this returns, so a BlueZ handler or a button
// goes on with the state its news made. Queued like a posted one while no
// sink is installed.
void deliver_event(Event event);

// Forgets the events not applied yet: the program's state is being reset.
void discard_events();

// Main loop: the store's apply. Events posted while none is installed wait for it.
using EventSink = void (*)(const Event& event);
void set_event_sink(EventSink sink);
