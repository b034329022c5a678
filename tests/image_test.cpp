// The executable image: headers, imports, sections and its two resources,
// read from the file the way the loader and file-properties tools read it,
// and a copy moved to another base by its own relocation table, run.
#include "support.h"

#include <imagehlp.h>
#include <stddef.h>

#include <algorithm>
#include <iterator>
#include <sstream>

namespace {

std::vector<BYTE> ReadImage(const wchar_t* name) {
  HANDLE file = CreateFileW(ProgramPath(name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return {};
  std::vector<BYTE> image(GetFileSize(file, nullptr));
  DWORD read = 0;
  if (!ReadFile(file, image.data(), static_cast<DWORD>(image.size()), &read, nullptr) || read != image.size())
    image.clear();
  CloseHandle(file);
  return image;
}

bool WriteImage(const std::wstring& path, const std::vector<BYTE>& image) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return false;
  DWORD written = 0;
  const bool complete = WriteFile(file, image.data(), static_cast<DWORD>(image.size()), &written, nullptr);
  return CloseHandle(file) && complete && written == image.size();
}

class ImageTest : public testing::Test {
 protected:
  void SetUp() override {
    image_ = ReadImage(name_);
    ASSERT_GT(image_.size(), sizeof(IMAGE_DOS_HEADER));
    const auto* dos = At<IMAGE_DOS_HEADER>(0);
    ASSERT_EQ(dos->e_magic, IMAGE_DOS_SIGNATURE);
    nt_ = At<IMAGE_NT_HEADERS64>(static_cast<DWORD>(dos->e_lfanew));
    ASSERT_EQ(nt_->Signature, IMAGE_NT_SIGNATURE);
    sections_ = IMAGE_FIRST_SECTION(nt_);
  }

  template <typename T>
  const T* At(DWORD offset) const {
    return reinterpret_cast<const T*>(image_.data() + offset);
  }
  const IMAGE_SECTION_HEADER* SectionHolding(DWORD rva) const {
    for (WORD i = 0; i < nt_->FileHeader.NumberOfSections; ++i) {
      const auto& s = sections_[i];
      if (rva >= s.VirtualAddress && rva < s.VirtualAddress + s.Misc.VirtualSize)
        return &s;
    }
    return nullptr;
  }
  DWORD FileOffset(DWORD rva) const {
    if (const auto* s = SectionHolding(rva))
      return rva - s->VirtualAddress + s->PointerToRawData;
    ADD_FAILURE() << "no section holds address " << rva;
    return 0;
  }
  const IMAGE_DATA_DIRECTORY& Directory(int index) const { return nt_->OptionalHeader.DataDirectory[index]; }

  // File offsets of the 64-bit addresses the base relocation table names;
  // empty, with a failure, if it holds an entry of another kind.
  std::vector<DWORD> AbsoluteAddresses() const {
    std::vector<DWORD> offsets;
    const auto& table = Directory(IMAGE_DIRECTORY_ENTRY_BASERELOC);
    const DWORD start = FileOffset(table.VirtualAddress);
    for (DWORD at = start; at < start + table.Size;) {
      const auto* block = At<IMAGE_BASE_RELOCATION>(at);
      const auto* entry = At<WORD>(at + sizeof *block);
      at += std::max<DWORD>(block->SizeOfBlock, sizeof *block);  // an empty block must not stall the walk
      for (; entry < At<WORD>(at); ++entry) {
        const int type = *entry >> 12;
        const DWORD rva = block->VirtualAddress + (*entry & 0xFFF);
        if (type == IMAGE_REL_BASED_DIR64)
          offsets.push_back(FileOffset(rva));
        else if (type != IMAGE_REL_BASED_ABSOLUTE) {
          ADD_FAILURE() << "relocation of type " << type << " at address " << std::hex << std::showbase << rva
                        << ", expected only DIR64 (10) and padding (0)";
          return {};
        }
      }
    }
    return offsets;
  }

  // The image as the loader would place it at base, with only the addresses
  // at the given offsets moved there.
  std::vector<BYTE> Rebased(const std::vector<DWORD>& offsets, ULONGLONG base) const {
    std::vector<BYTE> copy = image_;
    for (DWORD offset : offsets)
      *reinterpret_cast<ULONGLONG*>(copy.data() + offset) += base - nt_->OptionalHeader.ImageBase;
    reinterpret_cast<IMAGE_NT_HEADERS64*>(copy.data() + At<IMAGE_DOS_HEADER>(0)->e_lfanew)->OptionalHeader.ImageBase = base;
    return copy;
  }

  const wchar_t* name_ = L"quorvane.exe";
  std::vector<BYTE> image_;
  const IMAGE_NT_HEADERS64* nt_ = nullptr;
  const IMAGE_SECTION_HEADER* sections_ = nullptr;
};

// Each image's imports as "DLL!function", sorted. A new import is a
// decision: it is added here, after checking where Windows forwards it.
struct Program {
  const wchar_t* name;
  std::vector<std::string> imports;
};
void PrintTo(const Program& program, std::ostream* out) {
  for (const wchar_t* c = program.name; *c; ++c)
    *out << static_cast<char>(*c);
}

const Program kPrograms[] = {
    {L"quorvane.exe",
     {"ADVAPI32.dll!RegCloseKey", "ADVAPI32.dll!RegCreateKeyExW", "ADVAPI32.dll!RegEnumKeyExW",
      "ADVAPI32.dll!RegOpenKeyExW", "ADVAPI32.dll!RegSetKeyValueW", "KERNEL32.dll!CloseHandle",
      "KERNEL32.dll!CreateMutexW", "KERNEL32.dll!ExitProcess", "KERNEL32.dll!GetCommandLineW",
      "KERNEL32.dll!GetCurrentProcess", "KERNEL32.dll!GetCurrentProcessId", "KERNEL32.dll!GetCurrentThreadId",
      "KERNEL32.dll!GetLastError", "KERNEL32.dll!GetProcessHeap", "KERNEL32.dll!GetSystemTimeAsFileTime",
      "KERNEL32.dll!GetTickCount64", "KERNEL32.dll!HeapAlloc", "KERNEL32.dll!IsProcessorFeaturePresent",
      "KERNEL32.dll!QueryPerformanceCounter", "KERNEL32.dll!TerminateProcess"}},
    {L"quorvane-kit.exe",
     {"ADVAPI32.dll!CheckTokenMembership", "ADVAPI32.dll!ConvertSidToStringSidW",
      "ADVAPI32.dll!ConvertStringSecurityDescriptorToSecurityDescriptorW", "ADVAPI32.dll!CreateWellKnownSid",
      "ADVAPI32.dll!DeregisterEventSource", "ADVAPI32.dll!EqualSid", "ADVAPI32.dll!GetAce",
      "ADVAPI32.dll!GetSecurityDescriptorDacl", "ADVAPI32.dll!GetSecurityDescriptorOwner",
      "ADVAPI32.dll!GetSecurityInfo", "ADVAPI32.dll!GetSidIdentifierAuthority", "ADVAPI32.dll!GetSidSubAuthority",
      "ADVAPI32.dll!GetSidSubAuthorityCount", "ADVAPI32.dll!GetTokenInformation", "ADVAPI32.dll!IsValidSid",
      "ADVAPI32.dll!LookupAccountSidW", "ADVAPI32.dll!LsaClose", "ADVAPI32.dll!LsaFreeMemory",
      "ADVAPI32.dll!LsaOpenPolicy", "ADVAPI32.dll!LsaQueryInformationPolicy", "ADVAPI32.dll!MapGenericMask",
      "ADVAPI32.dll!OpenProcessToken", "ADVAPI32.dll!RegCloseKey", "ADVAPI32.dll!RegCreateKeyExW",
      "ADVAPI32.dll!RegDeleteKeyValueW", "ADVAPI32.dll!RegDeleteKeyW", "ADVAPI32.dll!RegDeleteTreeW",
      "ADVAPI32.dll!RegDeleteValueW", "ADVAPI32.dll!RegEnumKeyExW", "ADVAPI32.dll!RegGetValueW",
      "ADVAPI32.dll!RegOpenKeyExW", "ADVAPI32.dll!RegQueryValueExW", "ADVAPI32.dll!RegSetKeyValueW",
      "ADVAPI32.dll!RegSetValueExW", "ADVAPI32.dll!RegisterEventSourceW", "ADVAPI32.dll!ReportEventW",
      "ADVAPI32.dll!SetKernelObjectSecurity", "ADVAPI32.dll!SetSecurityInfo", "KERNEL32.dll!CloseHandle",
      "KERNEL32.dll!CompareStringOrdinal", "KERNEL32.dll!CreateDirectoryW", "KERNEL32.dll!CreateFileW",
      "KERNEL32.dll!CreateHardLinkW", "KERNEL32.dll!CreateMutexW", "KERNEL32.dll!CreateProcessW",
      "KERNEL32.dll!DeleteFileW", "KERNEL32.dll!ExitProcess", "KERNEL32.dll!FindClose",
      "KERNEL32.dll!FindFirstFileW", "KERNEL32.dll!FlushFileBuffers", "KERNEL32.dll!FreeLibrary",
      "KERNEL32.dll!GetCommandLineW", "KERNEL32.dll!GetCurrentProcess", "KERNEL32.dll!GetCurrentProcessId",
      "KERNEL32.dll!GetCurrentThreadId", "KERNEL32.dll!GetExitCodeProcess", "KERNEL32.dll!GetFileAttributesW",
      "KERNEL32.dll!GetFileInformationByHandle", "KERNEL32.dll!GetFileInformationByHandleEx",
      "KERNEL32.dll!GetFinalPathNameByHandleW", "KERNEL32.dll!GetLastError", "KERNEL32.dll!GetModuleFileNameW",
      "KERNEL32.dll!GetModuleHandleW", "KERNEL32.dll!GetProcAddress", "KERNEL32.dll!GetProcessHeap",
      "KERNEL32.dll!GetStdHandle", "KERNEL32.dll!GetSystemDirectoryW", "KERNEL32.dll!GetSystemTime",
      "KERNEL32.dll!GetSystemTimeAsFileTime", "KERNEL32.dll!GetSystemWindowsDirectoryW", "KERNEL32.dll!GetTickCount",
      "KERNEL32.dll!GetTickCount64", "KERNEL32.dll!HeapAlloc", "KERNEL32.dll!IsProcessorFeaturePresent",
      "KERNEL32.dll!LoadLibraryExW", "KERNEL32.dll!LocalFree", "KERNEL32.dll!MoveFileExW", "KERNEL32.dll!OpenMutexW",
      "KERNEL32.dll!QueryPerformanceCounter", "KERNEL32.dll!ReadFile", "KERNEL32.dll!RemoveDirectoryW",
      "KERNEL32.dll!SetFileInformationByHandle", "KERNEL32.dll!SetFilePointerEx", "KERNEL32.dll!SetLastError",
      "KERNEL32.dll!Sleep", "KERNEL32.dll!TerminateProcess", "KERNEL32.dll!WaitForSingleObject",
      "KERNEL32.dll!WideCharToMultiByte", "KERNEL32.dll!WriteFile"}},
};

// Functions Windows 7 to 11 forward to cryptbase.dll, which is not a KnownDLL:
// the loader would look for it beside the image before any of our code runs.
const char* const kForwardedBesideTheImage[] = {"SystemFunction036", "SystemFunction040", "SystemFunction041"};

// What holds for the program and for the kit's companion alike.
class EveryImage : public ImageTest, public testing::WithParamInterface<Program> {
 protected:
  void SetUp() override {
    name_ = GetParam().name;
    ImageTest::SetUp();
  }

  // "DLL!function" ("DLL!#n" by ordinal) for each import, sorted.
  std::vector<std::string> Imports() const {
    std::vector<std::string> imports;
    const DWORD start = FileOffset(Directory(IMAGE_DIRECTORY_ENTRY_IMPORT).VirtualAddress);
    for (auto* library = At<IMAGE_IMPORT_DESCRIPTOR>(start); library->Name; ++library) {
      const std::string dll = At<char>(FileOffset(library->Name));
      const DWORD names = library->OriginalFirstThunk ? library->OriginalFirstThunk : library->FirstThunk;
      for (auto* thunk = At<IMAGE_THUNK_DATA64>(FileOffset(names)); thunk->u1.AddressOfData; ++thunk) {
        if (IMAGE_SNAP_BY_ORDINAL64(thunk->u1.Ordinal))
          imports.push_back(dll + "!#" + std::to_string(IMAGE_ORDINAL64(thunk->u1.Ordinal)));
        else
          imports.push_back(dll + "!" + At<IMAGE_IMPORT_BY_NAME>(FileOffset(static_cast<DWORD>(thunk->u1.AddressOfData)))->Name);
      }
    }
    std::sort(imports.begin(), imports.end());
    return imports;
  }
};
INSTANTIATE_TEST_SUITE_P(Programs, EveryImage, testing::ValuesIn(kPrograms));

std::string Join(const std::vector<std::string>& names) {
  std::string text;
  for (const auto& name : names)
    text += "\n    " + name;
  return text;
}

TEST_P(EveryImage, Headers) {
  const auto& file = nt_->FileHeader;
  const auto& optional = nt_->OptionalHeader;
  EXPECT_EQ(file.Machine, IMAGE_FILE_MACHINE_AMD64);
  EXPECT_EQ(file.TimeDateStamp, 0u) << "a time stamp makes builds differ";
  EXPECT_TRUE(file.Characteristics & IMAGE_FILE_EXECUTABLE_IMAGE);
  EXPECT_TRUE(file.Characteristics & IMAGE_FILE_LARGE_ADDRESS_AWARE);
  EXPECT_FALSE(file.Characteristics & IMAGE_FILE_RELOCS_STRIPPED);
  EXPECT_EQ(optional.Magic, IMAGE_NT_OPTIONAL_HDR64_MAGIC);
  EXPECT_EQ(optional.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_CUI);
  EXPECT_EQ(optional.MajorOperatingSystemVersion, 6);
  EXPECT_EQ(optional.MinorOperatingSystemVersion, 0);
  EXPECT_EQ(optional.MajorSubsystemVersion, 6);
  EXPECT_EQ(optional.MinorSubsystemVersion, 0);
  const WORD required = IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA | IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE |
                        IMAGE_DLLCHARACTERISTICS_NX_COMPAT | IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE;
  EXPECT_EQ(optional.DllCharacteristics & required, required) << std::hex << optional.DllCharacteristics;
  EXPECT_GT(Directory(IMAGE_DIRECTORY_ENTRY_BASERELOC).Size, 8u) << "a randomised base needs relocations";
  EXPECT_EQ(Directory(IMAGE_DIRECTORY_ENTRY_TLS).Size, 0u) << "no thread callbacks";
  EXPECT_EQ(Directory(IMAGE_DIRECTORY_ENTRY_DEBUG).Size, 0u);
}

TEST_P(EveryImage, NoSectionBothWritableAndExecutable) {
  for (WORD i = 0; i < nt_->FileHeader.NumberOfSections; ++i) {
    const DWORD flags = sections_[i].Characteristics;
    EXPECT_FALSE((flags & IMAGE_SCN_MEM_WRITE) && (flags & IMAGE_SCN_MEM_EXECUTE))
        << "section " << std::string(reinterpret_cast<const char*>(sections_[i].Name), 8).c_str();
  }
}

TEST_P(EveryImage, ImportsExactlyTheListedFunctions) {
  const std::vector<std::string> got = Imports();
  const std::vector<std::string>& expected = GetParam().imports;
  std::vector<std::string> unexpected, missing;
  std::set_difference(got.begin(), got.end(), expected.begin(), expected.end(), std::back_inserter(unexpected));
  std::set_difference(expected.begin(), expected.end(), got.begin(), got.end(), std::back_inserter(missing));
  EXPECT_TRUE(unexpected.empty() && missing.empty())
      << "not listed:" << Join(unexpected) << "\n  listed, not imported:" << Join(missing) << "\n  got:" << Join(got)
      << "\n  expected:" << Join(expected);
  for (const char* forwarded : kForwardedBesideTheImage) {
    for (const auto& import : got)
      EXPECT_NE(import.substr(import.find('!') + 1), forwarded) << import;
  }
  EXPECT_EQ(Directory(IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT).Size, 0u);
}

// From Windows 10 1607 on, the loader resolves the imports and forwarders of
// an image whose DependentLoadFlags is LOAD_LIBRARY_SEARCH_SYSTEM32 from
// System32 alone. Wine ignores the flag: only the bytes can be checked here.
TEST_P(EveryImage, LoadConfigurationAsksForSystem32Only) {
  const auto& entry = Directory(IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG);
  // Through SEHandlerCount: a size every 64-bit loader knows, DependentLoadFlags included.
  ASSERT_EQ(entry.Size, sizeof(IMAGE_LOAD_CONFIG_DIRECTORY64)) << "data directory entry 10";
  const IMAGE_SECTION_HEADER* section = SectionHolding(entry.VirtualAddress);
  ASSERT_NE(section, nullptr) << std::hex << entry.VirtualAddress;
  const std::string name(reinterpret_cast<const char*>(section->Name), strnlen(reinterpret_cast<const char*>(section->Name), 8));
  EXPECT_LE(entry.VirtualAddress + entry.Size,
            section->VirtualAddress + std::min(section->Misc.VirtualSize, section->SizeOfRawData))
      << "runs past the end of " << name;
  EXPECT_EQ(section->Characteristics & (IMAGE_SCN_MEM_READ | IMAGE_SCN_MEM_WRITE | IMAGE_SCN_MEM_EXECUTE),
            static_cast<DWORD>(IMAGE_SCN_MEM_READ))
      << "in " << name << ", not read-only data";
  const auto* config = At<IMAGE_LOAD_CONFIG_DIRECTORY64>(FileOffset(entry.VirtualAddress));
  EXPECT_EQ(config->Size, entry.Size) << "the structure's own size";
  EXPECT_EQ(config->Reserved1, LOAD_LIBRARY_SEARCH_SYSTEM32) << "DependentLoadFlags";
  EXPECT_EQ(config->SecurityCookie, 0u) << "the loader would take the stack guard for MSVC's cookie";
}

// GNU ld writes a checksum, and the build changes the header after it; lld
// writes none.
TEST_P(EveryImage, ChecksumNoneOrRight) {
  DWORD stored = 0, computed = 0;
  ASSERT_EQ(MapFileAndCheckSumW(ProgramPath(name_).c_str(), &stored, &computed), static_cast<DWORD>(CHECKSUM_SUCCESS));
  EXPECT_TRUE(stored == 0 || stored == computed) << std::hex << "stored " << stored << ", computed " << computed;
}

// Event Viewer describes each of the kit's events with its one string, as
// it formats it from the message table of the source's message file.
TEST(EventMessages, DescribeEachEventWithItsLine) {
  HMODULE kit = LoadLibraryExW(ProgramPath(L"quorvane-kit.exe").c_str(), nullptr,
                               LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(kit, nullptr) << GetLastError();
  const std::wstring line = L"switch -enable; status 0; key HKEY_LOCAL_MACHINE\\x; present yes 100%";
  for (DWORD id = 99; id <= 104; ++id) {
    DWORD_PTR strings[] = {reinterpret_cast<DWORD_PTR>(line.c_str())};
    wchar_t text[256] = L"";
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, kit, id,
                                        MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text, 256,
                                        reinterpret_cast<va_list*>(strings));
    EXPECT_EQ(id >= 100 && id <= 103 ? line : L"", std::wstring(text, length)) << "event " << id;
  }
  FreeLibrary(kit);
}

// --- A load at another base ---------------------------------------------------

// Windows loads the image at a random base; Wine loads it at its preferred one
// and so never applies the relocation table. A copy rebased far above 4 GiB
// runs at its new base under Wine, where an address the table misses still
// points at the old base, which is not mapped.
constexpr ULONGLONG kHighBase = 0x7FF700000000;

#define K1_PARAMETERS DEVICE_KEY_1 L"\\0000" DEVICE_PARAMETERS
#define K2_PARAMETERS DEVICE_KEY_2 L"\\0000" DEVICE_PARAMETERS

// Runs that between them reach each device key and the value name.
struct CopyRun {
  const wchar_t* name;
  const wchar_t* commandLine;
  std::vector<std::wstring> keys;
  DWORD status;
  std::wstring written;  // the parameter key that gets the value; empty: none
  DWORD value;
};

const CopyRun kCopyRuns[] = {
    {L"Key1Enable", L"quorvane.exe -enable", {K1_PARAMETERS}, 0, K1_PARAMETERS, 1},
    {L"Key1NoSwitch", L"quorvane.exe", {K1_PARAMETERS}, 0, K1_PARAMETERS, 0},
    {L"Key2Alone", L"quorvane.exe -enable", {K2_PARAMETERS}, 0, K2_PARAMETERS, 1},
    {L"Key1WithoutInstances", L"quorvane.exe -enable", {DEVICE_KEY_1, K2_PARAMETERS}, 1, L"", 0},
};

// The first run program got wrong, described; empty when every run was right.
std::wstring Mismatch(const std::wstring& program) {
  for (const auto& run : kCopyRuns) {
    for (const wchar_t* key : {DEVICE_KEY_1, DEVICE_KEY_2})
      RemoveTree(key);
    for (const auto& key : run.keys)
      CreateKey(key);
    Snapshot expected = TakeSnapshot();
    if (!run.written.empty())
      expected[ValueEntry(run.written)] = Dword(run.value);
    ULONGLONG loadedAt = 0;
    const DWORD status = RunProgramReadingBase(program, run.commandLine, &loadedAt);
    std::wostringstream wrong;
    wrong << std::hex << std::showbase;
    // A loader that moved the copy itself would mend any address left behind.
    if (loadedAt != kHighBase)
      wrong << L"\n  loaded at " << loadedAt << L", expected " << kHighBase;
    if (status != run.status)
      wrong << L"\n  status " << status << L", expected " << run.status;
    wrong << DescribeDifferences(expected, TakeSnapshot());
    if (!wrong.str().empty())
      return L"\n" + std::wstring(run.name) + L":" + wrong.str();
  }
  return L"";
}

// What a copy with these bytes, beside the programs under test, got wrong;
// the copy and the device keys are removed afterwards.
std::wstring RunCopy(const std::vector<BYTE>& image) {
  const std::wstring path = ProgramPath(L"quorvane-rebased.exe");
  if (!WriteImage(path, image)) {
    ADD_FAILURE() << "cannot write " << path << ": " << GetLastError();
    return L"not written";
  }
  const std::wstring wrong = Mismatch(path);
  for (const wchar_t* key : {DEVICE_KEY_1, DEVICE_KEY_2})
    RemoveTree(key);
  // A copy that faults starts Wine's debugger, which holds the file for a
  // while after the copy has ended.
  int attempts = 0;
  while (!DeleteFileW(path.c_str()) && ++attempts < 300)
    Sleep(100);
  EXPECT_LT(attempts, 300) << "cannot delete " << path << ": " << GetLastError();
  return wrong;
}

// The copy with every address moved runs right; with any one of them left at
// the old base it must not, or the runs would not catch what they exist for.
TEST_F(ImageTest, RunsRebasedFarAbove4GiB) {
  const auto addresses = AbsoluteAddresses();
  ASSERT_FALSE(addresses.empty()) << "no absolute address to relocate";
  const std::wstring wrong = RunCopy(Rebased(addresses, kHighBase));
  EXPECT_TRUE(wrong.empty()) << "the copy at " << std::hex << kHighBase << ":" << wrong;
  for (size_t left = 0; left < addresses.size(); ++left) {
    std::vector<DWORD> applied = addresses;
    applied.erase(applied.begin() + left);
    EXPECT_NE(RunCopy(Rebased(applied, kHighBase)), L"")
        << "the address at file offset " << std::hex << addresses[left] << " left unmoved, and every run was right";
  }
}

// --- Resources ---------------------------------------------------------------

struct Resource {
  ULONG_PTR type, name;
  WORD language;
  bool operator==(const Resource& o) const { return type == o.type && name == o.name && language == o.language; }
};

BOOL CALLBACK AddLanguage(HMODULE, LPCWSTR type, LPCWSTR name, WORD language, LONG_PTR found) {
  reinterpret_cast<std::vector<Resource>*>(found)->push_back(
      {reinterpret_cast<ULONG_PTR>(type), reinterpret_cast<ULONG_PTR>(name), language});
  return TRUE;
}
BOOL CALLBACK AddNames(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR found) {
  return EnumResourceLanguagesW(module, type, name, AddLanguage, found);
}
BOOL CALLBACK AddTypes(HMODULE module, LPWSTR type, LONG_PTR found) {
  return EnumResourceNamesW(module, type, AddNames, found);
}

class ResourceTest : public testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryExW(ProgramPath(L"quorvane.exe").c_str(), nullptr,
                             LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module_, nullptr) << GetLastError();
  }
  void TearDown() override { FreeLibrary(module_); }

  std::string Bytes(LPCWSTR type, WORD language) const {
    HRSRC found = FindResourceExW(module_, type, MAKEINTRESOURCEW(1), language);
    if (!found)
      return "<missing>";
    const char* data = static_cast<const char*>(LockResource(LoadResource(module_, found)));
    return std::string(data, SizeofResource(module_, found));
  }
  HMODULE module_ = nullptr;
};

TEST_F(ResourceTest, ExactlyManifestAndVersionRecord) {
  std::vector<Resource> found;
  EnumResourceTypesW(module_, AddTypes, reinterpret_cast<LONG_PTR>(&found));
  const std::vector<Resource> expected = {{16, 1, 1041}, {24, 1, 1033}};
  ASSERT_EQ(found.size(), expected.size());
  for (const auto& resource : expected)
    EXPECT_NE(std::find(found.begin(), found.end(), resource), found.end())
        << "type " << resource.type << " language " << resource.language;
}

TEST_F(ResourceTest, ManifestRequiresAdministratorAndNothingElse) {
  EXPECT_EQ(Bytes(MAKEINTRESOURCEW(24), 1033),
            "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
            "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\n"
            "  <trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\">\n"
            "    <security>\n"
            "      <requestedPrivileges>\n"
            "        <requestedExecutionLevel level=\"requireAdministrator\" uiAccess=\"false\"/>\n"
            "      </requestedPrivileges>\n"
            "    </security>\n"
            "  </trustInfo>\n"
            "</assembly>\n");
}

// The companion runs as invoked: its read-only /status serves any user, and
// the verbs that change the machine refuse without administrator rights.
TEST(CompanionManifest, RunsAsInvoked) {
  HMODULE kit = LoadLibraryExW(ProgramPath(L"quorvane-kit.exe").c_str(), nullptr,
                               LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(kit, nullptr) << GetLastError();
  HRSRC found = FindResourceExW(kit, MAKEINTRESOURCEW(24), MAKEINTRESOURCEW(1), 1033);
  const std::string manifest =
      found ? std::string(static_cast<const char*>(LockResource(LoadResource(kit, found))), SizeofResource(kit, found))
            : "<missing>";
  FreeLibrary(kit);
  EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"), std::string::npos)
      << manifest;
  EXPECT_EQ(manifest.find("requireAdministrator"), std::string::npos) << manifest;
}

// The keys of the record's string table in stored order, read from the raw
// blocks (wLength, wValueLength, wType, key, padding, value, children).
std::vector<std::wstring> StringTableKeys(const std::string& record) {
  auto word = [&](size_t at) { return *reinterpret_cast<const WORD*>(record.data() + at); };
  auto key = [&](size_t at) { return std::wstring(reinterpret_cast<const wchar_t*>(record.data() + at + 6)); };
  auto align = [](size_t at) { return (at + 3) & ~size_t{3}; };
  auto firstChild = [&](size_t at) {  // skips key and value of the block at 'at'
    const size_t value = align(at + 6 + (key(at).size() + 1) * 2);
    const size_t valueBytes = word(at + 4) == 1 ? word(at + 2) * 2u : word(at + 2);
    return align(value + valueBytes);
  };
  std::vector<std::wstring> keys;
  for (size_t block = firstChild(0); block < word(0); block = align(block + word(block))) {
    if (key(block) != L"StringFileInfo")
      continue;
    const size_t table = firstChild(block);
    keys.push_back(key(table));
    for (size_t entry = firstChild(table); entry < table + word(table); entry = align(entry + word(entry)))
      keys.push_back(key(entry));
  }
  return keys;
}

TEST_F(ResourceTest, VersionRecordStringTable) {
  EXPECT_EQ(StringTableKeys(Bytes(MAKEINTRESOURCEW(16), 1041)),
            (std::vector<std::wstring>{L"040904b0", L"CompanyName", L"FileDescription", L"FileVersion",
                                       L"InternalName", L"LegalCopyright", L"LegalTrademarks",
                                       L"OriginalFilename", L"ProductName", L"ProductVersion"}));
}

TEST(VersionRecord, ReadAsFilePropertiesToolsReadIt) {
  const std::wstring path = ProgramPath(L"quorvane.exe");
  DWORD ignored = 0;
  std::vector<BYTE> record(GetFileVersionInfoSizeW(path.c_str(), &ignored));
  ASSERT_FALSE(record.empty());
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(record.size()), record.data()));
  auto query = [&](const wchar_t* block, UINT* size) {
    void* data = nullptr;
    *size = 0;
    return VerQueryValueW(record.data(), block, &data, size) ? data : nullptr;
  };
  UINT size;
  const auto* fixed = static_cast<VS_FIXEDFILEINFO*>(query(L"\\", &size));
  ASSERT_NE(fixed, nullptr);
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwFileVersionLS, 1000u << 16);
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwProductVersionLS, 1000u << 16);
  EXPECT_EQ(fixed->dwFileFlagsMask, 0x17u);
  EXPECT_EQ(fixed->dwFileFlags, 0u);
  EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS__WINDOWS32));
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
  EXPECT_EQ(fixed->dwFileSubtype, 0u);
  EXPECT_EQ(fixed->dwFileDateMS | fixed->dwFileDateLS, 0u);

  const auto* translation = static_cast<WORD*>(query(L"\\VarFileInfo\\Translation", &size));
  ASSERT_EQ(size, 4u);
  EXPECT_EQ(translation[0], 0x0409);
  EXPECT_EQ(translation[1], 0x04B0);

  const std::pair<const wchar_t*, const wchar_t*> kStrings[] = {
      {L"FileDescription", L"Quorvane"}, {L"FileVersion", L"1.0.1000.0"},
      {L"OriginalFilename", L"quorvane.exe"}, {L"ProductName", L"Quorvane"},
      {L"ProductVersion", L"V1.00L10 M00"},
  };
  for (const auto& [name, expected] : kStrings) {
    const auto* got = static_cast<const wchar_t*>(query((std::wstring(L"\\StringFileInfo\\040904b0\\") + name).c_str(), &size));
    ASSERT_NE(got, nullptr) << name;
    EXPECT_EQ(std::wstring(got), expected) << name;
  }
}

}  // namespace
