// A read of the phone's call history, handed whole from the reading thread.
#pragma once
#include "core/records.h"

struct HistoryRead {
    bool success = false;
    bool emptied = false;   // the phone could be asked: the older records are given up
    RecentEntry rows[kMaxRecents];
    int count = 0;
};
