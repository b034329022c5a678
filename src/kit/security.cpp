#include "security.h"

#include <aclapi.h>
#include <ntsecapi.h>
#include <sddl.h>

namespace {

// Accounts of the NT authority (S-1-5-...) trusted on every machine, by
// their relative IDs.
struct Account {
  BYTE count;
  DWORD rids[6];
};

constexpr Account kTrusted[] = {
    {1, {SECURITY_LOCAL_SYSTEM_RID}},
    {2, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS}},
    {6, {SECURITY_SERVICE_ID_BASE_RID, 956008885, 3418522649, 1831038044, 1853292631, 2271478464}},  // TrustedInstaller
};

struct Right {
  ACCESS_MASK mask;
  const wchar_t* what;
  int above;  // also refused on a folder above the package
};

constexpr Right kFileRights[] = {
    {WRITE_OWNER, L"take ownership", 1},
    {WRITE_DAC, L"change permissions", 1},
    {DELETE, L"delete", 1},
    {FILE_DELETE_CHILD, L"delete what it holds", 1},
    {FILE_WRITE_DATA, L"write (in a folder: create files)", 0},
    {FILE_APPEND_DATA, L"append (in a folder: create folders)", 0},
    // Either lets one set a reparse point on a file, which would lead its
    // later opening by path elsewhere.
    {FILE_WRITE_ATTRIBUTES, L"change attributes", 0},
    {FILE_WRITE_EA, L"change extended attributes", 0},
};

constexpr Right kKeyRights[] = {
    {WRITE_OWNER, L"take ownership", 1},
    {WRITE_DAC, L"change permissions", 1},
    {DELETE, L"delete", 1},
    {KEY_SET_VALUE, L"set values", 1},
    {KEY_CREATE_SUB_KEY, L"create subkeys", 1},
    {KEY_CREATE_LINK, L"create links", 1},
};

// What a place is judged by: its rights, and how its generic rights map.
struct Kind {
  const Right* rights;
  int count;
  GENERIC_MAPPING mapping;
};

Kind KindOf(Place place) {
  if (place == Place::kKey)
    return {kKeyRights, sizeof kKeyRights / sizeof kKeyRights[0], {KEY_READ, KEY_WRITE, KEY_EXECUTE, KEY_ALL_ACCESS}};
  // GENERIC_WRITE lets one write and append (create files and folders in a
  // folder), GENERIC_ALL everything.
  return {kFileRights, sizeof kFileRights / sizeof kFileRights[0],
          {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS}};
}

int NtAuthority(PSID sid) {
  const SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  const SID_IDENTIFIER_AUTHORITY& authority = *GetSidIdentifierAuthority(sid);
  for (int i = 0; i < 6; ++i) {
    if (authority.Value[i] != nt.Value[i])
      return 0;
  }
  return 1;
}

int Is(PSID sid, const Account& account) {
  if (*GetSidSubAuthorityCount(sid) != account.count)
    return 0;
  for (BYTE i = 0; i < account.count; ++i) {
    if (*GetSidSubAuthority(sid, i) != account.rids[i])
      return 0;
  }
  return 1;
}

int DomainGroup(PSID sid, const Domains& domains) {
  return (domains.hasAdmins && EqualSid(sid, const_cast<BYTE*>(domains.admins))) ||
         (domains.hasEnterprise && EqualSid(sid, const_cast<BYTE*>(domains.enterprise)));
}

int SameName(const LSA_UNICODE_STRING& a, const LSA_UNICODE_STRING& b) {
  return a.Buffer && b.Buffer &&
         CompareStringOrdinal(a.Buffer, a.Length / sizeof(wchar_t), b.Buffer, b.Length / sizeof(wchar_t), TRUE) ==
             CSTR_EQUAL;
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

// DOMAIN\name where Windows can name the account, else its S-1-... string.
void AppendAccount(Text* text, PSID sid) {
  wchar_t name[256];
  wchar_t domain[256];
  DWORD nameLength = 256;
  DWORD domainLength = 256;
  SID_NAME_USE use;
  if (LookupAccountSidW(nullptr, sid, name, &nameLength, domain, &domainLength, &use)) {
    if (domain[0]) {
      Append(text, domain);
      Append(text, L"\\");
    }
    Append(text, name);
    return;
  }
  wchar_t* string = nullptr;
  if (!ConvertSidToStringSidW(sid, &string)) {
    Append(text, L"an account that could not be read");
    return;
  }
  Append(text, string);
  LocalFree(string);
}

void Say(Text* why, const wchar_t* path, const wchar_t* what) {
  Append(why, L"\"");
  Append(why, path);
  Append(why, L"\" ");
  Append(why, what);
}

void Failed(Text* why, const wchar_t* path, DWORD error) {
  Say(why, path, L"could not be checked");
  AppendErrorNote(why, error);
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

constexpr wchar_t kLink[] =
    L"is a link (a junction, a symbolic link or a mount point): the package is judged as it is, never where a link "
    L"leads, and is not read through one";

// Reparse points that keep a file's own data elsewhere on its volume (a file
// Windows compressed, as CompactOS does, or deduplicated) lead nowhere else.
// Every other kind is refused: a junction, a symbolic link, a mount point,
// and any this check does not know.
int IsLink(DWORD attributes, DWORD tag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) && tag != static_cast<DWORD>(IO_REPARSE_TAG_WOF) &&
         tag != static_cast<DWORD>(IO_REPARSE_TAG_DEDUP);
}

// Refuses a link at path by the attributes read through its own path: under
// Wine a handle follows a Unix symbolic link even when asked not to.
int NotLinkByPath(const wchar_t* path, Text* why) {
  const DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    Failed(why, path, GetLastError());
    return 0;
  }
  // Its tag is read where it is listed.
  DWORD tag = 0;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(path, &found);
    if (find != INVALID_HANDLE_VALUE) {
      tag = found.dwReserved0;
      FindClose(find);
    }
  }
  if (IsLink(attributes, tag)) {
    Say(why, path, kLink);
    return 0;
  }
  return 1;
}

// Every element of path, from its root: the path as started may lead through
// a link that the final path no longer shows.
int NoLinkOnPath(const wchar_t* path, Text* why) {
  Text element;
  Clear(&element);
  Append(&element, path);
  const DWORD root = RootLength(element.data);
  for (DWORD end = root; end <= element.length; ++end) {
    if (end != root && end != element.length && element.data[end] != L'\\')
      continue;
    const wchar_t kept = element.data[end];
    element.data[end] = L'\0';
    const int safe = NotLinkByPath(element.data, why);
    element.data[end] = kept;
    if (!safe)
      return 0;
  }
  return 1;
}

// Opens path itself, never what it links to, and refuses a link. *missing:
// it is not there (then no why).
// GetLastError() is CreateFileW's own after a failure to open.
HANDLE OpenElement(const wchar_t* path, DWORD access, DWORD share, int* missing, Text* why) {
  *missing = 0;
  SetLastError(ERROR_SUCCESS);
  HANDLE handle = CreateFileW(path, access, share, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    *missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    if (error == ERROR_SHARING_VIOLATION)
      Say(why, path, L"is held open by another program (a sharing violation): close it, or restart Windows, and "
                     L"try again");
    else if (!*missing)
      Failed(why, path, error);
    SetLastError(error);
    return handle;
  }
  FILE_ATTRIBUTE_TAG_INFO information;
  if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &information, sizeof information)) {
    Failed(why, path, GetLastError());
  } else if (IsLink(information.FileAttributes, information.ReparseTag)) {
    Say(why, path, kLink);
  } else if (NotLinkByPath(path, why)) {
    return handle;
  }
  CloseHandle(handle);
  return INVALID_HANDLE_VALUE;
}

int SafeHandle(HANDLE handle, Place place, const Domains& domains, const wchar_t* path, Text* why) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error = GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                      nullptr, nullptr, nullptr, nullptr, &descriptor);
  if (error != ERROR_SUCCESS) {
    Failed(why, path, error);
    return 0;
  }
  const int safe = SafeFromUsers(descriptor, place, domains, path, why);
  LocalFree(descriptor);
  return safe;
}

// Every folder above folder, up to its drive's or share's root.
int SafeAbove(const Text& folder, const Domains& domains, Text* why) {
  Text path = folder;
  const DWORD root = RootLength(path.data);
  while (path.length > root) {
    DWORD cut = path.length;
    while (cut > 0 && path.data[cut - 1] != L'\\')
      --cut;
    // The root keeps its backslash: "C:" alone is the current directory on C:.
    path.length = cut > root ? cut - 1 : root;
    path.data[path.length] = L'\0';
    int missing;
    HANDLE handle = OpenElement(path.data, READ_CONTROL | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &missing, why);
    if (handle == INVALID_HANDLE_VALUE) {
      if (missing)
        Failed(why, path.data, ERROR_PATH_NOT_FOUND);
      return 0;
    }
    const int safe = SafeHandle(handle, Place::kAbove, domains, path.data, why);
    CloseHandle(handle);
    if (!safe)
      return 0;
  }
  return 1;
}

}  // namespace

void ReadDomains(Domains* domains) {
  domains->hasAdmins = domains->hasEnterprise = 0;
  LSA_OBJECT_ATTRIBUTES attributes = {};
  LSA_HANDLE policy;
  if (LsaOpenPolicy(nullptr, &attributes, POLICY_VIEW_LOCAL_INFORMATION, &policy) != 0)
    return;
  POLICY_DNS_DOMAIN_INFO* information = nullptr;
  if (LsaQueryInformationPolicy(policy, PolicyDnsDomainInformation, reinterpret_cast<void**>(&information)) == 0 &&
      information) {
    if (information->Sid) {
      DWORD size = sizeof domains->admins;
      domains->hasAdmins =
          CreateWellKnownSid(WinAccountDomainAdminsSid, information->Sid, domains->admins, &size);
      // Another domain's root would have to be looked up by name, over the
      // network, at boot: its Enterprise Admins are refused instead.
      size = sizeof domains->enterprise;
      domains->hasEnterprise =
          SameName(information->DnsDomainName, information->DnsForestName) &&
          CreateWellKnownSid(WinAccountEnterpriseAdminsSid, information->Sid, domains->enterprise, &size);
    }
    LsaFreeMemory(information);
  }
  LsaClose(policy);
}

int TrustedAccount(PSID sid, const Domains& domains) {
  if (!IsValidSid(sid))
    return 0;
  if (NtAuthority(sid)) {
    for (const Account& account : kTrusted) {
      if (Is(sid, account))
        return 1;
    }
    if (DomainGroup(sid, domains))
      return 1;
  }
  return IsRunningAccount(sid);
}

int TrustedOwner(PSID owner, const Domains& domains, const wchar_t* path, Text* why) {
  if (!owner || !IsValidSid(owner)) {
    Say(why, path, L"has an owner that could not be read");
    return 0;
  }
  if (TrustedAccount(owner, domains))
    return 1;
  Say(why, path, L"is owned by ");
  AppendAccount(why, owner);
  Append(why, L", not by SYSTEM, Administrators, TrustedInstaller, this machine's domain's Domain Admins or its "
              L"forest's Enterprise Admins, or this account");
  return 0;
}

int SafeFromUsers(PSECURITY_DESCRIPTOR descriptor, Place place, const Domains& domains, const wchar_t* path,
                  Text* why) {
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || !TrustedOwner(owner, domains, path, why))
    return 0;
  BOOL present = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) {
    Say(why, path, L"has permissions that could not be read");
    return 0;
  }
  if (!present || !dacl) {
    Say(why, path, L"has no permissions at all: Everyone may change it");
    return 0;
  }
  for (DWORD index = 0; index < dacl->AceCount; ++index) {
    ACE_HEADER* header;
    if (!GetAce(dacl, index, reinterpret_cast<void**>(&header))) {
      Say(why, path, L"has permissions that could not be read");
      return 0;
    }
    // An inherit-only entry (CREATOR OWNER's, say) gives nothing on this
    // object: what it passes on to is checked itself.
    if (header->AceFlags & INHERIT_ONLY_ACE)
      continue;
    switch (header->AceType) {
      case ACCESS_DENIED_ACE_TYPE:
      case ACCESS_DENIED_CALLBACK_ACE_TYPE:
      case ACCESS_DENIED_OBJECT_ACE_TYPE:
      case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
        continue;  // only ever takes rights away
      case ACCESS_ALLOWED_ACE_TYPE:
      case ACCESS_ALLOWED_CALLBACK_ACE_TYPE:  // a condition may hold: it grants as much
        break;
      default:
        // Allow, never deny: an entry this check cannot read may grant anything.
        Say(why, path, L"has a permission entry of a type this check does not read (");
        AppendNumber(why, header->AceType);
        Append(why, L")");
        return 0;
    }
    const ACCESS_ALLOWED_ACE* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
    PSID sid = const_cast<DWORD*>(&ace->SidStart);
    Kind kind = KindOf(place);
    ACCESS_MASK mask = ace->Mask;
    MapGenericMask(&mask, &kind.mapping);
    for (int i = 0; i < kind.count; ++i) {
      const Right& right = kind.rights[i];
      if (!(mask & right.mask) || (place == Place::kAbove && !right.above))
        continue;
      if (TrustedAccount(sid, domains))
        break;
      Say(why, path, L"lets ");
      AppendAccount(why, sid);
      Append(why, L" ");
      Append(why, right.what);
      return 0;
    }
  }
  return 1;
}

void PlainPath(const wchar_t* final, Text* path) {
  Clear(path);
  if (StartsWith(final, L"\\\\?\\UNC\\")) {
    Append(path, L"\\\\");
    Append(path, final + 8);
  } else {
    Append(path, StartsWith(final, L"\\\\?\\") ? final + 4 : final);
  }
}

int OpenPackage(const wchar_t* started, const wchar_t* const* names, int count, Package* package, Text* why) {
  package->handle = INVALID_HANDLE_VALUE;
  package->count = 0;
  package->held = 0;
  Domains domains;
  ReadDomains(&domains);
  package->names = names;
  Clear(&package->folder);
  Text path;
  PlainPath(started, &path);
  if (count > kPackageFiles || !NoLinkOnPath(path.data, why))
    return 0;
  int missing;
  package->handle = OpenElement(path.data, FILE_LIST_DIRECTORY | READ_CONTROL | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE,
                                &missing, why);
  if (package->handle == INVALID_HANDLE_VALUE) {
    package->held = GetLastError() == ERROR_SHARING_VIOLATION;
    if (missing)
      Failed(why, path.data, ERROR_PATH_NOT_FOUND);
    return 0;
  }
  // A drive made by subst, or one mapped to a share, is judged where it leads.
  wchar_t final[kTextCapacity];
  const DWORD length = GetFinalPathNameByHandleW(package->handle, final, kTextCapacity, FILE_NAME_NORMALIZED);
  // Room for a backslash and the longest name joined to it: a path cut short
  // could name another file.
  constexpr DWORD kNameRoom = 64;
  if (!length || length >= kTextCapacity - kNameRoom) {
    Failed(why, path.data, length ? ERROR_FILENAME_EXCED_RANGE : GetLastError());
    ClosePackage(package);
    return 0;
  }
  PlainPath(final, &package->folder);
  const wchar_t* folder = package->folder.data;
  if (!NoLinkOnPath(folder, why) || !SafeAbove(package->folder, domains, why) ||
      !SafeHandle(package->handle, Place::kItem, domains, folder, why)) {
    ClosePackage(package);
    return 0;
  }
  for (int i = 0; i < count; ++i) {
    path = package->folder;
    Append(&path, L"\\");
    Append(&path, names[i]);
    package->files[i] = OpenElement(path.data, GENERIC_READ, FILE_SHARE_READ, &missing, why);
    package->count = i + 1;
    package->held = package->files[i] == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION;
    if (package->files[i] == INVALID_HANDLE_VALUE ? !missing
                                                  : !SafeHandle(package->files[i], Place::kItem, domains, path.data,
                                                                why)) {
      ClosePackage(package);
      return 0;
    }
  }
  return 1;
}

void ClosePackage(Package* package) {
  for (int i = 0; i < package->count; ++i) {
    if (package->files[i] != INVALID_HANDLE_VALUE)
      CloseHandle(package->files[i]);
  }
  package->count = 0;
  if (package->handle != INVALID_HANDLE_VALUE)
    CloseHandle(package->handle);
  package->handle = INVALID_HANDLE_VALUE;
}

HANDLE OpenChecked(const wchar_t* path, DWORD access, DWORD share, Place place, const Domains& domains, int* missing,
                   Text* why) {
  HANDLE handle = OpenElement(path, access, share, missing, why);
  if (handle == INVALID_HANDLE_VALUE || SafeHandle(handle, place, domains, path, why))
    return handle;
  CloseHandle(handle);
  return INVALID_HANDLE_VALUE;
}

int ProtectHandle(HANDLE handle, const wchar_t* sddl, const wchar_t* path, Text* why) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr)) {
    Failed(why, path, GetLastError());
    return 0;
  }
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  BY_HANDLE_FILE_INFORMATION information;
  DWORD error = ERROR_INVALID_SECURITY_DESCR;
  if (!GetFileInformationByHandle(handle, &information)) {
    error = GetLastError();
  } else if (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    // A folder alone: SetSecurityInfo would pass the entries on to what it
    // holds, by their names, to whatever those lead to. The kernel's own
    // call does no inheritance work, which Microsoft warns of for files;
    // here that is the point, and what the folder passes on to files made
    // in it later comes from the entries it stores.
    error = SetKernelObjectSecurity(handle, DACL_SECURITY_INFORMATION, descriptor) ? ERROR_SUCCESS : GetLastError();
  } else if (GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) {
    error = SetSecurityInfo(handle, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, dacl, nullptr);
  }
  LocalFree(descriptor);
  if (error == ERROR_SUCCESS)
    return 1;
  Say(why, path, L"could not be given its permissions");
  AppendErrorNote(why, error);
  return 0;
}
