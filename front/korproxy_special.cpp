// see korproxy_special.h
// The request walk and FORCETRACE; the setup form's storing step is in korproxy_setup.cpp.
#include <cstring>

#include "common/trace.h"
#include "front/korproxy.h"
#include "front/korproxy_special.h"
#include "front/korproxy_template.h"

static constexpr const char kTraceSource[] = "korproxy";

namespace {

bool hasPrefix(const char* name, const char* key) {
    return name != nullptr && strncmp(name, key, strlen(key)) == 0;
}

// One "name=value," piece of the query dump; a password never reaches the trace.
void traceArgument(const ArgNode& node) {
    if (isPasswordName(node.name)) {
        TRACE("%s=%s,", node.name, kMaskedValue);
        return;
    }
    TRACE("%s=%s,", node.name != nullptr ? node.name : "*NULL*",
          node.value != nullptr ? node.value : "*NULL*");
}

void forceTrace(ArgNode* head, bool* queryDumped) {
    openTraceFile(kForcedTraceFile);
    if (!traceOn()) return;
    TRACE("(%s, %d) FORCETRACE option specified\n", TRACE_AT);
    if (optsP != nullptr) {
        TRACE("(%s, %d) optsP -> server (%s) port (%s) traceFile (%s) cgiUrl (%s)\n", TRACE_AT,
              optsP->server, optsP->port, optsP->traceFile, optsP->cgiUrl);
    }
    TRACE("(%s, %d) Query was: ", TRACE_AT);
    if (!*queryDumped) {
        for (const ArgNode* node = head; node != nullptr; node = node->next) traceArgument(*node);
        *queryDumped = true;
    }
    TRACE("\n");
}

}  // namespace

int doSpecialRequest(ArgNode* head) {
    bool queryDumped = false;
    for (ArgNode* node = head; node != nullptr; node = node->next) {
        if (hasPrefix(node->name, "JUMP")) {
            showFile(kJumpPage);
            return 1;
        }
        if (hasPrefix(node->name, "SETUP")) {
            (void)doSetupRequest(head);
            return 1;
        }
        if (hasPrefix(node->name, "CONFIG")) {
            showFile(kSetupFormPage);
            return 1;
        }
        if (hasPrefix(node->name, "FORCETRACE")) forceTrace(head, &queryDumped);
    }
    return 0;
}
