// see korproxy_special.h
// The setup form's storing step and a web user's own logon form.
#include <strings.h>

#include <cstring>
#include <deque>
#include <string>
#include <string_view>

#include "common/audit.h"
#include "common/limits.h"
#include "common/platform.h"
#include "common/textcopy.h"
#include "common/trace.h"
#include "front/korproxy_access.h"
#include "front/korproxy_errpage.h"
#include "front/korproxy_special.h"
#include "front/korproxy_state.h"
#include "front/korproxy_template.h"
#include "settings/psopts.h"
#include "settings/pssec.h"
#include "settings/pswebusers.h"

static constexpr const char kTraceSource[] = "korproxy";

namespace {

// A stored CGI URL names the program's own folder; one that does not gets it appended.
constexpr const char kProgramFolder[] = "velkproxy";
constexpr const char kProgramFolderSuffix[] = "/velkproxy";

enum class Field { kNone, kId, kPassword, kCgiUrl, kServer, kPort, kAllowed };

struct FieldRule {
    const char* key;
    Field field;
    size_t maxLength;
    const char* auditName;  // how the audit log names the setting
};

// In the order they are tried; a name matches when it begins with the key.
constexpr FieldRule kFieldRules[] = {
    {"ID", Field::kId, kCredentialSize - 1, "id"},
    {"PSWD", Field::kPassword, kCredentialSize - 1, "password"},
    {"CGIURL", Field::kCgiUrl, kOptionTextSize - 1, "cgiUrl"},
    {"DADDRESS", Field::kServer, kOptionTextSize - 1, "server"},
    {"DPORT", Field::kPort, kOptionTextSize - 1, "port"},
    {"ALLOWED", Field::kAllowed, kAllowedServersTextSize - 1, "allowedServers"},
};

const FieldRule* ruleFor(const char* name) {
    if (name == nullptr) return nullptr;
    for (const FieldRule& rule : kFieldRules) {
        if (strncmp(name, rule.key, strlen(rule.key)) == 0) return &rule;
    }
    return nullptr;
}

// One field of the setup form with its value as typed.
struct FormField {
    const FieldRule* rule;
    std::string value;
};

// The setup form's fields, taken from the text as the browser sent it: split at "&" first, then
// each name and value decoded once by the form's rules. Decoding the whole query first would turn
// an escaped "&", "+" or "%" in a password into something else than was typed.
// The values are wiped when they go: a typed password must not stay behind in freed memory (and a
// deque never moves them, which would leave a short one behind in the memory it moved from).
struct FormFields {
    std::deque<FormField> list;
    explicit FormFields(const char* rawText) {
        forEachRawPiece(rawText, [&](const RawPiece& piece) {
            std::string name = decodeFormText(piece.name);
            upperCase(name.data());
            if (const FieldRule* rule = ruleFor(name.c_str())) {
                list.push_back({rule, decodeFormText(piece.value)});
            }
        });
    }
    FormFields(const FormFields&) = delete;
    FormFields& operator=(const FormFields&) = delete;
    ~FormFields() {
        for (FormField& field : list) osWipe(field.value.data(), field.value.size());
    }
};

// The length a value takes in its field, the folder suffix of a CGI URL included.
size_t storedLength(const FormField& field) {
    size_t length = field.value.size();
    if (field.rule->field == Field::kCgiUrl &&
        field.value.find(kProgramFolder) == std::string::npos) {
        length += strlen(kProgramFolderSuffix);
    }
    return length;
}

// The CGI URL becomes the action of every page's form and a word of every server command: a path
// of this web server ("//" would name another one) or a web address, with no blank or control
// character in it.
bool acceptableCgiUrl(std::string_view url) {
    for (char c : url) {
        if (static_cast<unsigned char>(c) <= ' ' || c == '\x7f') return false;
    }
    if (url.starts_with("/")) return !url.starts_with("//");
    return strncasecmp(url.data(), "http://", 7) == 0 ||
           strncasecmp(url.data(), "https://", 8) == 0;
}

// Why a field's value cannot be stored, or an empty text. Empty id, password and CGI URL values
// keep what is stored, so they are never refused.
std::string refusalOf(const FormField& field) {
    const FieldRule& rule = *field.rule;
    const std::string key = rule.key;
    if (field.value.find('\0') != std::string::npos) {
        return "The value of the field " + key + " holds a zero byte. Nothing has been stored.";
    }
    if (storedLength(field) > rule.maxLength) {
        return "The value of the field " + key + " is too long: no more than " +
               std::to_string(rule.maxLength) +
               " characters are accepted. Nothing has been stored.";
    }
    if (rule.field == Field::kCgiUrl && !field.value.empty() && !acceptableCgiUrl(field.value)) {
        return "The CGI URL must be a path that begins with \"/\", or an address that begins with "
               "http:// or https://. Nothing has been stored.";
    }
    // The server and the port reach the trace and the server's address; a line break in them would
    // start a line of its own there.
    if ((rule.field == Field::kServer || rule.field == Field::kPort) &&
        hasControlCharacter(field.value)) {
        return "The value of the field " + key +
               " holds a control character (such as a line break). Nothing has been stored.";
    }
    if (rule.field == Field::kAllowed) {
        std::string problem = allowedServersProblem(field.value.c_str());
        if (!problem.empty()) return htmlEscape(problem) + " Nothing has been stored.";
    }
    return {};
}

struct SetupState {
    char id[kCredentialSize] = {};
    char password[kCredentialSize] = {};
    OptionsRecord opts = {};
    bool optionsChanged = false;
    bool credentialsChanged = false;

    ~SetupState() {
        osWipe(id, sizeof id);
        osWipe(password, sizeof password);
    }
};

// Every value fits (checked before), so the copies cannot fail. Returns true when it changed.
bool replaceText(char* text, size_t size, const char* value, bool* changed) {
    if (strcmp(text, value) == 0) return false;
    (void)copyTextFits(text, size, value);
    *changed = true;
    return true;
}

// Takes one field's value; true when it changes what is stored.
bool applyField(SetupState& state, Field field, const char* value) {
    OptionsRecord& opts = state.opts;
    switch (field) {
        case Field::kId:
            return value[0] != '\0' &&
                   replaceText(state.id, sizeof state.id, value, &state.credentialsChanged);
        case Field::kPassword:
            return value[0] != '\0' && replaceText(state.password, sizeof state.password, value,
                                                   &state.credentialsChanged);
        case Field::kCgiUrl:
            if (value[0] == '\0' || strcmp(opts.cgiUrl, value) == 0) return false;
            (void)copyTextFits(opts.cgiUrl, value);
            state.optionsChanged = true;
            if (strstr(opts.cgiUrl, kProgramFolder) == nullptr) {
                (void)appendTextFits(opts.cgiUrl, sizeof opts.cgiUrl, kProgramFolderSuffix);
            }
            return true;
        case Field::kServer:
            return replaceText(opts.server, sizeof opts.server, value, &state.optionsChanged);
        case Field::kPort:
            return replaceText(opts.port, sizeof opts.port, value, &state.optionsChanged);
        case Field::kAllowed:
            return replaceText(opts.allowedServers, sizeof opts.allowedServers, value,
                               &state.optionsChanged);
        case Field::kNone:
            break;
    }
    return false;
}

// After a form is stored: the default server's start page (the caller's to answer), or the jump
// page.
SpecialResult finalPage(const OptionsRecord& opts) {
    if (opts.server[0] != '\0' && opts.port[0] != '\0') return SpecialResult::kStartPage;
    showFile(kJumpPage);
    return SpecialResult::kAnswered;
}

// LOGON=SET: the id and password typed into the logon form, under the form's rules (an empty field
// keeps what is stored), stored as the web user's own pair.
SpecialResult storeOwnLogon(const char* webUser, const char* rawText) {
    SetupState state;
    if (psFindWebUser(webUser) == WebUserLookup::kStored &&
        psReadPairAt(psWebUserKeyPath(webUser).c_str(), state.id, state.password) != 0) {
        state.id[0] = '\0';
        state.password[0] = '\0';
    }
    const FormFields fields(rawText);
    for (const FormField& field : fields.list) {
        if (field.rule->field != Field::kId && field.rule->field != Field::kPassword) continue;
        std::string refusal = refusalOf(field);
        if (!refusal.empty()) {
            auditRefuse("bad-request");
            printErrorPage(refusal.c_str(), 0);
            return SpecialResult::kAnswered;
        }
        if (applyField(state, field.rule->field, field.value.c_str())) {
            auditField(field.rule->auditName);
        }
    }
    if (state.id[0] == '\0' || state.password[0] == '\0') {
        auditRefuse("bad-request");
        printErrorPage("Both an id and a password are needed. Nothing has been stored.", 0);
        return SpecialResult::kAnswered;
    }
    if (state.credentialsChanged) {
        int rc = storeWebUserLogon(webUser, state.id, state.password);
        TRACE("(%s, %i) The web user's own logon updated rc=%d\n", TRACE_AT, rc);
        if (rc != 0) {
            auditResult("store-failed");
            printErrorPage(rc == kWebUserOtherSpelling
                               ? kOtherSpellingRefusal
                               : "An error occured while updating the password file\n",
                           0);
            return SpecialResult::kAnswered;
        }
    }
    return finalPage(optsP != nullptr ? *optsP : OptionsRecord{});
}

}  // namespace

SpecialResult doLogonRequest(const char* action, const char* rawText) {
    TRACE("(%s, %i) A web user's own logon via the ?logon option\n", TRACE_AT);
    const char* webUser = getenv("REMOTE_USER");
    if (webUser == nullptr || webUser[0] == '\0') {
        auditRefuse("login");
        printErrorPage("A logon of one's own needs a web login.", 0);
        return SpecialResult::kAnswered;
    }
    if (!psWebUserNameValid(webUser)) {
        auditRefuse("bad-request");
        printErrorPage(webUserNameRefusal(webUser).c_str(), 0);
        return SpecialResult::kAnswered;
    }
    bool set = action != nullptr && strcasecmp(action, "SET") == 0;
    bool remove = action != nullptr && strcasecmp(action, "DELETE") == 0;
    if (set || remove) auditCurrent().event = AuditEvent::kLogon;
    if (set) return storeOwnLogon(webUser, rawText);
    if (remove) {
        bool removed = deleteWebUserLogon(webUser);
        if (removed) auditField("id,password");
        TRACE("(%s, %i) The web user's own logon removed: %d\n", TRACE_AT, removed ? 1 : 0);
        return finalPage(optsP != nullptr ? *optsP : OptionsRecord{});
    }
    showLogonForm(webUser);
    return SpecialResult::kAnswered;
}

SpecialResult doSetupRequest(const char* rawText) {
    TRACE("(%s, %i) Configuring the server via the ?config option", TRACE_AT);
    auditCurrent().event = AuditEvent::kSetup;
    SetupState state;
    if (psReadPasswordFile(state.id, state.password) != 0) {
        state.id[0] = '\0';
        state.password[0] = '\0';
    }
    const FormFields fields(rawText);
    for (const FormField& field : fields.list) {
        std::string refusal = refusalOf(field);
        if (refusal.empty()) continue;
        auditRefuse("bad-request");
        printErrorPage(refusal.c_str(), 0);
        return SpecialResult::kAnswered;
    }
    if (optsP != nullptr) state.opts = *optsP;
    for (const FormField& field : fields.list) {
        if (applyField(state, field.rule->field, field.value.c_str())) {
            auditField(field.rule->auditName);
        }
    }

    std::string failures;
    if (state.optionsChanged) {
        TRACE("(%s, %i) Updating default options\n", TRACE_AT);
        int rc = psWriteDefaultFile(&state.opts);
        TRACE("(%s, %i) Options updated rc=%d\n", TRACE_AT, rc);
        if (rc != 0) {
            failures += "An error occured while updating the default options.\n";
            auditResult("store-failed");
        }
    }
    if (state.credentialsChanged) {
        TRACE("(%s, %i) Updating nodename and password\n", TRACE_AT);
        int rc = psUpdatePasswordFile(state.id, state.password);
        TRACE("(%s, %i) Nodename and password updated rc=%d\n", TRACE_AT, rc);
        if (rc != 0) {
            failures += "An error occured while updating the password file\n";
            auditResult("store-failed");
        }
    }
    if (optsP != nullptr) *optsP = state.opts;
    // A failed store ends the response with its page: a start page after it would hide it.
    if (!failures.empty()) {
        printErrorPage(failures.c_str(), 0);
        return SpecialResult::kAnswered;
    }
    return finalPage(state.opts);
}
