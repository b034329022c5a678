#include "record.h"

#include "security.h"

#include <aclapi.h>
#include <sddl.h>

namespace {

constexpr wchar_t kKeyName[] = L"HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane";
// Users read it, for /status; only SYSTEM and Administrators change it.
constexpr wchar_t kKeySecurity[] = L"O:BAD:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)";

constexpr struct {
  const wchar_t* name;
  int KitRequest::*flag;
} kChoice[] = {
    {L"Enable", &KitRequest::enable},
    {L"Restart", &KitRequest::restart},
    {L"RemoveStale", &KitRequest::removeStale},
};

void Failed(const wchar_t* what, LSTATUS error, Text* why) {
  Append(why, what);
  Append(why, L" ");
  Append(why, kKeyName);
  AppendErrorNote(why, static_cast<DWORD>(error));
}

// The key's owner and permissions let no one but the trusted accounts change it.
int Trusted(HKEY key, Text* why) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error = GetSecurityInfo(key, SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                      nullptr, nullptr, nullptr, nullptr, &descriptor);
  if (error != ERROR_SUCCESS) {
    Failed(L"could not read the permissions of", static_cast<LSTATUS>(error), why);
    return 0;
  }
  Domains domains;
  ReadDomains(&domains);
  const int safe = SafeFromUsers(descriptor, Place::kKey, domains, kKeyName, why);
  LocalFree(descriptor);
  return safe;
}

HKEY OpenTrusted(REGSAM access, Text* why) {
  HKEY key;
  const LSTATUS result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, access, &key);
  if (result != ERROR_SUCCESS) {
    Failed(result == ERROR_FILE_NOT_FOUND ? L"there is no" : L"could not open", result, why);
    return nullptr;
  }
  if (Trusted(key, why))
    return key;
  RegCloseKey(key);
  return nullptr;
}

// Opens the key to change it, creating it with its permissions; with
// protect, gives it them again whatever it had.
HKEY OpenToWrite(int protect, Text* why) {
  SECURITY_ATTRIBUTES security = {sizeof security, nullptr, FALSE};
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kKeySecurity, SDDL_REVISION_1,
                                                            &security.lpSecurityDescriptor, nullptr)) {
    Failed(L"could not make the permissions of", static_cast<LSTATUS>(GetLastError()), why);
    return nullptr;
  }
  HKEY key = nullptr;
  LSTATUS result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   KEY_READ | KEY_WRITE | WRITE_DAC | WRITE_OWNER, &security, &key, nullptr);
  PSID owner = nullptr;
  PACL dacl = nullptr;
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  if (result == ERROR_SUCCESS && protect)
    result = GetSecurityDescriptorOwner(security.lpSecurityDescriptor, &owner, &defaulted) &&
                     GetSecurityDescriptorDacl(security.lpSecurityDescriptor, &present, &dacl, &defaulted)
                 ? static_cast<LSTATUS>(SetSecurityInfo(key, SE_REGISTRY_KEY,
                                                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                                            PROTECTED_DACL_SECURITY_INFORMATION,
                                                        owner, nullptr, dacl, nullptr))
                 : ERROR_INVALID_SECURITY_DESCR;
  LocalFree(security.lpSecurityDescriptor);
  if (result != ERROR_SUCCESS) {
    Failed(L"could not create", result, why);
    if (key)
      RegCloseKey(key);
    return nullptr;
  }
  if (Trusted(key, why))
    return key;
  RegCloseKey(key);
  return nullptr;
}

int ReadDword(HKEY key, const wchar_t* name, DWORD* data) {
  DWORD size = sizeof *data;
  return RegGetValueW(key, nullptr, name, RRF_RT_REG_DWORD, nullptr, data, &size) == ERROR_SUCCESS;
}

LSTATUS WriteDword(HKEY key, const wchar_t* name, DWORD data) {
  return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data);
}

}  // namespace

int ReadDeployed(KitRequest* request, Text* why) {
  *request = {};
  HKEY key = OpenTrusted(KEY_QUERY_VALUE | READ_CONTROL, why);
  if (!key)
    return 0;
  int read = 1;
  for (const auto& choice : kChoice) {
    DWORD data = 2;
    read &= ReadDword(key, choice.name, &data) && data <= 1;
    request->*(choice.flag) = static_cast<int>(data == 1);
  }
  RegCloseKey(key);
  if (!read)
    Append(why, L"no deployed choice is recorded in HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvane (install.cmd records it)");
  return read;
}

int WriteDeployed(const KitRequest& request, Text* why) {
  HKEY key = OpenToWrite(1, why);
  if (!key)
    return 0;
  LSTATUS result = ERROR_SUCCESS;
  for (const auto& choice : kChoice) {
    if (result == ERROR_SUCCESS)
      result = WriteDword(key, choice.name, static_cast<DWORD>(request.*(choice.flag)));
  }
  RegCloseKey(key);
  if (result != ERROR_SUCCESS)
    Failed(L"could not record the choice in", result, why);
  return result == ERROR_SUCCESS;
}

int ForgetDeployed() {
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRecordKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
    return 1;
  int forgotten = 1;
  for (const auto& choice : kChoice) {
    const LSTATUS result = RegDeleteValueW(key, choice.name);
    forgotten &= result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
  }
  RegCloseKey(key);
  return forgotten;
}

void ReadRecord(Record* record) {
  record->kept = record->pending = record->deferred = 0;
  record->value = 0;
  Clear(&record->instance);
  Text why;
  Clear(&why);
  HKEY key = OpenTrusted(KEY_READ, &why);
  if (!key)
    return;
  DWORD size = sizeof record->instance.data - sizeof(wchar_t);
  if (RegGetValueW(key, nullptr, L"Instance", RRF_RT_REG_SZ, nullptr, record->instance.data, &size) == ERROR_SUCCESS) {
    record->instance.length = size / sizeof(wchar_t) - 1;
    record->kept = ReadDword(key, L"Value", &record->value);
  } else {
    Clear(&record->instance);
  }
  HKEY pending;
  if (RegOpenKeyExW(key, L"Pending", 0, KEY_QUERY_VALUE, &pending) == ERROR_SUCCESS) {
    DWORD deferred = 0;
    record->pending = 1;
    record->deferred = ReadDword(pending, L"Deferred", &deferred) && deferred <= kRestartFailed
                           ? static_cast<int>(deferred)
                           : 0;
    RegCloseKey(pending);
  }
  RegCloseKey(key);
}

int WriteRecord(const Record& record, Text* why) {
  HKEY key = OpenToWrite(0, why);
  if (!key)
    return 0;
  LSTATUS result = RegSetValueExW(key, L"Instance", 0, REG_SZ, reinterpret_cast<const BYTE*>(record.instance.data),
                                  (record.instance.length + 1) * sizeof(wchar_t));
  if (result == ERROR_SUCCESS)
    result = WriteDword(key, L"Value", record.value);
  // Made anew each time: the volatile option is ignored for a key that
  // exists, and one that is not volatile would never end.
  if (result == ERROR_SUCCESS) {
    result = RegDeleteKeyW(key, L"Pending");
    if (result == ERROR_FILE_NOT_FOUND)
      result = ERROR_SUCCESS;
  }
  if (result == ERROR_SUCCESS && record.pending) {
    // Volatile: gone when Windows next starts in full, as the panel starts
    // then; a Fast Startup resumes the session, and keeps it.
    HKEY pending;
    DWORD made = 0;
    result = RegCreateKeyExW(key, L"Pending", 0, nullptr, REG_OPTION_VOLATILE, KEY_SET_VALUE, nullptr, &pending,
                             &made);
    if (result == ERROR_SUCCESS) {
      result = made == REG_CREATED_NEW_KEY ? WriteDword(pending, L"Deferred", static_cast<DWORD>(record.deferred))
                                           : ERROR_ALREADY_EXISTS;
      RegCloseKey(pending);
    }
  }
  RegCloseKey(key);
  if (result != ERROR_SUCCESS)
    Failed(L"could not write to", result, why);
  return result == ERROR_SUCCESS;
}

int RemoveRecord() {
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kRecordKey);
  const LSTATUS removed = RegDeleteKeyW(HKEY_LOCAL_MACHINE, kRecordKey);
  return removed == ERROR_SUCCESS || removed == ERROR_FILE_NOT_FOUND;
}
