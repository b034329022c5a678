#ifndef QUORVANE_KIT_SECURITY_H
#define QUORVANE_KIT_SECURITY_H

#include <windows.h>

#include "text.h"

// Whether owner may own what SYSTEM writes or runs at path: SYSTEM,
// Administrators, TrustedInstaller, or the account this program runs as
// (SYSTEM, or an administrator at a prompt). Anyone else may have planted it:
// then 0, with why.
int TrustedOwner(PSID owner, const wchar_t* path, Text* why);

// What a folder or file must not let standard users do (Everyone,
// Authenticated Users, Users, INTERACTIVE, Guests, LOCAL, BATCH, NETWORK, and
// a domain's Users, Guests and Computers) when SYSTEM copies or runs
// what it holds. kItem: the package's folder or one of its files: no writing,
// appending, deleting, deleting children, or changing permissions or owner.
// kAbove: a folder above it: no deleting it or its children, or changing
// permissions or owner (creating folders in it, as in C:\, is harmless).
enum class Place { kItem, kAbove };

// Returns 1 when descriptor (owner and DACL) lets no standard user change
// the object at path, else 0 with why: the path, who and which right.
int SafeFromUsers(PSECURITY_DESCRIPTOR descriptor, Place place, const wchar_t* path, Text* why);

// Checks folder (the package's, without a final backslash), each of the
// named files in it, and every folder above it up to its drive's or share's
// root. Returns 1 when no standard user can change any of them, else 0 with
// why for the first that fails.
int SafeSource(const wchar_t* folder, int count, const wchar_t* const* files, Text* why);

#endif
