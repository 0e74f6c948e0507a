// see korproxy_args.h
#include "front/korproxy_args.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <strings.h>

#include "common/trace.h"
#include "front/korproxy_errpage.h"

static constexpr const char kTraceSource[] = "korproxy";

namespace {

size_t countPieces(const char* text) {
    size_t pieces = 1;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == '&') ++pieces;
    }
    return pieces;
}

// Frees the nodes of a list under construction; the text block stays with the caller.
void freeNodesOnly(ArgNode* head) {
    while (head != nullptr) {
        ArgNode* next = head->next;
        free(head);
        head = next;
    }
}

// The length of the piece of `in` that unescapeUrl turns into one byte: an escape, or one byte.
size_t escapeLength(const char* in) {
    return in[0] == '%' && in[1] != '\0' && in[2] != '\0' ? 3 : 1;
}

// Marks the bytes of `text` that a password field's value covers, as the setup form splits it.
void markPasswordValues(const char* text, std::vector<bool>& marks) {
    forEachRawPiece(text, [&](const RawPiece& piece) {
        if (!piece.hasValue || !isPasswordName(decodeFormText(piece.name).c_str())) return;
        const size_t start = static_cast<size_t>(piece.value.data() - text);
        std::fill_n(marks.begin() + static_cast<std::ptrdiff_t>(start), piece.value.size(), true);
    });
}

// Which bytes of the request text `text` belong to a password, so that the trace shows none of
// them. The setup form takes its fields from the text as it was sent (`sent`, when `text` is its
// decoding): a password holding an escaped "&" is one value there, though the decoded text splits
// it in two. A password piece of the decoded text counts as well.
std::vector<bool> passwordBytes(const char* text, const char* sent) {
    std::vector<bool> marks(strlen(text) + 1, false);
    markPasswordValues(text, marks);
    if (sent == nullptr) return marks;
    std::vector<bool> sentMarks(strlen(sent) + 1, false);
    markPasswordValues(sent, sentMarks);
    // Steps through `sent` as unescapeUrl decodes it: decoded byte `at` comes from sent byte `in`.
    size_t in = 0;
    for (size_t at = 0; at + 1 < marks.size() && sent[in] != '\0'; ++at) {
        if (sentMarks[in]) marks[at] = true;
        in += escapeLength(sent + in);
    }
    return marks;
}

// The request text as the trace shows it: each run of password bytes replaced.
std::string maskedArgs(const char* text, const std::vector<bool>& secret) {
    std::string shown;
    for (size_t i = 0; text[i] != '\0'; ++i) {
        if (!secret[i]) {
            shown += text[i];
        } else if (i == 0 || !secret[i - 1]) {
            shown += kMaskedValue;
        }
    }
    return traceText(shown);
}

// The name and value of a piece as the trace shows them; a piece that lies within a password
// shows neither.
void traceNode(const ArgNode& node, const char* text, const std::vector<bool>& secret) {
    const bool inPassword = secret[static_cast<size_t>(node.name - text)];
    const bool maskValue =
        inPassword || isPasswordName(node.name) || secret[static_cast<size_t>(node.value - text)];
    TRACE("(%s, %i) name = (%s) value = (%s)\n", TRACE_AT,
          inPassword ? kMaskedValue : traceText(node.name).c_str(),
          maskValue ? kMaskedValue : traceText(node.value).c_str());
}

}  // namespace

bool isPasswordName(const char* name) {
    if (name == nullptr) return false;
    return strncasecmp(name, kPasswordFieldName, strlen(kPasswordFieldName)) == 0;
}

ArgNode* buildArgList(char* text, bool* pageWritten, const char* sent) {
    if (pageWritten != nullptr) *pageWritten = false;
    if (text == nullptr || text[0] == '\0') return nullptr;
    std::vector<bool> secret;
    if (traceOn()) {
        secret = passwordBytes(text, sent);
        TRACE("(%s, %i) args are (%s)\n", TRACE_AT, maskedArgs(text, secret).c_str());
    }

    // The count comes first, so that a refused request has not been cut up.
    size_t pieces = countPieces(text);
    if (pieces > kMaxArgPieces) {
        TRACE("(%s, %i) Request refused: %zu arguments\n", TRACE_AT, pieces);
        char message[160];
        snprintf(message, sizeof message,
                 "This request holds %zu arguments; no more than %zu are accepted.", pieces,
                 kMaxArgPieces);
        printErrorPage(message, 0);
        if (pageWritten != nullptr) *pageWritten = true;
        return nullptr;
    }

    ArgNode* head = nullptr;
    ArgNode* tail = nullptr;
    char* piece = text;
    while (piece != nullptr) {
        char* amp = strchr(piece, '&');
        if (amp != nullptr) *amp = '\0';
        auto* node = static_cast<ArgNode*>(calloc(1, sizeof(ArgNode)));
        if (node == nullptr) {
            freeNodesOnly(head);
            printErrorPage("Out of Memory!!", 0);
            if (pageWritten != nullptr) *pageWritten = true;
            return nullptr;
        }
        node->name = piece;
        char* eq = strchr(piece, '=');
        if (eq != nullptr) {
            *eq = '\0';
            node->value = eq + 1;
            if (!secret.empty()) traceNode(*node, text, secret);
        }
        upperCase(node->name);
        if (tail == nullptr) {
            head = node;
        } else {
            tail->next = node;
        }
        tail = node;
        piece = amp != nullptr ? amp + 1 : nullptr;
    }
    return head;
}

void freeArgList(ArgNode** head) {
    if (head == nullptr || *head == nullptr) return;
    ArgNode* node = *head;
    free(node->name);  // the text block starts with the first piece
    while (node != nullptr) {
        ArgNode* next = node->next;
        if (node->ownsValue == 1) free(node->value);
        free(node);
        node = next;
    }
    *head = nullptr;
}

void forEachRawPiece(const char* text, const std::function<void(const RawPiece&)>& visit) {
    for (const char* piece = text; piece != nullptr;) {
        const char* amp = strchr(piece, '&');
        std::string_view whole = amp != nullptr ? std::string_view(piece, amp - piece) : piece;
        size_t eq = whole.find('=');
        if (eq == std::string_view::npos) {
            visit({whole, {}, false});
        } else {
            visit({whole.substr(0, eq), whole.substr(eq + 1), true});
        }
        piece = amp != nullptr ? amp + 1 : nullptr;
    }
}

std::string decodeFormText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '+') {
            c = ' ';
        } else if (c == '%' && i + 2 < text.size() &&
                   isxdigit(static_cast<unsigned char>(text[i + 1])) &&
                   isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            c = static_cast<char>(16 * hexDigitValue(text[i + 1]) + hexDigitValue(text[i + 2]));
            i += 2;
        }
        out += c;
    }
    return out;
}

char* unescapeUrl(char* text, bool* zeroByte) {
    if (zeroByte != nullptr) *zeroByte = false;
    if (text == nullptr || text[0] == '\0') return text;
    // One pass: `out` trails `in`, so the text only shrinks and a decoded byte is never re-read.
    // "+" becomes a space after decoding, so an encoded plus becomes one as well.
    char* out = text;
    for (const char* in = text; *in != '\0'; ++out) {
        char c = *in;
        if (escapeLength(in) == 3) {
            c = static_cast<char>(16 * hexDigitValue(in[1]) + hexDigitValue(in[2]));
            in += 3;
            if (c == '\0') {  // an escape such as %zz decodes to a zero byte: the text ends
                if (zeroByte != nullptr) *zeroByte = true;
                break;
            }
        } else {
            ++in;  // includes a "%" too close to the end to be an escape: kept as it is
        }
        *out = c == '+' ? ' ' : c;
    }
    *out = '\0';
    return text;
}

void upperCase(char* text) {
    for (char* p = text; *p != '\0'; ++p) {
        auto c = static_cast<unsigned char>(*p);
        if (isalpha(c)) *p = static_cast<char>(toupper(c));
    }
}

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

ArgNode* findArgPrefix(ArgNode* head, const char* key) {
    size_t keyLength = strlen(key);
    for (ArgNode* node = head; node != nullptr; node = node->next) {
        if (strncmp(node->name, key, keyLength) == 0) return node;
    }
    return nullptr;
}

ArgNode* findArgExact(ArgNode* head, const char* key) {
    for (ArgNode* node = head; node != nullptr; node = node->next) {
        if (strcmp(node->name, key) == 0) return node;
    }
    return nullptr;
}
