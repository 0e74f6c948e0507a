// see korproxy_urlconv.h
#include "front/korproxy_urlconv.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/trace.h"

static constexpr const char kTraceSource[] = "korproxy";

namespace {

// Tokens that end an object name; each is tested as a prefix ("tasks" counts as "task").
constexpr const char* kSeparatorWords[] = {"group", "class", "operation", "task"};

bool startsWith(const char* text, const char* prefix) {
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

bool isSeparatorWord(const char* token) {
    for (const char* word : kSeparatorWords) {
        if (startsWith(token, word)) return true;
    }
    return false;
}

bool keptAsIs(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// Appends to an output text sized for three bytes per input byte; the caller's sizing is the bound.
struct Output {
    char* text;
    size_t used = 0;

    void add(const char* s) {
        for (; *s != '\0'; ++s) text[used++] = *s;
    }
    void addToken(const char* token) {
        static constexpr char kHex[] = "0123456789ABCDEF";
        for (const char* p = token; *p != '\0'; ++p) {
            auto c = static_cast<unsigned char>(*p);
            if (keptAsIs(c)) {
                text[used++] = static_cast<char>(c);
            } else {
                text[used++] = '%';
                text[used++] = kHex[c >> 4];
                text[used++] = kHex[c & 0x0F];
            }
        }
    }
};

struct FreeText {
    void operator()(char* p) const { free(p); }
};
using CText = std::unique_ptr<char, FreeText>;

}  // namespace

void ConvertUrlBack(ArgNode* node) {
    if (node == nullptr) return;
    if (node->value == nullptr || strstr(node->value, "object") == nullptr) {
        TRACE("(%s, %d) ConvertUrlBack: No Objects in URL %s.\n", TRACE_AT,
              traceText(node->value != nullptr ? node->value : "").c_str());
        return;
    }
    size_t length = strlen(node->value);
    CText output(static_cast<char*>(calloc(3 * length + 1, 1)));
    CText copy(static_cast<char*>(malloc(length + 1)));
    if (output == nullptr || copy == nullptr) {
        TRACE("(%s, %d) ConvertUrlBack: Memory Allocation Failed.\n", TRACE_AT);
        return;
    }
    memcpy(copy.get(), node->value, length + 1);
    TRACE("(%s, %d) ConvertUrlBack: Starting conversion with (%s)\n", TRACE_AT,
          traceText(copy.get()).c_str());

    // Tokenise after the first character, whatever it is; empty pieces are tokens too.
    const char* tokens[kMaxUrlTokens];
    size_t count = 0;
    tokens[count++] = copy.get() + 1;
    for (char* p = copy.get() + 1; *p != '\0'; ++p) {
        if (*p != '/') continue;
        if (count == kMaxUrlTokens) {
            TRACE("(%s, %d) ) ConvertUrlBack: Reached maximum number of tokens. \n", TRACE_AT);
            return;
        }
        *p = '\0';
        tokens[count++] = p + 1;
    }

    Output out{output.get()};
    bool inObject = false;
    bool afterObject = false;
    for (size_t i = 0; i < count; ++i) {
        const char* token = tokens[i];
        if (isSeparatorWord(token)) {
            inObject = false;
            out.add("/");
        } else if (!inObject || afterObject) {
            out.add("/");
        } else {
            out.add("%2F");
        }
        afterObject = false;
        if (startsWith(token, "object")) {
            inObject = true;
            afterObject = true;
        }
        out.addToken(token);
        TRACE(
            "(%s, %d) ) ConvertUrlBack: Output string (%s), adding token (%s) and inObject is "
            "%s.\n",
            TRACE_AT, traceText(output.get()).c_str(), traceText(token).c_str(),
            inObject ? "True" : "False");
    }
    TRACE("(%s, %d) ) ConvertUrlBack: Output string (%s)\n", TRACE_AT,
          traceText(output.get()).c_str());
    node->value = output.release();
    node->ownsValue = 1;
}
