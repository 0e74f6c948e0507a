// Who a request logs on to the storage server as, and where the proxy may connect.
//
// Owns the choice of the logon pair (the web user's own, or the shared one when the settings allow
// it), the list of allowed servers (its form, its check, its comparison with a request's server)
// and the record of the last choice and refusal for the rest of the request. Never connects,
// never writes a page, never writes a password to the trace.
#pragma once

#include <string>

#include "common/limits.h"
#include "settings/psopts.h"

// Which stored pair an open logged on with.
enum class LogonSource {
    kNone,    // no pair was taken (refused, or not read)
    kOwn,     // the web user's own pair
    kShared,  // the shared pair of the proxy
};

// Why an open was refused before anything was sent.
enum class AccessRefusal {
    kNone,
    kServerNotAllowed,  // the server is neither the default one nor on the allowed list
    kNoLogon,           // the web user has no pair and the shared one may not be used
};

// What the last open of this request decided; empty before any.
struct AccessRecord {
    LogonSource logon = LogonSource::kNone;
    AccessRefusal refusal = AccessRefusal::kNone;
    std::string webUser;  // REMOTE_USER as the web server gave it; empty without one
    std::string server;   // the server as the request named it (host and port, as given)
};
[[nodiscard]] const AccessRecord& lastAccessRecord();
// Forgets the last record; every open starts with it.
void clearAccessRecord();

// Reads the pair to log on with for the web user `webUser` (REMOTE_USER; null or empty: none):
// their own when one is stored under exactly that name, else the shared pair when `opts` allow it.
// Returns 0 with both filled and *source set; the store's non-zero code when the pair cannot be
// read; kNoLogonAllowed when the shared pair may not be used, with `refusal` holding the page's
// message. Records the outcome.
inline constexpr int kNoLogonAllowed = -3;
[[nodiscard]] int readLogonPair(const char* webUser, const OptionsRecord* opts,
                                char id[kCredentialSize], char password[kCredentialSize],
                                LogonSource* source, std::string* refusal);

// Whether the shared pair may be used: SharedLogon is not stored, or stored as "1".
[[nodiscard]] bool sharedLogonAllowed(const OptionsRecord* opts);

// Whether a request may connect to `host` and `port` (as split from its server): always without a
// stored list; with one, only to the default server or a server on the list. Hosts compare
// without regard to case, ports as numbers (a port that is not a plain number from 1 to 65535
// matches no port); an entry without a port allows every port of its host. When refused, `refusal`
// holds the page's message with `given` (the host and port as the request gave them) HTML-escaped,
// and the outcome is recorded.
[[nodiscard]] bool serverAllowed(const OptionsRecord* opts, const char* host, const char* port,
                                 const char* given, std::string* refusal);

// Why `list` cannot be stored as the allowed servers, or an empty text when it can: at most
// kAllowedServersMax entries of at most kAllowedServerEntryMax characters, each a host (no blank,
// control character or ":") optionally followed by ":" and a port from 1 to 65535. Blanks around
// an entry are ignored. An empty list is no list.
[[nodiscard]] std::string allowedServersProblem(const char* list);

// The page or console text for a REMOTE_USER or -webUser name that cannot have a pair of its own
// (the name HTML-escaped and cut).
[[nodiscard]] std::string webUserNameRefusal(const char* name);
inline constexpr const char kOtherSpellingRefusal[] =
    "Another web user's name differs from this one only in case: a logon cannot be stored for it.";

// Replaces the pair of the web user `name` (a valid name) as one change. Returns 0 when stored,
// kWebUserOtherSpelling when another web user's key has the name in other case, else the
// non-zero result of the write.
inline constexpr int kWebUserOtherSpelling = -5;
[[nodiscard]] int storeWebUserLogon(const char* name, const char* id, const char* password);
// Removes the pair of the web user `name`; false when none was stored under exactly that name.
[[nodiscard]] bool deleteWebUserLogon(const char* name);
