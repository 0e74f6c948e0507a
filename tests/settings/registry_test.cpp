#include "settings/registry.h"

#include <cstring>

#include "store_fixture.h"

namespace {

using RegistryLayer = StoreTest;

// The bytes stored for value `name` of `path`, or "<code>".
std::string stored(const char* path, const char* name, DWORD* type = nullptr) {
    HKEY key = nullptr;
    LONG rc = ERROR_SUCCESS;
    if (!RegOpenPathEx(HKEY_LOCAL_MACHINE, path, &key, &rc)) return codeText(rc);
    BYTE buffer[1024];
    DWORD size = sizeof buffer;
    rc = RegQueryValueExA(key, name, nullptr, type, buffer, &size);
    (void)RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return codeText(rc);
    return std::string(reinterpret_cast<char*>(buffer), size);
}

}  // namespace

TEST_F(RegistryLayer, PathsOpenAndCreateLevelByLevel) {
    HKEY key = nullptr;
    LONG rc = -1;
    ASSERT_EQ(RegCreatePathEx(HKEY_LOCAL_MACHINE, "Single", &key, &rc), 1);
    EXPECT_EQ(rc, ERROR_SUCCESS);
    (void)RegCloseKey(key);
    EXPECT_EQ(rawQuery("SELECT parent, name, class FROM regkey WHERE id > 4"), "3|Single|REG_SZ");

    ASSERT_EQ(RegCreatePathEx(HKEY_LOCAL_MACHINE, "A\\B\\C", &key, &rc), 1);
    (void)RegCloseKey(key);
    EXPECT_EQ(rawQuery("SELECT count(*) FROM regkey WHERE id > 4"), "4");
    ASSERT_EQ(RegCreatePathEx(HKEY_LOCAL_MACHINE, "A\\B\\C", &key, &rc), 1) << "exists: opens";
    (void)RegCloseKey(key);
    EXPECT_EQ(rawQuery("SELECT count(*) FROM regkey WHERE id > 4"), "4");

    ASSERT_EQ(RegOpenPathEx(HKEY_LOCAL_MACHINE, "a\\b\\c", &key, &rc), 1);
    (void)RegCloseKey(key);
    key = nullptr;
    EXPECT_EQ(RegOpenPathEx(HKEY_LOCAL_MACHINE, "A\\Missing\\C", &key, &rc), 0);
    EXPECT_EQ(rc, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(regStoreShares(), 0) << "no intermediate key is left open";
    EXPECT_EQ(RegOpenPathEx(HKEY_USERS, "A", &key, &rc), 0) << "roots are separate trees";
    EXPECT_EQ(rc, ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryLayer, OverlongPathsAreRefusedBeforeAnyWork) {
    HKEY key = nullptr;
    LONG rc = 0;
    std::string path(kRegPathSize, 'p');
    EXPECT_EQ(RegCreatePathEx(HKEY_LOCAL_MACHINE, path.c_str(), &key, &rc), 0);
    EXPECT_EQ(rc, ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(storeExists());
    path.pop_back();  // 511 characters fit the path, but not one component
    EXPECT_EQ(RegCreatePathEx(HKEY_LOCAL_MACHINE, path.c_str(), &key, &rc), 0);
    EXPECT_EQ(rc, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegOpenPathEx(HKEY_LOCAL_MACHINE, nullptr, &key, &rc), 0);
    EXPECT_EQ(rc, ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryLayer, SetRegValueWorksOutTheSizeFromTheType) {
    struct Case {
        const char* name;
        DWORD type;
        std::string data;
        DWORD size;
        int result;
        std::string stored;  // "<2>" when nothing may be written
    };
    std::string binary64(64, '\0');
    binary64[1] = 'a';
    binary64[3] = 'b';
    const Case cases[] = {
        {"Text", REG_SZ, std::string("abc\0zz", 6), 99, 1, std::string("abc\0", 4)},
        {"Expand", REG_EXPAND_SZ, std::string("%x%\0", 4), 0, 1, std::string("%x%\0", 4)},
        {"EmptyText", REG_SZ, std::string("\0", 1), 7, 1, std::string("\0", 1)},
        {"Binary", REG_BINARY, binary64, 64, 1, binary64},
        {"Dword", REG_DWORD, std::string("\x01\x02\x03\x04\x05", 5), 1, 1, "\x01\x02\x03\x04"},
        {"Multi", REG_MULTI_SZ, std::string("a\0b\0\0c", 6), 0, 1, std::string("a\0b\0\0", 5)},
        {"MultiEmpty", REG_MULTI_SZ, std::string("\0\0", 2), 9, 1, ""},
        {"BigEndian", REG_DWORD_BIG_ENDIAN, "abcd", 4, 0, "<2>"},
        {"Link", REG_LINK, "abcd", 4, 0, "<2>"},
        {"Eight", 8, "abcd", 4, 0, "<2>"},
    };
    HKEY key = nullptr;
    LONG rc = 0;
    ASSERT_EQ(RegCreatePathEx(HKEY_LOCAL_MACHINE, "Types", &key, &rc), 1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        rc = -1;
        EXPECT_EQ(setRegValue(key, c.name, c.data.data(), c.type, c.size, &rc), c.result);
        EXPECT_EQ(rc, ERROR_SUCCESS);
        DWORD type = 0;
        EXPECT_EQ(stored("Types", c.name, &type), c.stored);
        if (c.result == 1) {
            EXPECT_EQ(type, c.type);
        }
    }
    (void)RegCloseKey(key);
}

TEST_F(RegistryLayer, GetRegValueReadsUpToItsBuffer) {
    HKEY key = nullptr;
    LONG rc = 0;
    ASSERT_EQ(RegCreatePathEx(HKEY_LOCAL_MACHINE, "Get", &key, &rc), 1);
    ASSERT_EQ(setRegEmptyValue(key, "Empty", &rc), 1);
    std::string fits(kRegValueBufferSize, 'f');
    std::string tooLong(kRegValueBufferSize + 1, 'l');
    ASSERT_EQ(setRegValue(key, "Fits", fits.data(), REG_BINARY, kRegValueBufferSize, &rc), 1);
    ASSERT_EQ(setRegValue(key, "TooLong", tooLong.data(), REG_BINARY, 256, &rc), 1);
    ASSERT_EQ(setRegValue(key, "Text", "1500", REG_SZ, 0, &rc), 1);

    struct Case {
        const char* name;
        int result;
        LONG rc;
        DWORD size;
    };
    const Case cases[] = {
        {"Text", 1, ERROR_SUCCESS, 5},           {"Fits", 1, ERROR_SUCCESS, kRegValueBufferSize},
        {"TooLong", 0, ERROR_MORE_DATA, 0},      {"Empty", 0, ERROR_SUCCESS, 0},
        {"Missing", 0, ERROR_FILE_NOT_FOUND, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        unsigned char buffer[kRegValueBufferSize + 8];
        memset(buffer, 0xee, sizeof buffer);
        DWORD size = 77, type = 0;
        rc = -1;
        EXPECT_EQ(getRegValue(key, c.name, buffer, &type, &size, &rc), c.result);
        EXPECT_EQ(rc, c.rc);
        EXPECT_EQ(size, c.size);
        EXPECT_EQ(buffer[kRegValueBufferSize], 0xee) << "never past the 255 bytes";
    }
    EXPECT_EQ(deleteRegValue(key, "Text", &rc), 1);
    EXPECT_EQ(deleteRegValue(key, "Text", &rc), 0);
    EXPECT_EQ(rc, ERROR_FILE_NOT_FOUND);
    (void)RegCloseKey(key);
}

TEST_F(RegistryLayer, DeleteRegKeyTakesChildrenFirst) {
    HKEY key = nullptr;
    LONG rc = 0;
    ASSERT_EQ(RegCreatePathEx(HKEY_LOCAL_MACHINE, "Top\\Child", &key, &rc), 1);
    (void)RegCloseKey(key);
    ASSERT_EQ(RegOpenPathEx(HKEY_LOCAL_MACHINE, "Top", &key, &rc), 1);
    EXPECT_EQ(deleteRegKey(key, nullptr, &rc), 0);
    EXPECT_EQ(rc, ERROR_ACCESS_DENIED);
    EXPECT_EQ(deleteRegKey(key, "Child", &rc), 1);
    EXPECT_EQ(deleteRegKey(key, nullptr, &rc), 1);
    (void)RegCloseKey(key);
    EXPECT_EQ(RegOpenPathEx(HKEY_LOCAL_MACHINE, "Top", &key, &rc), 0);
}

TEST_F(RegistryLayer, ConnectRegistryAllowsTwoRoots) {
    struct Case {
        const char* machine;
        HKEY root;
        int result;
        LONG rc;
    };
    const Case cases[] = {
        {nullptr, HKEY_LOCAL_MACHINE, 1, ERROR_SUCCESS},
        {nullptr, HKEY_USERS, 1, ERROR_SUCCESS},
        {nullptr, HKEY_CURRENT_USER, 0, ERROR_SUCCESS},
        {nullptr, HKEY_CLASSES_ROOT, 0, ERROR_SUCCESS},
        {"\\\\far", HKEY_LOCAL_MACHINE, 0, ERROR_BAD_NETPATH},
    };
    for (const auto& c : cases) {
        HKEY key = nullptr;
        LONG rc = -1;
        EXPECT_EQ(connectRegistry(c.machine, c.root, &key, &rc), c.result);
        EXPECT_EQ(rc, c.rc);
        if (c.result == 1) {
            EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
        }
    }
    EXPECT_FALSE(storeExists()) << "opening a root needs no store";
}
