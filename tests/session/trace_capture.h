// Captures the trace lines written during a test, with their line numbers replaced by N so that
// expectations survive edits of the traced file.
#pragma once

#include <cstdio>
#include <string>

#include "common/trace.h"

// Replaces the line number of every "(source, 123)" with N.
inline std::string withoutLineNumbers(std::string text) {
    for (size_t open = text.find('('); open != std::string::npos; open = text.find('(', open + 1)) {
        size_t comma = text.find(',', open), close = text.find(')', open);
        if (comma == std::string::npos || close == std::string::npos || comma > close) continue;
        size_t digits = comma + 1 + (text[comma + 1] == ' ');
        if (digits < close && text.find_first_not_of("0123456789", digits) == close) {
            text.replace(digits, close - digits, "N");
        }
    }
    return text;
}

// Captures the trace lines written while it lives, with line numbers replaced by N.
class TraceCapture {
  public:
    TraceCapture() : file_(tmpfile()) { traceFp = file_; }
    ~TraceCapture() {
        traceFp = nullptr;
        fclose(file_);
    }
    std::string text() {
        fflush(file_);
        rewind(file_);
        std::string all;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, file_)) > 0) all.append(buf, n);
        return withoutLineNumbers(all);
    }
    bool has(const std::string& piece) { return text().find(piece) != std::string::npos; }

  private:
    FILE* file_;
};
