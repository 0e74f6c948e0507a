// A settings store of its own for every test: a fresh temporary folder named by
// KORPROXY_REGISTRY, a trace captured in a file, and helpers to look at both.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "common/trace.h"
#include "settings/regdb.h"
#include "settings/regstore.h"

// "<code>": how the helpers show a value that could not be read.
inline std::string codeText(long rc) {
    char text[24];
    snprintf(text, sizeof text, "<%ld>", rc);
    return text;
}

class StoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/korproxy-settings-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        folder_ = root_ + "/var";
        path_ = folder_ + "/registry.db";
        setenv("KORPROXY_REGISTRY", path_.c_str(), 1);
        tracePath_ = root_ + "/trace.txt";
        traceFp = fopen(tracePath_.c_str(), "w+");
        ASSERT_NE(traceFp, nullptr);
    }
    void TearDown() override {
        regSetFaultHook(nullptr);
        EXPECT_EQ(regStoreShares(), 0) << "a key handle or the store was left open";
        fclose(traceFp);
        traceFp = nullptr;
        std::filesystem::remove_all(root_);
    }

    const std::string& storePath() const { return path_; }
    const std::string& folder() const { return folder_; }
    bool storeExists() const { return std::filesystem::exists(path_); }

    // Every trace line written so far.
    std::vector<std::string> traceLines() const {
        fflush(traceFp);
        std::ifstream in(tracePath_);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    // Every trace line with its line number shown as NNN: "(psopts, NNN) text".
    std::vector<std::string> traceShapes() const {
        std::vector<std::string> lines = traceLines();
        for (auto& line : lines)
            line = std::regex_replace(line, std::regex("^\\((\\w+), \\d+\\)"), "($1, NNN)");
        return lines;
    }
    // The trace lines containing `text`.
    int traceCount(const std::string& text) const {
        int n = 0;
        for (const auto& line : traceLines()) n += line.find(text) != std::string::npos;
        return n;
    }
    void clearTrace() {
        fflush(traceFp);
        if (ftruncate(fileno(traceFp), 0) != 0) ADD_FAILURE() << "cannot clear the trace";
        rewind(traceFp);
    }

    std::string fileBytes(const std::string& path) const {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        return bytes.str();
    }
    void writeFile(const std::string& path, const std::string& bytes) const {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
    }

    // Runs one SQL text straight on the store file, for looking behind the functions' backs.
    std::string rawQuery(const std::string& sql) const {
        sqlite3* db = nullptr;
        std::string out;
        if (sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
            sqlite3_exec(
                db, sql.c_str(),
                [](void* acc, int n, char** values, char**) {
                    auto* text = static_cast<std::string*>(acc);
                    for (int i = 0; i < n; ++i) {
                        if (!text->empty()) text->push_back('|');
                        text->append(values[i] != nullptr ? values[i] : "NULL");
                    }
                    return 0;
                },
                &out, nullptr);
        }
        sqlite3_close(db);
        return out;
    }

  private:
    std::string root_, folder_, path_, tracePath_;
};
