// see korproxy_access.h
#include "front/korproxy_access.h"

#include <strings.h>

#include <cstring>
#include <string_view>

#include "common/trace.h"
#include "front/korproxy_errpage.h"
#include "settings/pssec.h"
#include "settings/pswebusers.h"

static constexpr const char kTraceSource[] = "korproxy";

namespace {

// A server or web user name longer than this is shown cut on a refusal page (no entry and no web
// user with a pair is that long), so the page's message always fits the descriptor.
constexpr size_t kShownTextMax = 128;
constexpr uint32_t kHighestPort = 65535;
// What a request's port that is not a plain number compares as: equal to no port of the list.
constexpr uint32_t kNoPort = kHighestPort + 1;

AccessRecord record;

// One entry of the allowed list, blanks around it dropped.
struct ServerEntry {
    std::string_view host;
    std::string_view port;  // empty: every port
    bool hasPort = false;
};

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

ServerEntry splitEntry(std::string_view entry) {
    ServerEntry parts;
    size_t colon = entry.find(':');
    parts.host = entry.substr(0, colon);
    if (colon != std::string_view::npos) {
        parts.port = entry.substr(colon + 1);
        parts.hasPort = true;
    }
    return parts;
}

// A port written in digits only, 1 to 65535; 0 when the text is not one. A request's port that is
// anything else matches no port of the list, so that what is compared is what is connected to.
uint32_t portNumber(std::string_view port) {
    if (port.empty()) return 0;
    uint32_t value = 0;
    for (char c : port) {
        if (c < '0' || c > '9') return 0;
        value = value * 10 + static_cast<uint32_t>(c - '0');
        if (value > kHighestPort) return 0;
    }
    return value;
}

bool hostUsable(std::string_view host) {
    if (host.empty()) return false;
    for (char c : host) {
        if (static_cast<unsigned char>(c) <= ' ' || c == '\x7f') return false;
    }
    return true;
}

// Why one entry cannot stand in the list, or null.
const char* entryProblem(std::string_view entry) {
    if (entry.empty()) return "an entry is empty";
    if (entry.size() > kAllowedServerEntryMax) return "an entry is too long";
    ServerEntry parts = splitEntry(entry);
    if (!hostUsable(parts.host)) return "an entry has no host, or a blank or control character";
    if (parts.hasPort && portNumber(parts.port) == 0) {
        return "a port is not a number from 1 to 65535";
    }
    return nullptr;
}

// Calls `each` with every entry of the list, trimmed, until it returns true; true when it did.
template <typename Each>
bool anyEntry(std::string_view list, Each each) {
    while (true) {
        size_t comma = list.find(',');
        if (each(trimmed(list.substr(0, comma)))) return true;
        if (comma == std::string_view::npos) return false;
        list.remove_prefix(comma + 1);
    }
}

bool sameHost(std::string_view entryHost, const char* host) {
    return entryHost.size() == strlen(host) &&
           strncasecmp(entryHost.data(), host, entryHost.size()) == 0;
}

bool entryAllows(std::string_view entry, const char* host, uint32_t port) {
    if (entryProblem(entry) != nullptr) return false;
    ServerEntry parts = splitEntry(entry);
    return sameHost(parts.host, host) && (!parts.hasPort || portNumber(parts.port) == port);
}

bool isDefaultServer(const OptionsRecord& opts, const char* host, uint32_t port) {
    return opts.server[0] != '\0' && strcasecmp(opts.server, host) == 0 &&
           portNumber(opts.port) == port;
}

std::string shown(const char* given) {
    std::string_view text = given != nullptr ? given : "";
    if (text.size() <= kShownTextMax) return htmlEscape(text);
    return htmlEscape(text.substr(0, kShownTextMax)) + "...";
}

}  // namespace

const AccessRecord& lastAccessRecord() {
    return record;
}

void clearAccessRecord() {
    record = AccessRecord{};
}

bool sharedLogonAllowed(const OptionsRecord* opts) {
    return opts == nullptr || opts->sharedLogon[0] == '\0' || strcmp(opts->sharedLogon, "1") == 0;
}

int readLogonPair(const char* webUser, const OptionsRecord* opts, char id[kCredentialSize],
                  char password[kCredentialSize], LogonSource* source, std::string* refusal) {
    webUser = webUser != nullptr ? webUser : "";
    record.webUser = webUser;
    record.logon = LogonSource::kNone;
    *source = LogonSource::kNone;
    if (psFindWebUser(webUser) == WebUserLookup::Stored) {
        // A pair of their own that cannot be read is not replaced by the shared one: the web user
        // would act as someone else without knowing it.
        int rc = psReadPairAt(psWebUserKeyPath(webUser).c_str(), id, password);
        if (rc != 0) return rc;
        TRACE("(%s, %i) Logging on with the web user's own id (%s)\n", TRACE_AT,
              traceText(id).c_str());
        *source = record.logon = LogonSource::kOwn;
        return 0;
    }
    if (!sharedLogonAllowed(opts)) {
        TRACE("(%s, %i) No logon of the web user's own, and the shared one may not be used\n",
              TRACE_AT);
        record.refusal = AccessRefusal::kNoLogon;
        *refusal = webUser[0] != '\0' ? "No storage-server logon is stored for the web user " +
                                            shown(webUser) + "."
                                      : "No storage-server logon may be used without a web login.";
        return kNoLogonAllowed;
    }
    int rc = psReadPasswordFile(id, password);
    if (rc == 0) *source = record.logon = LogonSource::kShared;
    return rc;
}

bool serverAllowed(const OptionsRecord* opts, const char* host, const char* port, const char* given,
                   std::string* refusal) {
    record.server = given != nullptr ? given : "";
    if (opts == nullptr || opts->allowedServers[0] == '\0') return true;
    uint32_t number = portNumber(port != nullptr ? port : "");
    if (number == 0) number = kNoPort;
    if (isDefaultServer(*opts, host, number)) return true;
    if (anyEntry(opts->allowedServers,
                 [&](std::string_view entry) { return entryAllows(entry, host, number); })) {
        return true;
    }
    TRACE("(%s, %i) The server is not on the allowed list\n", TRACE_AT);
    record.refusal = AccessRefusal::kServerNotAllowed;
    *refusal = "The server " + shown(given) + " is not one this proxy may connect to.";
    return false;
}

std::string allowedServersProblem(const char* list) {
    std::string_view text = list != nullptr ? list : "";
    if (text.empty()) return {};
    size_t entries = 0;
    const char* problem = nullptr;
    (void)anyEntry(text, [&](std::string_view entry) {
        ++entries;
        problem = entryProblem(entry);
        return problem != nullptr;
    });
    if (problem == nullptr && entries > kAllowedServersMax) problem = "it has too many entries";
    if (problem == nullptr) return {};
    return std::string("The list of allowed servers cannot be stored: ") + problem +
           ". It holds at most " + std::to_string(kAllowedServersMax) + " entries of at most " +
           std::to_string(kAllowedServerEntryMax) +
           " characters each, host or host:port, separated by \",\".";
}

std::string webUserNameRefusal(const char* name) {
    return "The web user name " + shown(name) +
           " cannot have a logon of its own: a name has 1 to " + std::to_string(kWebUserNameMax) +
           " characters, no control character and no \"\\\".";
}

int storeWebUserLogon(const char* name, const char* id, const char* password) {
    if (psFindWebUser(name) == WebUserLookup::OtherSpelling) return kWebUserOtherSpelling;
    return psUpdatePasswordFile(id, password, psWebUserKeyPath(name).c_str());
}

bool deleteWebUserLogon(const char* name) {
    if (psFindWebUser(name) != WebUserLookup::Stored) return false;
    (void)psDeletePairAt(psWebUserKeyPath(name).c_str());
    return true;
}
