// see korproxy_template.h
#include "front/korproxy_template.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/limits.h"
#include "common/platform.h"
#include "common/trace.h"
#include "front/korproxy_errpage.h"
#include "front/korproxy_prodname.h"
#include "front/korproxy_state.h"
#include "settings/pssec.h"
#include "settings/pswebusers.h"
#include "settings/settingskeys.h"

static constexpr const char kTraceSource[] = "korproxy";

namespace {

const char* orEmpty(const char* text) {
    return text != nullptr ? text : "";
}

// The action sits unquoted in the form tag, so besides the HTML escape a blank (which would end
// the attribute) is percent-encoded, as it would have to be in any URL.
void writeFormAction(FILE* out, const char* action) {
    for (const char* p = orEmpty(action); *p != '\0'; ++p) {
        char c = *p;
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f') {
            fprintf(out, "%%%02X", static_cast<unsigned char>(c));
        } else {
            writeHtmlEscaped(out, std::string_view(&c, 1));
        }
    }
}

void writeField(FILE* out, const char* name, const char* value) {
    fprintf(out, "<INPUT TYPE=TEXT SIZE=32 MAXLENGTH=64 NAME=\"%s\" VALUE=\"", name);
    writeHtmlEscaped(out, orEmpty(value));
    fputs("\">\n", out);
}

// Writes what replaces `line` when it holds a marker; false when it holds none that applies.
bool writeMarker(FILE* out, const char* line, bool setupForm, const TemplateValues& values) {
    if (strstr(line, "<!--FORM-->") != nullptr) {
        fputs("<FORM METHOD=GET ACTION=", out);
        writeFormAction(out, values.formAction);
        fputs(">\n", out);
        return true;
    }
    if (strstr(line, "<!--COPYRIGHT-->") != nullptr) {
        fprintf(out, "%s\n", kLegalNotice);
        return true;
    }
    if (!setupForm) return false;
    if (strstr(line, "<!--ID-->") != nullptr) {
        fputs(values.logonForm ? "<INPUT TYPE=HIDDEN NAME=LOGON VALUE=SET>\n"
                               : "<INPUT TYPE=HIDDEN NAME=SETUP VALUE=SETUP>\n",
              out);
        writeField(out, "ID", values.id);
        return true;
    }
    if (strstr(line, "<!--PSWD-->") != nullptr) {
        // An empty password field keeps the stored password when the form comes back.
        fputs("<INPUT TYPE=PASSWORD SIZE=32 MAXLENGTH=64 NAME=\"PSWD\" VALUE=\"\">\n", out);
        return true;
    }
    if (values.logonForm) {
        if (strstr(line, "<!--WEBUSER-->") == nullptr) return false;
        fprintf(out, "%s\n", htmlEscape(orEmpty(values.webUser)).c_str());
        return true;
    }
    if (strstr(line, "<!--CGIURL-->") != nullptr) {
        writeField(out, "CGIURL", values.cgiUrl);
        return true;
    }
    if (strstr(line, "<!--DADDRESS-->") != nullptr) {
        writeField(out, "DADDRESS", values.server);
        return true;
    }
    if (strstr(line, "<!--DPORT-->") != nullptr) {
        writeField(out, "DPORT", values.port);
        return true;
    }
    if (strstr(line, "<!--ALLOWED-->") != nullptr) {
        fprintf(out, "<INPUT TYPE=TEXT SIZE=64 MAXLENGTH=%zu NAME=\"ALLOWED\" VALUE=\"%s\">\n",
                kAllowedServersTextSize - 1, htmlEscape(orEmpty(values.allowedServers)).c_str());
        return true;
    }
    return false;
}

}  // namespace

void renderTemplate(FILE* in, FILE* out, bool setupForm, const TemplateValues& values) {
    char line[kTemplateLineSize];
    while (moreLines(in)) {
        readLine(in, line, sizeof line);
        if (!writeMarker(out, line, setupForm, values)) fprintf(out, "%s\n", line);
    }
}

namespace {

const char* formAction() {
    const char* scriptName = getenv("SCRIPT_NAME");
    const char* action = scriptName != nullptr ? scriptName : kDefaultFormAction;
    if (optsP != nullptr && optsP->cgiUrl[0] != '\0') action = optsP->cgiUrl;
    return action;
}

// Writes the template `name` as the whole response, or the error page when it cannot be opened.
void writePage(const char* name, bool fieldMarkers, const TemplateValues& values) {
    TRACE("(%s, %i) showFile(%s) called\n", TRACE_AT, name);
    // As bytes: the file reaches the page as it lies, on Windows too (no line-end translation
    // there, and no end at a Ctrl-Z).
    FILE* in = fopen(name, "rb");
    if (in == nullptr) {
        int error = errno;
        std::string message =
            "Unable to open file " + htmlEscape(name) + ".  Errno=" + std::to_string(error);
        printErrorPage(message.c_str(), 0);
        return;
    }
    fputs("Content-type: text/html\n\n", stdout);
    renderTemplate(in, stdout, fieldMarkers, values);
    fclose(in);
    fflush(stdout);
}

// The id of a stored pair (the shared one, or a web user's), empty when there is none.
void readStoredId(char id[kCredentialSize], const char* keyPath) {
    char password[kCredentialSize] = {};
    if (psReadPairAt(keyPath, id, password) != 0) id[0] = '\0';
    // The forms never show a password; it was read only because the id comes with it.
    osWipe(password, sizeof password);
}

}  // namespace

void showFile(const char* name) {
    char id[kCredentialSize] = {};
    readStoredId(id, kCredentialsKeyPath);
    const OptionsRecord* opts = optsP;
    TemplateValues values{formAction(),
                          id,
                          opts != nullptr ? opts->cgiUrl : "",
                          opts != nullptr ? opts->server : "",
                          opts != nullptr ? opts->port : "",
                          opts != nullptr ? opts->allowedServers : ""};
    writePage(name, strcmp(name, kSetupFormPage) == 0, values);
}

void showLogonForm(const char* webUser) {
    char id[kCredentialSize] = {};
    if (psFindWebUser(webUser) == WebUserLookup::Stored) {
        readStoredId(id, psWebUserKeyPath(webUser).c_str());
    }
    TemplateValues values{formAction(), id, "", "", "", "", webUser, true};
    writePage(kLogonFormPage, true, values);
}
