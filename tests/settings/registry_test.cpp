// The registry contract, held by both stores: the SQLite store on Linux and the system registry
// under wine (tests/wine builds this file too). Every case works below kScratchKey.
#include "settings/registry.h"

#include <cstring>
#include <string>

#include "store_fixture.h"

namespace {

using RegistryContract = StoreTest;

std::string scratch(const char* below) {
    return std::string(kScratchKey) + "\\" + below;
}

}  // namespace

TEST_F(RegistryContract, ConnectRegistryAllowsTwoRootsOfThisMachine) {
    HKEY key = nullptr;
    LONG rc = -1;
    EXPECT_EQ(connectRegistry(nullptr, HKEY_CURRENT_USER, &key, &rc), 0);
    EXPECT_EQ(rc, ERROR_SUCCESS);
    EXPECT_EQ(connectRegistry("\\\\far", HKEY_USERS, &key, &rc), 0);
    EXPECT_EQ(rc, ERROR_BAD_NETPATH);
    ASSERT_EQ(connectRegistry(nullptr, HKEY_USERS, &key, &rc), 1) << "even with no store yet";
    (void)RegCloseKey(key);
}

TEST_F(RegistryContract, PathsOpenCreateAndDeleteLevelByLevel) {
    HKEY key = nullptr;
    LONG rc = -1;
    EXPECT_EQ(RegOpenPathEx(HKEY_LOCAL_MACHINE, scratch("A").c_str(), &key, &rc), 0);
    EXPECT_EQ(rc, ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegCreatePathEx(HKEY_LOCAL_MACHINE, scratch("A\\B\\C").c_str(), &key, &rc), 1);
    EXPECT_EQ(rc, ERROR_SUCCESS);
    (void)RegCloseKey(key);
    ASSERT_EQ(RegCreatePathEx(HKEY_LOCAL_MACHINE, scratch("a\\b").c_str(), &key, &rc), 1);
    (void)RegCloseKey(key);
    key = nullptr;
    EXPECT_EQ(RegOpenPathEx(HKEY_LOCAL_MACHINE, scratch("A\\Missing\\C").c_str(), &key, &rc), 0);
    EXPECT_EQ(rc, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(RegOpenPathEx(HKEY_USERS, scratch("A").c_str(), &key, &rc), 0) << "separate trees";
    std::string overlong(kRegPathSize, 'p');
    EXPECT_EQ(RegCreatePathEx(HKEY_LOCAL_MACHINE, overlong.c_str(), &key, &rc), 0);
    EXPECT_EQ(rc, ERROR_INVALID_PARAMETER);

    // Names ignore case and keep the spelling they were first written with.
    ASSERT_EQ(RegOpenPathEx(HKEY_LOCAL_MACHINE, scratch("a").c_str(), &key, &rc), 1);
    char name[16];
    EXPECT_EQ(enumRegSubKey(key, 0, name, sizeof name, &rc), 1);
    EXPECT_STREQ(name, "B");
    EXPECT_EQ(enumRegSubKey(key, 1, name, sizeof name, &rc), 0);
    EXPECT_EQ(rc, ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(deleteRegKey(key, nullptr, &rc), 0) << "a key with sub-keys stays";
    EXPECT_EQ(rc, ERROR_ACCESS_DENIED);
    (void)RegCloseKey(key);

    // A handle to a deleted key changes nothing, and a new key of the same name is a new key.
    ASSERT_EQ(RegOpenPathEx(HKEY_LOCAL_MACHINE, scratch("a\\b\\c").c_str(), &key, &rc), 1);
    EXPECT_EQ(deleteRegKey(key, nullptr, &rc), 1) << "the opened key itself";
    EXPECT_EQ(setRegValue(key, "v", "1", REG_SZ, 0, &rc), 0);
    EXPECT_EQ(rc, ERROR_KEY_DELETED);
    (void)RegCloseKey(key);
    ASSERT_EQ(RegCreatePathEx(HKEY_LOCAL_MACHINE, scratch("A\\B\\C").c_str(), &key, &rc), 1);
    (void)RegCloseKey(key);
    EXPECT_EQ(storedValue(scratch("A\\B\\C").c_str(), "v"), "<2>");
}

TEST_F(RegistryContract, ValuesAreSizedByTheirTypeAndReadUpToTheBuffer) {
    std::string binary(kRegValueBufferSize + 1, '\0');
    binary[1] = 'a';
    const std::string fits = binary.substr(0, kRegValueBufferSize);
    struct Case {
        const char* name;
        DWORD type;
        std::string data;
        DWORD size;
        int written;
        std::string stored;  // "<2>": nothing written
        int read;
        LONG readRc;
        DWORD readSize;
    };
    const Case cases[] = {
        {"Text", REG_SZ, std::string("abc\0zz", 6), 99, 1, std::string("abc\0", 4), 1, 0, 4},
        {"Empty", REG_SZ, std::string(1, '\0'), 9, 1, std::string(1, '\0'), 0, 0, 0},
        {"Expand", REG_EXPAND_SZ, std::string("%x%\0", 4), 0, 1, std::string("%x%\0", 4), 1, 0, 4},
        {"Fits", REG_BINARY, binary, kRegValueBufferSize, 1, fits, 1, 0, kRegValueBufferSize},
        {"TooLong", REG_BINARY, binary, kRegValueBufferSize + 1, 1, binary, 0, ERROR_MORE_DATA, 0},
        {"Dword", REG_DWORD, "\x01\x02\x03\x04\x05", 1, 1, "\x01\x02\x03\x04", 1, 0, 4},
        {"Multi", REG_MULTI_SZ, std::string("a\0b\0\0c", 6), 0, 1, std::string("a\0b\0\0", 5), 1, 0,
         5},
        {"MultiEmpty", REG_MULTI_SZ, std::string("\0\0", 2), 9, 1, "", 1, 0, 0},
        {"BigEndian", REG_DWORD_BIG_ENDIAN, "abcd", 4, 0, "<2>", 0, ERROR_FILE_NOT_FOUND, 0},
        {"Eight", 8, "abcd", 4, 0, "<2>", 0, ERROR_FILE_NOT_FOUND, 0},
    };
    HKEY key = nullptr;
    LONG rc = 0;
    ASSERT_EQ(RegCreatePathEx(HKEY_LOCAL_MACHINE, kScratchKey, &key, &rc), 1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        rc = -1;
        EXPECT_EQ(setRegValue(key, c.name, c.data.data(), c.type, c.size, &rc), c.written);
        EXPECT_EQ(rc, ERROR_SUCCESS);
        EXPECT_EQ(storedValue(kScratchKey, c.name), c.stored);
        unsigned char buffer[kRegValueBufferSize + 8];
        memset(buffer, 0xee, sizeof buffer);
        DWORD size = 77;
        EXPECT_EQ(getRegValue(key, c.name, buffer, nullptr, &size, &rc), c.read);
        EXPECT_EQ(rc, c.readRc);
        EXPECT_EQ(size, c.readSize);
        EXPECT_EQ(buffer[kRegValueBufferSize], 0xee) << "never past the 255 bytes";
    }
    ASSERT_EQ(setRegEmptyValue(key, "Text", &rc), 1);
    EXPECT_EQ(storedValue(kScratchKey, "Text"), std::string(1, '\0'));
    (void)RegCloseKey(key);
}
