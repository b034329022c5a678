#ifndef QUORVANE_KIT_SECURITY_H
#define QUORVANE_KIT_SECURITY_H

#include <windows.h>

#include "text.h"

// The machine's own domain's Domain Admins, and, where that domain is its
// forest's root, the forest's Enterprise Admins: the only domain groups
// trusted. None where the machine is in no domain.
struct Domains {
  BYTE admins[SECURITY_MAX_SID_SIZE];
  int hasAdmins;
  BYTE enterprise[SECURITY_MAX_SID_SIZE];
  int hasEnterprise;
};
void ReadDomains(Domains* domains);

// Who may change or own what SYSTEM writes or runs: SYSTEM, Administrators,
// TrustedInstaller, the account this program runs as (SYSTEM, or an
// administrator at a prompt), and the groups of domains. Everyone else is
// refused, whoever they are: another domain's groups too.
int TrustedAccount(PSID sid, const Domains& domains);

// Whether owner is one of them: else 0, with why.
int TrustedOwner(PSID owner, const Domains& domains, const wchar_t* path, Text* why);

// What a folder or file must let no one else do when SYSTEM copies or runs
// what it holds. kItem: the package's folder or one of its files: no
// writing, appending (in a folder: creating files or folders), deleting,
// deleting children, or changing permissions or owner. kAbove: a folder
// above it: no deleting it or its children, or changing its permissions or
// owner (creating folders in it, as in C:\, is harmless).
// kKey: a registry key the kit keeps its record in: no setting values,
// creating subkeys or links, deleting, or changing permissions or owner.
enum class Place { kItem, kAbove, kKey };

// Returns 1 when descriptor (owner and DACL) lets only those accounts change
// the object at path, else 0 with why: the path, who and which right.
int SafeFromUsers(PSECURITY_DESCRIPTOR descriptor, Place place, const Domains& domains, const wchar_t* path,
                  Text* why);

// The final path as GetFinalPathNameByHandleW gives it ("\\?\C:\..." or
// "\\?\UNC\server\share\...") as a path ("C:\..." or "\\server\share\...").
void PlainPath(const wchar_t* final, Text* path);

constexpr int kPackageFiles = 16;

// A package folder that has been checked, and its files, held open: the
// files without write or delete sharing, so that what was checked is what is
// copied or run; the folder without delete sharing, so that neither it nor a
// folder above it can be renamed while it is held.
struct Package {
  Text folder;  // its final path, without a final backslash
  HANDLE handle;
  int held;     // refused because another program holds an element open (a sharing violation)
  int count;
  const wchar_t* const* names;
  HANDLE files[kPackageFiles];  // INVALID_HANDLE_VALUE where a named file is not there
};

// Checks the folder this program was started from (without a final
// backslash) and the named files in it (relative names; a folder's too), and
// holds them: 1, or 0 with why and nothing held. Refused: a link (junction,
// symbolic link, mount point) anywhere on the path as started or on the
// final path; a folder above, the folder or a file that anyone but the
// trusted accounts may change or owns. A drive made by subst or mapped to a
// share is judged by the path it resolves to. A named file that is not there
// passes (the folder would have refused one that users could add).
int OpenPackage(const wchar_t* started, const wchar_t* const* names, int count, Package* package, Text* why);
void ClosePackage(Package* package);

// Opens path itself, never what a link leads to, and refuses a link (a
// junction, a symbolic link, a mount point), an element held open by another
// program, and one that anyone but the trusted accounts owns or, as place
// says, may change. The handle, or INVALID_HANDLE_VALUE with why; *missing:
// it is not there (then no why).
HANDLE OpenChecked(const wchar_t* path, DWORD access, DWORD share, Place place, const Domains& domains, int* missing,
                   Text* why);

// Gives the object open as handle (with WRITE_DAC) the DACL of sddl, and
// nothing it holds: 1, or 0 with why.
int ProtectHandle(HANDLE handle, const wchar_t* sddl, const wchar_t* path, Text* why);

#endif
