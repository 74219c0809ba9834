// What the user does with calls: answer, reject, hang up, the second
// call's actions and key tones. Main thread.
#pragma once

// Each says in the log what it did; false when the call's state allows
// nothing (the window's buttons then stay as they are).
bool answer_call();
bool reject_call();
bool hang_up_call();

// A second call: answer the waiting caller holding the current call
// (AT+CHLD=2) or ending it (AT+CHLD=1), reject the waiting caller
// (AT+CHLD=0), swap the active and the held call (AT+CHLD=2).
void hold_and_answer();
void end_and_answer();
void reject_waiting();
void swap_calls();
// One key tone (AT+VTS) during an active call; false when none was sent.
bool send_key_tone(char key);
