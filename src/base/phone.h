// The phone a link talks to. The connection owns the phone's record and
// changes it on the main loop as phones come and go; a worker thread is
// handed a copy when it starts and keeps it: it talks to the phone it was
// started for.
#pragma once
#include <string>

struct PhoneRef {
    std::string addr;
    std::string path;
};
// The copy to hand a new thread.
PhoneRef this_phone();
// Takes the calling thread's own copy.
void adopt_phone(const PhoneRef& phone);
// The calling thread's copy, or the record itself on a thread handed none
// (the main loop).
const char* phone_addr();
const char* phone_path();

// The record: set once, by its owner, before any thread starts.
void set_phone_record(const char* addr, const char* path);
