// One contact and one call-history record as the program keeps them: fixed
// byte arrays, so tables of them are copied and handed between threads whole.
#pragma once

struct Contact {
    char name[128];
    char number[64];
};

inline constexpr int kMaxContacts = 2000;

struct RecentEntry {
    char type[24];
    char name[128];
    char number[64];
    char time[64];
    char sort_key[20];
};

inline constexpr int kMaxRecents = 500;
