// DllRegisterServer / DllUnregisterServer against the in-process registry: the class
// registration under HKEY_CLASSES_ROOT\CLSID and the ASIO driver list entry.
#include "driver_host.h"
#include "nxkd_sim.h"
#include "test_hooks.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

const char kClassKey[] = "CLSID\\{6B3E91C4-52D7-4a0f-9E21-C5A8D04F7B36}";
const char kServerKey[] = "CLSID\\{6B3E91C4-52D7-4a0f-9E21-C5A8D04F7B36}\\InprocServer32";
const char kAsioKey[] = "SOFTWARE\\ASIO";
const char kAsioEntry[] = "SOFTWARE\\ASIO\\BRIXEN";
const char kClassIdText[] = "{6B3E91C4-52D7-4a0f-9E21-C5A8D04F7B36}";
const char kLibraryPath[] = "C:\\Windows\\system32\\Nxqe2650.dll";

struct StoredValue {
    bool present = false;
    DWORD type = REG_NONE;
    std::string bytes;  // as stored, terminating zero included
    std::string Text() const { return bytes.empty() ? bytes : bytes.substr(0, bytes.size() - 1); }
};

bool KeyExists(HKEY root, const char* path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

StoredValue Read(HKEY root, const char* path, const char* name)
{
    StoredValue value;
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return value;
    DWORD size = 0;
    if (RegQueryValueExA(key, name, nullptr, &value.type, nullptr, &size) == ERROR_SUCCESS) {
        value.bytes.resize(size);
        value.present = RegQueryValueExA(key, name, nullptr, &value.type,
                                         reinterpret_cast<BYTE*>(&value.bytes[0]), &size) == ERROR_SUCCESS;
    }
    RegCloseKey(key);
    return value;
}

void CreateKey(HKEY root, const char* path)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS)
        << path;
    RegCloseKey(key);
}

void WriteBytes(HKEY root, const char* path, const char* name, DWORD type, const std::string& bytes)
{
    CreateKey(root, path);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(root, path, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                   static_cast<DWORD>(bytes.size()));
    RegCloseKey(key);
}

void WriteText(HKEY root, const char* path, const char* name, const std::string& text)
{
    WriteBytes(root, path, name, REG_SZ, text + '\0');
}

// The whole registry as text, to show that nothing else changed.
std::string Dump()
{
    char path[] = "/tmp/nx_registration_dump_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        return "mkstemp failed";
    close(fd);
    EXPECT_TRUE(platform_test::SaveRegistry(path));
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    std::remove(path);
    return text.str();
}

class RegistrationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        nxsim::Simulator::Instance().Reset();
        platform_test::ResetRegistry();
        platform_test::SetSystemDirectory("C:\\Windows\\system32");
        // What every Windows registry has before any driver is installed.
        CreateKey(HKEY_CLASSES_ROOT, "CLSID");
        CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE");
    }
    void TearDown() override { platform_test::ResetRegistry(); }

    void ExpectOurClassRegistration(const std::string& libraryPath)
    {
        StoredValue name = Read(HKEY_CLASSES_ROOT, kClassKey, nullptr);
        EXPECT_TRUE(name.present);
        EXPECT_EQ(name.type, REG_SZ);
        EXPECT_EQ(name.bytes, std::string("BRIXEN", 7));
        StoredValue path = Read(HKEY_CLASSES_ROOT, kServerKey, nullptr);
        EXPECT_EQ(path.type, REG_SZ);
        EXPECT_EQ(path.bytes, libraryPath + '\0');
        StoredValue model = Read(HKEY_CLASSES_ROOT, kServerKey, "ThreadingModel");
        EXPECT_EQ(model.type, REG_SZ);
        EXPECT_EQ(model.bytes.size(), 10u);
        EXPECT_EQ(model.Text(), "Apartment");
    }

    void ExpectOurAsioEntry()
    {
        StoredValue clsid = Read(HKEY_LOCAL_MACHINE, kAsioEntry, "CLSID");
        EXPECT_EQ(clsid.type, REG_SZ);
        EXPECT_EQ(clsid.bytes, std::string(kClassIdText) + '\0');
        StoredValue description = Read(HKEY_LOCAL_MACHINE, kAsioEntry, "Description");
        EXPECT_EQ(description.type, REG_SZ);
        EXPECT_EQ(description.bytes, std::string("BRIXEN", 7));
    }

    DriverLibrary library;
};

TEST_F(RegistrationTest, FreshSystemGetsBothEntriesWithAllFiveValues)
{
    EXPECT_EQ(library.RegisterServer(), S_OK);
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kAsioKey));
    ExpectOurClassRegistration(kLibraryPath);
    ExpectOurAsioEntry();
}

TEST_F(RegistrationTest, RegisteringTwiceEqualsOnce)
{
    ASSERT_EQ(library.RegisterServer(), S_OK);
    std::string once = Dump();
    ASSERT_EQ(library.RegisterServer(), S_OK);
    EXPECT_EQ(Dump(), once);
}

TEST_F(RegistrationTest, TrailingBackslashOfSystemDirectoryIsDropped)
{
    platform_test::SetSystemDirectory("C:\\Windows\\system32\\");
    library.RegisterServer();
    EXPECT_EQ(Read(HKEY_CLASSES_ROOT, kServerKey, nullptr).Text(), kLibraryPath);
}

TEST_F(RegistrationTest, StaleAsioEntryIsReplacedWholeAndNeighboursStay)
{
    WriteText(HKEY_LOCAL_MACHINE, kAsioEntry, "CLSID", "{00000000-0000-0000-0000-000000000000}");
    WriteText(HKEY_LOCAL_MACHINE, kAsioEntry, "Extra", "stale");
    WriteText(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\BRIXEN\\Sub\\Deeper\\Deepest", "v", "x");
    WriteText(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\BRIXEN\\Other", nullptr, "y");
    WriteText(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Another Driver", "CLSID", "{another}");

    library.RegisterServer();

    ExpectOurAsioEntry();
    EXPECT_FALSE(Read(HKEY_LOCAL_MACHINE, kAsioEntry, "Extra").present);
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\BRIXEN\\Sub"));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\BRIXEN\\Other"));
    EXPECT_EQ(Read(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Another Driver", "CLSID").Text(), "{another}");
}

// An existing class registration is rewritten when it names this library (letter case
// aside) or names none that can be read; one naming another library stays as it is.
struct ExistingClass {
    const char* what;
    bool serverKey;        // InprocServer32 exists
    DWORD type;            // REG_NONE: no default value
    std::string stored;    // the default value's bytes
    bool rewritten;
};

void PrintTo(const ExistingClass& c, std::ostream* out) { *out << c.what; }

class ExistingClassTest : public RegistrationTest, public ::testing::WithParamInterface<ExistingClass> {};

TEST_P(ExistingClassTest, RegisterServer)
{
    const ExistingClass& c = GetParam();
    WriteText(HKEY_CLASSES_ROOT, kClassKey, nullptr, "Someone");
    WriteText(HKEY_CLASSES_ROOT, kClassKey, "Marker", "kept only when not rewritten");
    WriteText(HKEY_CLASSES_ROOT, "CLSID\\{6B3E91C4-52D7-4a0f-9E21-C5A8D04F7B36}\\Extra\\Deep", nullptr, "z");
    if (c.serverKey)
        CreateKey(HKEY_CLASSES_ROOT, kServerKey);
    if (c.type != REG_NONE)
        WriteBytes(HKEY_CLASSES_ROOT, kServerKey, nullptr, c.type, c.stored);
    WriteText(HKEY_CLASSES_ROOT, "CLSID\\{11111111-2222-3333-4444-555555555555}\\InprocServer32", nullptr,
              kLibraryPath);
    std::string before = Dump();

    EXPECT_EQ(library.RegisterServer(), S_OK);

    if (c.rewritten) {
        ExpectOurClassRegistration(kLibraryPath);
        EXPECT_FALSE(Read(HKEY_CLASSES_ROOT, kClassKey, "Marker").present);
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, "CLSID\\{6B3E91C4-52D7-4a0f-9E21-C5A8D04F7B36}\\Extra"));
    }
    ExpectOurAsioEntry();
    if (!c.rewritten) {
        // Nothing but the ASIO list changed.
        EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, kAsioEntry), ERROR_SUCCESS);
        EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, kAsioKey), ERROR_SUCCESS);
        EXPECT_EQ(Dump(), before);
    }
    EXPECT_EQ(Read(HKEY_CLASSES_ROOT, "CLSID\\{11111111-2222-3333-4444-555555555555}\\InprocServer32", nullptr)
                  .Text(),
              kLibraryPath);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExistingClassTest,
    ::testing::Values(
        ExistingClass{"same path", true, REG_SZ, std::string(kLibraryPath) + '\0', true},
        ExistingClass{"same path other case", true, REG_SZ, "c:\\WINDOWS\\System32\\NXQE2650.DLL" + std::string(1, '\0'), true},
        ExistingClass{"other directory", true, REG_SZ, "D:\\Audio\\Nxqe2650.dll" + std::string(1, '\0'), false},
        ExistingClass{"other file", true, REG_SZ, "C:\\Windows\\system32\\Nxqf2650.dll" + std::string(1, '\0'), false},
        ExistingClass{"other path of 359 bytes", true, REG_SZ, std::string(358, 'a') + '\0', false},
        ExistingClass{"value of 360 bytes", true, REG_SZ, std::string(359, 'a') + '\0', true},
        ExistingClass{"no InprocServer32 key", false, REG_NONE, "", true},
        ExistingClass{"no default value", true, REG_NONE, "", true},
        ExistingClass{"default value not text", true, REG_DWORD, std::string("\x01\x02\x03\x04", 4), true},
        ExistingClass{"same path without zero", true, REG_SZ, kLibraryPath, true}),
    [](const ::testing::TestParamInfo<ExistingClass>& param) {
        std::string name;
        for (const char* p = param.param.what; *p != '\0'; ++p)
            name += (*p == ' ') ? '_' : *p;
        return name;
    });

TEST_F(RegistrationTest, ClassNamingAnotherLibraryStaysUnchanged)
{
    WriteText(HKEY_CLASSES_ROOT, kClassKey, nullptr, "Someone");
    WriteText(HKEY_CLASSES_ROOT, kServerKey, nullptr, "D:\\Audio\\Nxqe2650.dll");
    WriteText(HKEY_CLASSES_ROOT, kServerKey, "ThreadingModel", "Both");
    library.RegisterServer();
    EXPECT_EQ(Read(HKEY_CLASSES_ROOT, kClassKey, nullptr).Text(), "Someone");
    EXPECT_EQ(Read(HKEY_CLASSES_ROOT, kServerKey, nullptr).Text(), "D:\\Audio\\Nxqe2650.dll");
    EXPECT_EQ(Read(HKEY_CLASSES_ROOT, kServerKey, "ThreadingModel").Text(), "Both");
    ExpectOurAsioEntry();
}

TEST_F(RegistrationTest, UnregisterWithoutRegistrationChangesNothing)
{
    WriteText(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Another Driver", "CLSID", "{another}");
    std::string before = Dump();
    EXPECT_EQ(library.UnregisterServer(), S_OK);
    EXPECT_EQ(Dump(), before);

    platform_test::ResetRegistry();  // not even the parents
    before = Dump();
    EXPECT_EQ(library.UnregisterServer(), S_OK);
    EXPECT_EQ(Dump(), before);
}

TEST_F(RegistrationTest, UnregisterRemovesBothEntriesAndKeepsTheAsioList)
{
    library.RegisterServer();
    WriteText(HKEY_CLASSES_ROOT, "CLSID\\{6B3E91C4-52D7-4a0f-9E21-C5A8D04F7B36}\\Extra\\Deep", nullptr, "z");
    WriteText(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\BRIXEN\\Sub", "v", "x");

    EXPECT_EQ(library.UnregisterServer(), S_OK);

    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, "CLSID"));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kAsioEntry));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kAsioKey));
}

TEST_F(RegistrationTest, UnregisterRemovesAClassThatNamesAnotherLibrary)
{
    WriteText(HKEY_CLASSES_ROOT, kServerKey, nullptr, "D:\\Audio\\Nxqe2650.dll");
    EXPECT_EQ(library.UnregisterServer(), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));
}

TEST_F(RegistrationTest, MissingParentKeysSkipOnlyWhatDependsOnThem)
{
    // Without HKEY_CLASSES_ROOT\CLSID the class cannot be written; the ASIO list still is.
    platform_test::ResetRegistry();
    CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE");
    EXPECT_EQ(library.RegisterServer(), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClassKey));
    ExpectOurAsioEntry();
}

}  // namespace
