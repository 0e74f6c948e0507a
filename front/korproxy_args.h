// The request argument list: a request text of the form name=value&name=value split in place into
// a linked list of name/value pairs, the in-place decoding of URL escapes, and the decoding of one
// piece of the text as it was sent, by the rules of a browser's form.
//
// Owns the list's nodes, the request text a list was built from, and the values that the URL
// conversion attaches to it. Never decodes while splitting (callers decide when to decode); the
// list never copies a piece.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "common/limits.h"

// One piece of a request. `name` (upper-cased) and, unless `ownsValue` is 1, `value` point into the
// list's text block; `value` is null when the piece holds no "=".
struct ArgNode {
    char* name;
    int32_t ownsValue;
    char* value;
    ArgNode* next;
};

// Splits `text` at every "&" and each piece at its first "=", upper-casing the names. `text` must
// be one block from the C allocator that starts the first piece; the returned list owns it. Returns
// the head, or null when `text` is null or empty, when it holds more than kMaxArgPieces pieces, or
// when a node cannot be allocated. On null the text stays the caller's. In the last two cases an
// error page has been written, and `pageWritten` (when given) is set to true so that the caller
// writes no second page; otherwise it is set to false. `sent`, when given, is the text as it was
// sent, of which `text` is the unescapeUrl decoding: the trace then masks every password value as
// the setup form takes it from there, whole.
[[nodiscard]] ArgNode* buildArgList(char* text, bool* pageWritten = nullptr,
                                    const char* sent = nullptr);

// Frees the text block, every owned value and every node of the list held in `*head`, and sets
// `*head` to null. An empty list is left alone.
void freeArgList(ArgNode** head);

// Decodes %XX escapes and then turns every "+" into a space, in place; returns `text`. A decoded
// byte is never decoded again. A "%" with fewer than two characters before the end stays as it is.
// An escape that decodes to a zero byte ends the text there, and sets `*zeroByte` (when given).
// Null and empty texts are returned unchanged.
char* unescapeUrl(char* text, bool* zeroByte = nullptr);

// One piece of a request text as it was sent: `value` is empty and `hasValue` false when the piece
// holds no "=".
struct RawPiece {
    std::string_view name;
    std::string_view value;
    bool hasValue;
};
// Calls `visit` with every piece of `text`, split at each "&" and at the first "=" of a piece,
// without changing or decoding anything.
void forEachRawPiece(const char* text, const std::function<void(const RawPiece&)>& visit);

// Decodes one name or value of a form as a browser encodes it: "+" is a blank and "%" with two
// hexadecimal digits is that byte; anything else, a stray "%" among it, stays as it is.
[[nodiscard]] std::string decodeFormText(std::string_view text);

// Upper-cases the letters of `text` in place.
void upperCase(char* text);

// The value of `c` as a hexadecimal digit; 0 for any character that is not one.
[[nodiscard]] int hexDigitValue(char c);

// The setup form's password field: a name that begins with it (in any case) is one, and its value
// never reaches the trace; kMaskedValue is written in its place.
inline constexpr const char kPasswordFieldName[] = "PSWD";
inline constexpr const char kMaskedValue[] = "*****";
[[nodiscard]] bool isPasswordName(const char* name);

// The first node whose name begins with `key` (SERVER matches SERVERX), or null.
[[nodiscard]] ArgNode* findArgPrefix(ArgNode* head, const char* key);
// The first node whose name is exactly `key`, or null.
[[nodiscard]] ArgNode* findArgExact(ArgNode* head, const char* key);

// Holds a list for a scope and frees it at the end.
struct ArgListFree {
    void operator()(ArgNode* head) const { freeArgList(&head); }
};
using ArgList = std::unique_ptr<ArgNode, ArgListFree>;
