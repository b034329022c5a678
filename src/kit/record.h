#ifndef QUORVANE_KIT_RECORD_H
#define QUORVANE_KIT_RECORD_H

#include "kit.h"

// HKEY_LOCAL_MACHINE\SOFTWARE\Quorvane: the choice install.cmd deployed
// (Enable, Restart, RemoveStale), and what the kit last left on the panel
// (Instance, Value, and the volatile subkey Pending, which Windows forgets
// when it next starts in full). Created so that only SYSTEM and
// Administrators may change it, and any user read it (for /status); read
// only when no one else may change it.
inline constexpr wchar_t kRecordKey[] = L"SOFTWARE\\Quorvane";

// The deployed choice: 1, or 0 with why (none recorded, or not trusted).
int ReadDeployed(KitRequest* request, Text* why);
// Records the choice, and gives the key its permissions again.
int WriteDeployed(const KitRequest& request, Text* why);
// Forgets the choice, as before an install that did not complete.
int ForgetDeployed();
// What the kit last left; nothing kept where the key is missing or not trusted.
void ReadRecord(Record* record);
int WriteRecord(const Record& record, Text* why);
// Removes the key: 1 when it is gone.
int RemoveRecord();

#endif
