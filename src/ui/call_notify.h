// Desktop notifications for calls (GNotification): a ringing caller with
// Answer and Reject, a waiting caller during a call, and missed calls.
#pragma once
#include <gtk/gtk.h>

#include <string>

// How a caller is named in a notification: the name, else the number, else
// "Unknown caller". Control characters are dropped, the text kept to one line.
std::string notification_caller(const char* name, const char* number);

// Adds the application actions the notifications' buttons activate. Called
// once the window exists (its buttons are what Answer and Reject press).
void install_call_notifications(GtkApplication* application);

// Follows the call state after every change of the call display (main
// thread): posts the ringing caller, withdraws it once the call is answered,
// rejected or over, and leaves a missed-call notification when it rang out.
void call_notifications_follow();

// A second caller while a call is up. Its Answer and Reject run the given
// handlers (null: the button does nothing); withdraw when it is decided.
using WaitingCallHandler = void (*)();
void set_waiting_call_handlers(WaitingCallHandler answer, WaitingCallHandler reject);
void notify_waiting_call(const char* number, const char* name);
void withdraw_waiting_call_notification();

// How long the phone is given to write a call down before its history is asked.
inline constexpr unsigned kHistorySettleMs = 2000;
// The call-history sync that followed a call ringing out ended: its verdict
// decides the "Missed call" notification. Main loop.
void call_history_synced(bool success);
