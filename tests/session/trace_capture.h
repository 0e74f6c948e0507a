// Captures the trace lines written during a test, with their line numbers replaced by N so that
// expectations survive edits of the traced file.
#pragma once

#include <cctype>
#include <cstdio>
#include <string>

#include "common/trace.h"

// Replaces the line number of every "(source, 123)" with N.
inline std::string withoutLineNumbers(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        out += text[i];
        if (text[i] != ',') continue;
        size_t j = i + 1;
        if (j < text.size() && text[j] == ' ') ++j;
        size_t digits = j;
        while (digits < text.size() && isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
        if (digits > j && digits < text.size() && text[digits] == ')') {
            out.append(text, i + 1, j - i - 1);
            out += 'N';
            i = digits - 1;
        }
    }
    return out;
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
