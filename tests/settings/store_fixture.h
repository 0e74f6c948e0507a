// A settings store of its own for every test, the trace captured, and helpers that read and write
// values through the platform functions. StoreTest is the store's side of the registry contract:
// on Linux a store file in a fresh temporary folder (KORPROXY_REGISTRY names it); on Windows the
// machine's registry, where every test works below kScratchKey, removed before and after.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "../session/trace_capture.h"
#include "settings/registry.h"

inline constexpr const char kScratchKey[] = "SOFTWARE\\korproxy-test";

// The bytes of value `name` of `path` below HKEY_LOCAL_MACHINE, or "<code>" when unreadable.
inline std::string storedValue(const char* path, const char* name, DWORD* type = nullptr) {
    HKEY key = nullptr;
    LONG rc = 0;
    BYTE buffer[1024];
    DWORD size = sizeof buffer;
    if (RegOpenPathEx(HKEY_LOCAL_MACHINE, path, &key, &rc)) {
        rc = RegQueryValueExA(key, name, nullptr, type, buffer, &size);
        (void)RegCloseKey(key);
    }
    return rc ? '<' + std::to_string(rc) + '>' : std::string(reinterpret_cast<char*>(buffer), size);
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
    return RegOpenPathEx(HKEY_LOCAL_MACHINE, path, &key, &rc) && RegCloseKey(key) == 0;
}

#ifdef _WIN32

class StoreTest : public ::testing::Test {
  protected:
    void SetUp() override { (void)RegDeleteTreeA(HKEY_LOCAL_MACHINE, kScratchKey); }
    void TearDown() override { SetUp(); }
};

#else

#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "settings/regfile.h"

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
        trace_.emplace();
    }
    void TearDown() override {
        regSetFaultHook(nullptr);
        EXPECT_EQ(regStoreShares(), 0) << "a key handle or the store was left open";
        trace_.reset();
        std::filesystem::remove_all(root_);
    }

    std::string folder() const { return root_ + "/var"; }
    std::string storePath() const { return folder() + "/registry.db"; }
    bool storeExists() const { return std::filesystem::exists(storePath()); }

    // Every trace line so far, its line number shown as N: "(psopts, N) text".
    std::vector<std::string> traceShapes() {
        std::istringstream in(trace_->text());
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    int traceCount(const std::string& text) {
        int n = 0;
        for (const auto& line : traceShapes()) n += line.find(text) != line.npos;
        return n;
    }
    void clearTrace() { trace_.emplace(); }

    std::string fileBytes(const std::string& path) const {
        std::ostringstream bytes;
        bytes << std::ifstream(path, std::ios::binary).rdbuf();
        return bytes.str();
    }
    void writeFile(const std::string& path, const std::string& bytes) const {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
    }

    // Runs SQL straight on the store file, behind the functions' backs; gives the first column of
    // the rows it returns.
    std::string rawQuery(const std::string& sql) const {
        sqlite3* db = nullptr;
        std::string out;
        auto collect = [](void* out, int, char** values, char**) {
            static_cast<std::string*>(out)->append(values[0] ? values[0] : "NULL");
            return 0;
        };
        if (sqlite3_open_v2(storePath().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK)
            sqlite3_exec(db, sql.c_str(), collect, &out, nullptr);
        sqlite3_close(db);
        return out;
    }

  private:
    std::string root_;
    std::optional<TraceCapture> trace_;
};

#endif
