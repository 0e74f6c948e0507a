// see korproxy_special.h
// The request walk, who may change the settings, and FORCETRACE; the setup form's storing step is
// in korproxy_setup.cpp.
#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/audit.h"
#include "common/trace.h"
#include "front/korproxy_errpage.h"
#include "front/korproxy_special.h"
#include "front/korproxy_state.h"
#include "front/korproxy_template.h"

static constexpr const char kTraceSource[] = "korproxy";

namespace {

constexpr const char kNeedsLogin[] =
    "Changing the proxy's settings needs a web login: configure the web server to ask for one for "
    "this program.";
constexpr const char kNotOwnPage[] = "Settings can only be changed from the proxy's own pages.";

// The host (with its port, if any) that a Referer names: what lies between "//" and the path;
// empty when the text names none.
std::string_view refererHost(std::string_view referer) {
    size_t start = referer.find("//");
    if (start == std::string_view::npos) return {};
    std::string_view rest = referer.substr(start + 2);
    rest = rest.substr(0, rest.find_first_of("/?#"));
    size_t at = rest.rfind('@');
    return at == std::string_view::npos ? rest : rest.substr(at + 1);
}

// The browser says the request was sent by a page of another site: a link or a form elsewhere
// must not reconfigure the proxy for a signed-in administrator.
bool fromAnotherSite() {
    const char* site = getenv("HTTP_SEC_FETCH_SITE");
    if (site != nullptr && strcasecmp(site, "cross-site") == 0) return true;
    const char* referer = getenv("HTTP_REFERER");
    std::string_view host = refererHost(referer != nullptr ? referer : "");
    if (host.empty()) return false;
    const char* own = getenv("HTTP_HOST");
    if (own == nullptr) return true;
    return host.size() != strlen(own) || strncasecmp(host.data(), own, host.size()) != 0;
}

// Why a settings request may not be honoured, or null when it may. The program has no login of
// its own, and a rule of the web server on the raw query cannot follow the program's decoding, so
// the program asks for the web server's login itself.
const char* settingsRefusal(const RequestOrigin& origin) {
    if (origin.console) return nullptr;
    const char* user = getenv("REMOTE_USER");
    if (user == nullptr || user[0] == '\0') return kNeedsLogin;
    if (fromAnotherSite()) return kNotOwnPage;
    return nullptr;
}

bool hasPrefix(const char* name, const char* key) {
    return name != nullptr && strncmp(name, key, strlen(key)) == 0;
}

// One "name=value," piece of the query dump; a password never reaches the trace.
void traceArgument(const ArgNode& node) {
    if (isPasswordName(node.name)) {
        TRACE("%s=%s,", traceText(node.name).c_str(), kMaskedValue);
        return;
    }
    TRACE("%s=%s,", traceText(node.name != nullptr ? node.name : "*NULL*").c_str(),
          traceText(node.value != nullptr ? node.value : "*NULL*").c_str());
}

void forceTrace(ArgNode* head, bool* queryDumped) {
    openTraceFile(kForcedTraceFile);
    if (!traceOn()) return;
    TRACE("(%s, %d) FORCETRACE option specified\n", TRACE_AT);
    if (optsP != nullptr) traceOptions(TRACE_AT, *optsP);
    TRACE("(%s, %d) Query was: ", TRACE_AT);
    if (!*queryDumped) {
        for (const ArgNode* node = head; node != nullptr; node = node->next) traceArgument(*node);
        *queryDumped = true;
    }
    TRACE("\n");
}

}  // namespace

SpecialResult doSpecialRequest(ArgNode* head, const RequestOrigin& origin) {
    bool queryDumped = false;
    for (ArgNode* node = head; node != nullptr; node = node->next) {
        if (hasPrefix(node->name, "JUMP")) {
            showFile(kJumpPage);
            return SpecialResult::kAnswered;
        }
        bool setup = hasPrefix(node->name, "SETUP");
        bool config = hasPrefix(node->name, "CONFIG");
        bool logon = hasPrefix(node->name, "LOGON");
        if (!setup && !config && !logon && !hasPrefix(node->name, "FORCETRACE")) continue;
        if (const char* refusal = settingsRefusal(origin)) {
            TRACE("(%s, %d) Settings request refused: %s\n", TRACE_AT, refusal);
            auditRefuse(refusal == kNeedsLogin ? "login" : "cross-site");
            printErrorPage(refusal, 0);
            return SpecialResult::kAnswered;
        }
        if (setup) return doSetupRequest(origin.rawText);
        if (config) {
            showFile(kSetupFormPage);
            return SpecialResult::kAnswered;
        }
        if (logon) return doLogonRequest(node->value, origin.rawText);
        forceTrace(head, &queryDumped);
    }
    return SpecialResult::kNone;
}
