// The web users' own logon pairs: one key per web user below "WebUserInfo", named by the name the
// web server verified (REMOTE_USER), each holding an "Id" and a "Password" exactly as the shared
// pair does (pssec reads and writes them, given the user's key path).
//
// Owns the names of the keys below "WebUserInfo" and which of them belongs to a web user. Key
// names compare without regard to case in the store while web user names do not, so a pair is
// found only under the exact spelling it was stored with, and a name that differs from a stored
// one only in case is never given that one's pair. Never reads or writes a password itself, never
// writes to stdout.
#pragma once

#include <string>
#include <vector>

// Whether `name` can be a web user with a pair: 1 to kWebUserNameMax bytes, no control character
// and no "\" (which would name a key below another).
[[nodiscard]] bool psWebUserNameValid(const char* name);

// The key path of the pair of `name` (a valid name).
[[nodiscard]] std::string psWebUserKeyPath(const char* name);

enum class WebUserLookup {
    kStored,         // a pair's key is stored under exactly this spelling
    kNone,           // no key of that name
    kOtherSpelling,  // a key whose name differs only in case belongs to another web user
};
// Looks for the key of `name`; an unreadable store counts as none.
[[nodiscard]] WebUserLookup psFindWebUser(const char* name);

// The names of the web users with a key, in the store's order; a key that a replacement left set
// aside counts for its web user, one still being written does not. Returns 0, or -1 when the list
// cannot be read (no key at all is an empty list).
[[nodiscard]] int psListWebUsers(std::vector<std::string>* names);

// Deletes every web user's key and then "WebUserInfo" itself; traces what it cannot delete.
void psDeleteWebUsers();
