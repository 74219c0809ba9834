#include "base/phone.h"

namespace {

const char* record_addr = "";   // set once, before main, by the phone's record
const char* record_path = "";   // set once, before main, by the phone's record
// Each thread's own copy, set by adopt_phone as a link worker starts.
thread_local bool worker_has_phone = false;
thread_local PhoneRef worker_phone;

}  // namespace

PhoneRef this_phone() { return {phone_addr(), phone_path()}; }

void adopt_phone(const PhoneRef& phone)
{
    worker_phone = phone;
    worker_has_phone = true;
}

const char* phone_addr() { return worker_has_phone ? worker_phone.addr.c_str() : record_addr; }

const char* phone_path() { return worker_has_phone ? worker_phone.path.c_str() : record_path; }

void set_phone_record(const char* addr, const char* path)
{
    record_addr = addr;
    record_path = path;
}
