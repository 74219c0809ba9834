// What the window shows follows the program's state. Code below the window
// only says which part of the state changed; the window, once built,
// renders that part from the state. Nothing below the window knows a widget.
#pragma once
#include <string>

enum class Change {
    Header,             // connection state, its texts and buttons, and the call area with them
    Call,               // the call area and its buttons
    Ringing,            // arg 1: the call rings (again); 0: it no longer does
    PhoneStatus,        // signal, battery, roaming
    Contacts,           // the contact list
    ContactsBusy,       // arg 1 while the phonebook is read
    ContactsProgress,   // arg: cards read so far, -1 when the download is over
    Recents,            // the call list
    RecentsBusy,        // arg 1 while the call history is read
    RecentsSynced,      // the call history's read is over; arg 1 when it succeeded
    WaitingNumber,      // the number waiting for the phone
    CallVolume,         // the call's gains as the phone set them
    DialFailed,         // text: the number the phone would not dial
};

struct ChangeNote {
    Change what;
    int arg = 0;
    std::string text;
};

// Main thread: renders now.
void state_changed(Change what, int arg = 0, std::string text = {});
// Any thread: renders on the main loop, in order with the links' other events.
void state_changed_later(Change what, int arg = 0, std::string text = {});

// The window, once built; null again when it goes. Until then changes are
// only state: the window renders all of it when it is built.
using ChangeRenderer = void (*)(const ChangeNote& note);
void set_change_renderer(ChangeRenderer renderer);
