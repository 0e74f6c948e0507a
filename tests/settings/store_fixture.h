// A settings store of its own for every test (a fresh temporary folder named by
// KORPROXY_REGISTRY) and the trace captured in a file.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/trace.h"
#include "settings/regdb.h"
#include "settings/registry.h"

// "<code>": how helpers show a value that could not be read.
inline std::string codeText(long rc) {
    char text[24];
    snprintf(text, sizeof text, "<%ld>", rc);
    return text;
}

// The bytes of value `name` of `path` below HKEY_LOCAL_MACHINE, or "<code>".
inline std::string storedValue(const char* path, const char* name, DWORD* type = nullptr) {
    HKEY key = nullptr;
    LONG rc = 0;
    if (!RegOpenPathEx(HKEY_LOCAL_MACHINE, path, &key, &rc)) return codeText(rc);
    BYTE buffer[1024];
    DWORD size = sizeof buffer;
    rc = RegQueryValueExA(key, name, nullptr, type, buffer, &size);
    (void)RegCloseKey(key);
    return rc == ERROR_SUCCESS ? std::string(reinterpret_cast<char*>(buffer), size) : codeText(rc);
}

// Stores value `name` of `path` below HKEY_LOCAL_MACHINE through the platform functions, creating
// the key when missing.
inline LONG storeValue(const char* path, const char* name, DWORD type, const std::string& bytes) {
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    rc = RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                        static_cast<DWORD>(bytes.size()));
    (void)RegCloseKey(key);
    return rc;
}

inline bool keyExists(const char* path) {
    HKEY key = nullptr;
    LONG rc = 0;
    if (!RegOpenPathEx(HKEY_LOCAL_MACHINE, path, &key, &rc)) return false;
    (void)RegCloseKey(key);
    return true;
}

// For regSetFaultHook: fails every change made by the function, or to the value, that
// failingName names ("*": every change) with ERROR_DISK_FULL.
inline const char* failingName = "";
inline LONG failNamedChange(const char* function, const char* name) {
    bool hit = strcmp(failingName, "*") == 0 || strcmp(name, failingName) == 0 ||
               strcmp(function, failingName) == 0;
    return hit ? ERROR_DISK_FULL : ERROR_SUCCESS;
}

class StoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/korproxy-settings-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        setenv("KORPROXY_REGISTRY", storePath().c_str(), 1);
        traceFp = fopen((root_ + "/trace.txt").c_str(), "w+");
        ASSERT_NE(traceFp, nullptr);
    }
    void TearDown() override {
        regSetFaultHook(nullptr);
        EXPECT_EQ(regStoreShares(), 0) << "a key handle or the store was left open";
        fclose(traceFp);
        traceFp = nullptr;
        std::filesystem::remove_all(root_);
    }

    std::string folder() const { return root_ + "/var"; }
    std::string storePath() const { return folder() + "/registry.db"; }
    bool storeExists() const { return std::filesystem::exists(storePath()); }

    // Every trace line so far, its line number shown as NNN: "(psopts, NNN) text".
    std::vector<std::string> traceShapes() const {
        fflush(traceFp);
        std::ifstream in(root_ + "/trace.txt");
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            size_t comma = line.find(", "), close = line.find(')');
            if (line.rfind('(', 0) == 0 && comma < close && close != std::string::npos) {
                line.replace(comma + 2, close - comma - 2, "NNN");
            }
            lines.push_back(line);
        }
        return lines;
    }
    int traceCount(const std::string& text) const {
        int n = 0;
        for (const auto& line : traceShapes()) n += line.find(text) != std::string::npos;
        return n;
    }
    void clearTrace() {
        fflush(traceFp);
        ASSERT_EQ(ftruncate(fileno(traceFp), 0), 0);
        rewind(traceFp);
    }

    std::string fileBytes(const std::string& path) const {
        std::ostringstream bytes;
        bytes << std::ifstream(path, std::ios::binary).rdbuf();
        return bytes.str();
    }
    void writeFile(const std::string& path, const std::string& bytes) const {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
    }

    // Runs SQL straight on the store file, behind the functions' backs; results joined by '|'.
    std::string rawQuery(const std::string& sql) const {
        sqlite3* db = nullptr;
        std::string out;
        if (sqlite3_open_v2(storePath().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) ==
            SQLITE_OK) {
            auto collect = [](void* acc, int n, char** values, char**) {
                auto* text = static_cast<std::string*>(acc);
                for (int i = 0; i < n; ++i) {
                    if (!text->empty()) text->push_back('|');
                    text->append(values[i] != nullptr ? values[i] : "NULL");
                }
                return 0;
            };
            sqlite3_exec(db, sql.c_str(), collect, &out, nullptr);
        }
        sqlite3_close(db);
        return out;
    }

  private:
    std::string root_;
};
