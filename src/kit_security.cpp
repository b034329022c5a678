#include "kit_security.h"

#include <aclapi.h>
#include <sddl.h>

namespace {

constexpr const wchar_t* kTrustedOwners[] = {
    L"S-1-5-18",
    L"S-1-5-32-544",
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
};

struct Group {
  WELL_KNOWN_SID_TYPE type;
  const wchar_t* name;
};

// Everyone, Authenticated Users, Users, INTERACTIVE and Guests, and the
// groups that hold standard users in other ways: logged on locally, through
// a batch job (any user's own scheduled task), from the network, or any user
// or guest of a domain.
constexpr Group kUsers[] = {
    {WinWorldSid, L"Everyone"},
    {WinAuthenticatedUserSid, L"Authenticated Users"},
    {WinBuiltinUsersSid, L"Users"},
    {WinInteractiveSid, L"INTERACTIVE"},
    {WinBuiltinGuestsSid, L"Guests"},
    {WinLocalSid, L"LOCAL"},
    {WinBatchSid, L"BATCH"},
    {WinNetworkSid, L"NETWORK"},
};

// Domain Users, Domain Guests and Domain Computers, of whatever domain.
struct DomainGroup {
  DWORD rid;
  const wchar_t* name;
};
constexpr DomainGroup kDomainUsers[] = {
    {DOMAIN_GROUP_RID_USERS, L"Domain Users"},
    {DOMAIN_GROUP_RID_GUESTS, L"Domain Guests"},
    {DOMAIN_GROUP_RID_COMPUTERS, L"Domain Computers"},
};

struct Right {
  ACCESS_MASK mask;
  const wchar_t* what;
  int above;  // also refused on a folder above the package
};

constexpr Right kRights[] = {
    {WRITE_OWNER, L"take ownership", 1},
    {WRITE_DAC, L"change permissions", 1},
    {DELETE, L"delete", 1},
    {FILE_DELETE_CHILD, L"delete what it holds", 1},
    {FILE_WRITE_DATA, L"write", 0},
    {FILE_APPEND_DATA, L"append", 0},
};

int SameAuthority(const SID_IDENTIFIER_AUTHORITY& a, const SID_IDENTIFIER_AUTHORITY& b) {
  for (int i = 0; i < 6; ++i) {
    if (a.Value[i] != b.Value[i])
      return 0;
  }
  return 1;
}

int IsRunningAccount(PSID sid) {
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
    return 0;
  union {
    TOKEN_USER user;
    BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } account;
  DWORD size;
  const int same = GetTokenInformation(token, TokenUser, &account, sizeof account, &size) &&
                   EqualSid(account.user.User.Sid, sid);
  CloseHandle(token);
  return same;
}

const wchar_t* UsersGroup(PSID sid) {
  for (const Group& group : kUsers) {
    if (IsWellKnownSid(sid, group.type))
      return group.name;
  }
  // S-1-5-21-domain-RID: a domain's own groups.
  const SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  const BYTE count = *GetSidSubAuthorityCount(sid);
  if (count != 5 || *GetSidSubAuthority(sid, 0) != SECURITY_NT_NON_UNIQUE ||
      !SameAuthority(*GetSidIdentifierAuthority(sid), nt))
    return nullptr;
  for (const DomainGroup& group : kDomainUsers) {
    if (*GetSidSubAuthority(sid, count - 1) == group.rid)
      return group.name;
  }
  return nullptr;
}

void Say(Text* why, const wchar_t* path, const wchar_t* first, const wchar_t* second, const wchar_t* third) {
  Append(why, L"\"");
  Append(why, path);
  Append(why, L"\" ");
  Append(why, first);
  Append(why, second);
  Append(why, third);
}

int SafePath(const wchar_t* path, Place place, Text* why) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error = GetNamedSecurityInfoW(path, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                            nullptr, nullptr, nullptr, nullptr, &descriptor);
  // A file that is not there cannot have been changed: what needs it fails
  // on its own, and says so.
  if (error == ERROR_FILE_NOT_FOUND)
    return 1;
  if (error != ERROR_SUCCESS) {
    Say(why, path, L"could not be checked", L"", L"");
    AppendErrorNote(why, error);
    return 0;
  }
  const int safe = SafeFromUsers(descriptor, place, path, why);
  LocalFree(descriptor);
  return safe;
}

// "C:\" or "\\server\share\": where the walk up ends.
DWORD RootLength(const wchar_t* path) {
  if (path[0] != L'\\' || path[1] != L'\\')
    return 3;
  DWORD separators = 0;
  DWORD at = 0;
  for (; path[at] && separators < 4; ++at)
    separators += path[at] == L'\\';
  return at;
}

}  // namespace

int TrustedOwner(PSID owner, const wchar_t* path, Text* why) {
  wchar_t* name = nullptr;
  if (!owner || !ConvertSidToStringSidW(owner, &name)) {
    Say(why, path, L"has an owner that could not be read", L"", L"");
    return 0;
  }
  int trusted = IsRunningAccount(owner);
  for (const wchar_t* sid : kTrustedOwners)
    trusted |= SameText(name, sid);
  if (!trusted)
    Say(why, path, L"is owned by ", name, L", not by SYSTEM, Administrators, TrustedInstaller or this account");
  LocalFree(name);
  return trusted;
}

int SafeFromUsers(PSECURITY_DESCRIPTOR descriptor, Place place, const wchar_t* path, Text* why) {
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || !TrustedOwner(owner, path, why))
    return 0;
  BOOL present = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) {
    Say(why, path, L"has permissions that could not be read", L"", L"");
    return 0;
  }
  if (!present || !dacl) {
    Say(why, path, L"has no permissions at all: Everyone may change it", L"", L"");
    return 0;
  }
  for (DWORD index = 0; index < dacl->AceCount; ++index) {
    ACCESS_ALLOWED_ACE* ace;
    // A conditional (callback) entry may grant as much as a plain one.
    if (!GetAce(dacl, index, reinterpret_cast<void**>(&ace)) ||
        (ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE && ace->Header.AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) ||
        (ace->Header.AceFlags & INHERIT_ONLY_ACE))
      continue;
    const wchar_t* group = UsersGroup(&ace->SidStart);
    if (!group)
      continue;
    // Generic rights as the file system maps them: GENERIC_WRITE lets one
    // write and append (create files and folders in a folder), GENERIC_ALL
    // everything.
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    ACCESS_MASK mask = ace->Mask;
    MapGenericMask(&mask, &mapping);
    for (const Right& right : kRights) {
      if ((mask & right.mask) && (place == Place::kItem || right.above)) {
        Say(why, path, L"lets ", group, L" ");
        Append(why, right.what);
        return 0;
      }
    }
  }
  return 1;
}

int SafeSource(const wchar_t* folder, int count, const wchar_t* const* files, Text* why) {
  Text path;
  for (int i = 0; i < count; ++i) {
    Clear(&path);
    Append(&path, folder);
    Append(&path, L"\\");
    Append(&path, files[i]);
    if (!SafePath(path.data, Place::kItem, why))
      return 0;
  }
  Clear(&path);
  Append(&path, folder);
  if (!SafePath(path.data, Place::kItem, why))
    return 0;
  const DWORD root = RootLength(path.data);
  while (path.length > root) {
    DWORD cut = path.length;
    while (cut > 0 && path.data[cut - 1] != L'\\')
      --cut;
    // The root keeps its backslash: "C:" alone is the current directory on C:.
    path.length = cut > root ? cut - 1 : root;
    path.data[path.length] = L'\0';
    if (!SafePath(path.data, Place::kAbove, why))
      return 0;
  }
  return 1;
}
