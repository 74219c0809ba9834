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

using Event = std::variant<ChangeNote, ContactsProgress, PhonebookRead, RecentsSyncStarted, RecentsRead,
                           CallModelChanged, IndicatorChanged, CallLinkClosed, VoiceCodecRefused, VoiceLinkWanted, DialRefused, HandsFreeLinkReady,
                           HandsFreeLinkLost, PhoneConnected, AutoConnectDone>;

// Any thread.
void post_event(Event event);

// Forgets the events not applied yet: the program's state is being reset.
void discard_events();

// Main loop: the store's apply. Events posted while none is installed wait for it.
using EventSink = void (*)(const Event& event);
void set_event_sink(EventSink sink);
