// see korproxy_cmdline.h
#include "front/korproxy_cmdline.h"

#include <cstring>
#include <string>

#include "common/limits.h"
#include "common/platform.h"
#include "common/textcopy.h"
#include "common/trace.h"
#include "front/korproxy.h"
#include "front/korproxy_errpage.h"
#include "front/korproxy_prodname.h"
#include "front/korproxy_special.h"
#include "settings/psopts.h"
#include "settings/pssec.h"

static constexpr const char kTraceSource[] = "korproxy";

namespace {

enum class Option {
    Uninstall,
    Post,
    Server,
    Port,
    CgiUrl,
    Trace,
    Id,
    Password,
    Request,
    RequireLogin
};

struct OptionRule {
    const char* prefix;  // compared for its own length, case-sensitive
    const char* name;    // how messages name the option
    Option option;
    bool needsValue;
};

// Tried in this order; the first whose prefix begins the argument is taken.
constexpr OptionRule kOptionRules[] = {
    {"-uninstall", "-uninstall", Option::Uninstall, false},
    {"-post", "-post", Option::Post, false},
    {"-tcps", "-tcps", Option::Server, true},
    {"-tcpp", "-tcpp", Option::Port, true},
    {"-cgiUrl", "-cgiUrl", Option::CgiUrl, true},
    {"-trace", "-trace", Option::Trace, true},
    {"-proxyI", "-proxyId", Option::Id, true},
    {"-proxyP", "-proxyPassword", Option::Password, true},
    {"-request", "-request", Option::Request, true},
    {"-requireLogin", "-requireLogin", Option::RequireLogin, true},
};

bool isOption(const char* argument, const OptionRule& rule) {
    return strncmp(argument, rule.prefix, strlen(rule.prefix)) == 0;
}

const OptionRule* ruleFor(const char* argument, bool withValue) {
    for (const OptionRule& rule : kOptionRules) {
        if (rule.needsValue && !withValue) continue;
        if (isOption(argument, rule)) return &rule;
    }
    return nullptr;
}

// The state of one scan.
struct Scan {
    char* request;
    size_t requestSize;
    int* postFlag;
    char id[kCredentialSize] = {};
    char password[kCredentialSize] = {};
    bool optionsChanged = false;
    bool uninstall = false;
    bool refused = false;

    ~Scan() {
        osWipe(id, sizeof id);
        osWipe(password, sizeof password);
    }
};

// Copies `value` into its field, or refuses it with a message naming the option.
void takeValue(Scan& scan, const OptionRule& rule, char* field, size_t size, const char* value) {
    if (copyTextFits(field, size, value)) return;
    printf(
        "ERROR: The value given with %s is longer than %zu characters; nothing has been "
        "stored.\n",
        rule.name, size - 1);
    scan.refused = true;
}

// A stored option text: the server, the port, the CGI URL and the trace file name reach the trace,
// the server's address and the pages' forms, where a control character would start a line of its
// own or end the text early.
void takeOptionText(Scan& scan, const OptionRule& rule, char* field, size_t size,
                    const char* value) {
    scan.optionsChanged = true;
    if (!hasControlCharacter(value)) {
        takeValue(scan, rule, field, size, value);
        return;
    }
    printf("ERROR: The value given with %s holds a control character; nothing has been stored.\n",
           rule.name);
    scan.refused = true;
}

// The stored text of -requireLogin=yes|no; any other value is refused.
void takeLoginRule(Scan& scan, OptionsRecord& opts, const char* value) {
    const char* stored = strcmp(value, "yes") == 0 ? "1" : strcmp(value, "no") == 0 ? "0" : nullptr;
    if (stored == nullptr) {
        printf("ERROR: -requireLogin takes yes or no; nothing has been stored.\n");
        scan.refused = true;
        return;
    }
    (void)copyTextFits(opts.requireLogin, stored);
    scan.optionsChanged = true;
}

void applyOption(Scan& scan, const OptionRule& rule, const char* value) {
    OptionsRecord& opts = *optsP;
    switch (rule.option) {
        case Option::Uninstall:
            scan.uninstall = true;
            break;
        case Option::Post:
            *scan.postFlag = 1;
            break;
        case Option::Server:
            takeOptionText(scan, rule, opts.server, sizeof opts.server, value);
            break;
        case Option::Port:
            takeOptionText(scan, rule, opts.port, sizeof opts.port, value);
            break;
        case Option::CgiUrl:
            takeOptionText(scan, rule, opts.cgiUrl, sizeof opts.cgiUrl, value);
            break;
        case Option::Trace:
            takeOptionText(scan, rule, opts.traceFile, sizeof opts.traceFile, value);
            break;
        case Option::Id:
            takeValue(scan, rule, scan.id, sizeof scan.id, value);
            break;
        case Option::Password:
            takeValue(scan, rule, scan.password, sizeof scan.password, value);
            break;
        case Option::Request:
            takeValue(scan, rule, scan.request, scan.requestSize, value);
            break;
        case Option::RequireLogin:
            takeLoginRule(scan, opts, value);
            break;
    }
}

// The argument as the trace shows it: the password option never with its value.
const char* tracedArgument(const char* argument) {
    for (const OptionRule& rule : kOptionRules) {
        if (rule.option == Option::Password && isOption(argument, rule))
            return "-proxyPassword=*****";
    }
    return argument;
}

// Applies one argument; false when it ends the scan (uninstall).
bool scanArgument(Scan& scan, const char* argument) {
    const char* equals = strchr(argument, '=');
    const OptionRule* rule = ruleFor(argument, equals != nullptr);
    if (rule == nullptr && equals == nullptr) {
        printf("ERROR: Invalid option entered (%s), no value specified.\n", argument);
        return true;
    }
    if (rule == nullptr) {
        printf("ERROR: Invalid option entered (%s).\n", argument);
        return true;
    }
    applyOption(scan, *rule, rule->needsValue ? equals + 1 : "");
    return rule->option != Option::Uninstall;
}

void storeResults(Scan& scan) {
    if (scan.optionsChanged) {
        // An unset trace file is stored as tracing off.
        if (optsP->traceFile[0] == '\0') (void)copyTextFits(optsP->traceFile, "null");
        if (psWriteDefaultFile(optsP) == 0) {
            fputs("Default options have been updated.\n", stdout);
        } else {
            fputs("An error occured while updating the default options.\n", stdout);
        }
    }
    if (scan.id[0] != '\0' && scan.password[0] != '\0') {
        int rc = psUpdatePasswordFile(scan.id, scan.password);
        if (rc == 0) {
            fputs("Password file has been updated\n", stdout);
        } else {
            printf("An error occured while updating the password file (rc = %i).\n", rc);
        }
        return;
    }
    if (scan.request[0] != '\0') {
        if (!scan.optionsChanged) printf("Processing request (%s)\n", scan.request);
        return;
    }
    if (!scan.optionsChanged) printUsage();
}

}  // namespace

void processOptions(int argc, char** argv, char* request, size_t requestSize, int* postFlag) {
    if (request == nullptr || requestSize == 0 || postFlag == nullptr || optsP == nullptr) return;
    request[0] = '\0';
    *postFlag = 0;
    if (argc < 2) {
        printUsage();
        return;
    }
    Scan scan{request, requestSize, postFlag};
    for (int i = 1; i < argc; ++i) {
        TRACE("Processing command option (%s) i = %i\n", traceText(tracedArgument(argv[i])).c_str(),
              i);
        if (!scanArgument(scan, argv[i])) break;
    }
    if (scan.refused) {
        // A refused value cancels the whole command line: nothing stored, removed or replayed.
        request[0] = '\0';
        return;
    }
    if (scan.uninstall) {
        TRACE("(%s, %d) Uninstalling the web proxy.", TRACE_AT);
        psDeletePasswordFile();
        psDeleteDefaultFile(1);
        return;
    }
    storeResults(scan);
    fflush(stdout);
}

void printUsage() {
    printUsageTo(stdout);
}

void printUsageTo(FILE* out) {
    std::string productLine = std::string(productName) + " Version " + productVersion + "\n";
    std::string noticeLine = std::string(kLegalNotice) + "\n\n";
    const char* const banner[10] = {
        "\n",
        productLine.c_str(),
        "korproxy: the web administration proxy, command-line administration\n",
        noticeLine.c_str(),
    };
    static const char* const usage[] = {
        "Usage for korproxy: \n",
        "   -proxyId=<id>\n\tAdministrator id on the server\n\n",
        "   -proxyPassword=<password>\n\tAdministrator password on the server\n\n",
        "   -cgiUrl=<URL>\n\tURL to cgi-bin directory\n\n",
        "   [-tcps=<ip address>]\n\tSet the default Server TCP/IP address\n\n",
        "   [-tcpp=<ip port>]\n\tSet the default Server TCP/IP port \n\n",
        "   [-trace=<trace filename>]\n\tSet the trace file name. This turns tracing on.\n\n",
        "   [-request=<request>]\n\tGet or post request in the following format\n",
        "   \tSERVER=<http://velk.example.com:1500>&URL=<url> where <> denotes input\n"
        "\tinformation\n",
        "   -uninstall\n\tUninstall the web proxy.\n\n",
        "   [-requireLogin=yes|no]\n\tRefuse every request that the web server did not sign in\n\n",
    };
    for (const char* piece : banner) {
        if (piece != nullptr) fputs(piece, out);
    }
    for (const char* piece : usage) {
        if (piece != nullptr) fputs(piece, out);
    }
    fflush(out);
}
