// see korproxy_cmdline.h
#include "front/korproxy_cmdline.h"

#include <cstring>
#include <string>
#include <vector>

#include "common/audit.h"
#include "common/limits.h"
#include "common/platform.h"
#include "common/textcopy.h"
#include "common/trace.h"
#include "front/korproxy_access.h"
#include "front/korproxy_errpage.h"
#include "front/korproxy_prodname.h"
#include "front/korproxy_state.h"
#include "settings/psopts.h"
#include "settings/pssec.h"
#include "settings/pswebusers.h"

static constexpr const char kTraceSource[] = "korproxy";

namespace {

enum class Option {
    kUninstall,
    kPost,
    kCheck,
    kListWebUsers,
    kRemove,
    kServer,
    kPort,
    kCgiUrl,
    kTrace,
    kAuditLog,
    kId,
    kPassword,
    kRequest,
    kAllowServers,
    kSharedLogon,
    kWebUser,
    kRequireLogin,
};

struct OptionRule {
    const char* prefix;  // compared for its own length, case-sensitive
    const char* name;    // how messages name the option
    Option option;
    bool needsValue;
};

// Tried in this order; the first whose prefix begins the argument is taken.
constexpr OptionRule kOptionRules[] = {
    {"-uninstall", "-uninstall", Option::kUninstall, false},
    {"-post", "-post", Option::kPost, false},
    {"-check", "-check", Option::kCheck, false},
    {"-webUsers", "-webUsers", Option::kListWebUsers, false},
    {"-remove", "-remove", Option::kRemove, false},
    {"-tcps", "-tcps", Option::kServer, true},
    {"-tcpp", "-tcpp", Option::kPort, true},
    {"-cgiUrl", "-cgiUrl", Option::kCgiUrl, true},
    {"-trace", "-trace", Option::kTrace, true},
    {"-auditLog", "-auditLog", Option::kAuditLog, true},
    {"-proxyI", "-proxyId", Option::kId, true},
    {"-proxyP", "-proxyPassword", Option::kPassword, true},
    {"-request", "-request", Option::kRequest, true},
    {"-allowServers", "-allowServers", Option::kAllowServers, true},
    {"-sharedLogon", "-sharedLogon", Option::kSharedLogon, true},
    {"-webUser", "-webUser", Option::kWebUser, true},
    {"-requireLogin", "-requireLogin", Option::kRequireLogin, true},
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
    ConsoleChoice* choice;
    char id[kCredentialSize] = {};
    char password[kCredentialSize] = {};
    std::string webUser = {};  // -webUser: the pair of this web user instead of the shared one
    bool optionsChanged = false;
    bool uninstall = false;
    bool refused = false;
    bool listWebUsers = false;
    bool remove = false;

    ~Scan() {
        osWipe(id, sizeof id);
        osWipe(password, sizeof password);
    }
};

// Says why the command line stores nothing, and marks it refused.
void refuse(Scan& scan, const std::string& message) {
    printf("ERROR: %s\n", message.c_str());
    scan.refused = true;
}

// Copies `value` into its field, or refuses it with a message naming the option.
void takeValue(Scan& scan, const OptionRule& rule, char* field, size_t size, const char* value) {
    if (copyTextFits(field, size, value)) return;
    refuse(scan, std::string("The value given with ") + rule.name + " is longer than " +
                     std::to_string(size - 1) + " characters; nothing has been stored.");
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
    refuse(scan, std::string("The value given with ") + rule.name +
                     " holds a control character; nothing has been stored.");
}

// The audit destination must be one the program can write to, or every later line is lost.
void takeAuditLog(Scan& scan, const OptionRule& rule, const char* value) {
    if (value[0] != '\0' && auditSinkOf(value) == AuditSink::kInvalid) {
        return refuse(scan, std::string(rule.name) +
                                " takes syslog, eventlog, off or an absolute file path; nothing "
                                "has been stored.");
    }
    takeValue(scan, rule, optsP->auditLog, sizeof optsP->auditLog, value);
    scan.optionsChanged = true;
}

// The stored text of a yes|no option ("1" or "0") into `field`; any other value is refused.
void takeYesNo(Scan& scan, const OptionRule& rule, char* field, size_t size, const char* value) {
    const char* stored = strcmp(value, "yes") == 0 ? "1" : strcmp(value, "no") == 0 ? "0" : nullptr;
    if (stored == nullptr) {
        return refuse(scan, std::string(rule.name) + " takes yes or no; nothing has been stored.");
    }
    (void)copyTextFits(field, size, stored);
    scan.optionsChanged = true;
}

void takeAllowedServers(Scan& scan, const char* value) {
    std::string problem = allowedServersProblem(value);
    if (!problem.empty()) return refuse(scan, problem + " Nothing has been stored.");
    (void)copyTextFits(optsP->allowedServers, value);
    scan.optionsChanged = true;
}

void takeWebUser(Scan& scan, const char* value) {
    if (!psWebUserNameValid(value)) {
        return refuse(scan, webUserNameRefusal(value) + " Nothing has been stored.");
    }
    scan.webUser = value;
}

void applyOption(Scan& scan, const OptionRule& rule, const char* value) {
    OptionsRecord& opts = *optsP;
    switch (rule.option) {
        case Option::kUninstall:
            scan.uninstall = true;
            break;
        case Option::kPost:
            *scan.postFlag = 1;
            break;
        case Option::kCheck:
            if (scan.choice != nullptr) *scan.choice = ConsoleChoice{true, value, {}};
            break;
        case Option::kServer:
            takeOptionText(scan, rule, opts.server, sizeof opts.server, value);
            break;
        case Option::kPort:
            takeOptionText(scan, rule, opts.port, sizeof opts.port, value);
            break;
        case Option::kCgiUrl:
            takeOptionText(scan, rule, opts.cgiUrl, sizeof opts.cgiUrl, value);
            break;
        case Option::kTrace:
            takeOptionText(scan, rule, opts.traceFile, sizeof opts.traceFile, value);
            break;
        case Option::kAuditLog:
            takeAuditLog(scan, rule, value);
            break;
        case Option::kId:
            takeValue(scan, rule, scan.id, sizeof scan.id, value);
            break;
        case Option::kPassword:
            takeValue(scan, rule, scan.password, sizeof scan.password, value);
            break;
        case Option::kRequest:
            takeValue(scan, rule, scan.request, scan.requestSize, value);
            break;
        case Option::kListWebUsers:
            scan.listWebUsers = true;
            break;
        case Option::kRemove:
            scan.remove = true;
            break;
        case Option::kAllowServers:
            takeAllowedServers(scan, value);
            break;
        case Option::kSharedLogon:
            takeYesNo(scan, rule, opts.sharedLogon, sizeof opts.sharedLogon, value);
            break;
        case Option::kWebUser:
            takeWebUser(scan, value);
            break;
        case Option::kRequireLogin:
            takeYesNo(scan, rule, opts.requireLogin, sizeof opts.requireLogin, value);
            break;
    }
}

// The argument as the trace shows it: the password option never with its value.
const char* tracedArgument(const char* argument) {
    for (const OptionRule& rule : kOptionRules) {
        if (rule.option == Option::kPassword && isOption(argument, rule))
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
    bool valueTaken = rule->needsValue || rule->option == Option::kCheck;
    applyOption(scan, *rule, valueTaken && equals != nullptr ? equals + 1 : "");
    return rule->option != Option::kUninstall;
}

// Names in the audit record the stored options that this command line changes.
void auditChangedOptions(const OptionsRecord& before, const OptionsRecord& after) {
    const struct {
        const char* name;
        const char* was;
        const char* now;
    } options[] = {
        {"server", before.server, after.server},
        {"port", before.port, after.port},
        {"traceFile", before.traceFile, after.traceFile},
        {"cgiUrl", before.cgiUrl, after.cgiUrl},
        {"auditLog", before.auditLog, after.auditLog},
        {"allowedServers", before.allowedServers, after.allowedServers},
        {"sharedLogon", before.sharedLogon, after.sharedLogon},
        {"requireLogin", before.requireLogin, after.requireLogin},
    };
    for (const auto& option : options) {
        if (strcmp(option.was, option.now) != 0) auditField(option.name);
    }
}

void listWebUsers() {
    std::vector<std::string> names;
    if (psListWebUsers(&names) != 0) {
        fputs("An error occured while reading the web users' logons.\n", stdout);
        return;
    }
    for (const std::string& name : names) printf("%s\n", name.c_str());
}

// -webUser=NAME with -remove, or with an id and a password.
void storeWebUser(const Scan& scan) {
    const char* name = scan.webUser.c_str();
    auditField(("logon:" + scan.webUser).c_str());
    if (scan.remove) {
        printf(deleteWebUserLogon(name) ? "The logon of the web user %s has been removed\n"
                                        : "No logon is stored for the web user %s.\n",
               name);
        return;
    }
    if (scan.id[0] == '\0' || scan.password[0] == '\0') {
        fputs("ERROR: -webUser needs -proxyId and -proxyPassword, or -remove.\n", stdout);
        return;
    }
    auditCurrent().admin = scan.id;
    int rc = storeWebUserLogon(name, scan.id, scan.password);
    if (rc != 0) auditResult("store-failed");
    if (rc == 0) {
        printf("The logon of the web user %s has been updated\n", name);
    } else if (rc == kWebUserOtherSpelling) {
        printf("ERROR: %s\n", kOtherSpellingRefusal);
    } else {
        printf("An error occured while updating the logon of the web user %s (rc = %i).\n", name,
               rc);
    }
}

void storeResults(Scan& scan, const OptionsRecord& before) {
    if (scan.optionsChanged) {
        // An unset trace file is stored as tracing off.
        if (optsP->traceFile[0] == '\0') (void)copyTextFits(optsP->traceFile, "null");
        auditChangedOptions(before, *optsP);
        if (psWriteDefaultFile(optsP) == 0) {
            fputs("Default options have been updated.\n", stdout);
        } else {
            fputs("An error occured while updating the default options.\n", stdout);
            auditResult("store-failed");
        }
    }
    if (scan.listWebUsers) listWebUsers();
    if (!scan.webUser.empty()) return storeWebUser(scan);
    if (scan.remove) {
        fputs("ERROR: -remove needs -webUser=<name>.\n", stdout);
        return;
    }
    if (scan.id[0] != '\0' && scan.password[0] != '\0') {
        auditField("id,password");
        auditCurrent().admin = scan.id;
        int rc = psUpdatePasswordFile(scan.id, scan.password);
        if (rc == 0) {
            fputs("Password file has been updated\n", stdout);
        } else {
            printf("An error occured while updating the password file (rc = %i).\n", rc);
            auditResult("store-failed");
        }
        return;
    }
    if (scan.request[0] != '\0') {
        if (!scan.optionsChanged) printf("Processing request (%s)\n", scan.request);
        return;
    }
    bool checking = scan.choice != nullptr && scan.choice->check;
    if (!scan.optionsChanged && !scan.listWebUsers && !checking) printUsage();
}

}  // namespace

void processOptions(int argc, char** argv, char* request, size_t requestSize, int* postFlag,
                    ConsoleChoice* choice) {
    if (request == nullptr || requestSize == 0 || postFlag == nullptr || optsP == nullptr) return;
    request[0] = '\0';
    *postFlag = 0;
    if (argc < 2) {
        printUsage();
        return;
    }
    Scan scan{request, requestSize, postFlag, choice};
    const OptionsRecord before = *optsP;
    for (int i = 1; i < argc; ++i) {
        TRACE("Processing command option (%s) i = %i\n", traceText(tracedArgument(argv[i])).c_str(),
              i);
        if (!scanArgument(scan, argv[i])) break;
    }
    if (scan.refused) {
        // A refused value cancels the whole command line: nothing stored, removed or replayed.
        request[0] = '\0';
        if (choice != nullptr) *choice = ConsoleChoice{};
        return;
    }
    if (scan.uninstall) {
        TRACE("(%s, %d) Uninstalling the web proxy.", TRACE_AT);
        auditField("all");
        psDeleteWebUsers();
        psDeletePasswordFile();
        psDeleteDefaultFile(1);
        return;
    }
    // -check -webUser=NAME checks with that web user's logon; it stores nothing.
    if (choice != nullptr && choice->check && !scan.webUser.empty() && scan.id[0] == '\0' &&
        !scan.remove) {
        choice->webUser = std::move(scan.webUser);
        scan.webUser.clear();
    }
    storeResults(scan, before);
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
        "   [-auditLog=<syslog|eventlog|off|file path>]\n\tWhere the audit log goes (default: the "
        "system's log)\n\n",
        "   [-check[=<host:port>]]\n\tCheck the connection to the default server (or host:port) "
        "step by step\n\n",
        "   [-requireLogin=yes|no]\n\tRefuse every request that the web server did not sign in\n\n",
        "   [-allowServers=<host[:port],...>]\n\tThe servers a request may name besides the "
        "default "
        "one;\n\tempty: any server\n\n",
        "   [-sharedLogon=yes|no]\n\tWhether web users without a logon of their own log on with "
        "the\n\tadministrator id\n\n",
        "   [-webUser=<name> -proxyId=<id> -proxyPassword=<password>]\n\tStore a web user's own "
        "logon on the server\n\n",
        "   [-webUser=<name> -remove]\n\tRemove a web user's own logon\n\n",
        "   [-webUsers]\n\tList the web users that have a logon of their own\n\n",
    };
    for (const char* piece : banner) {
        if (piece != nullptr) fputs(piece, out);
    }
    for (const char* piece : usage) {
        if (piece != nullptr) fputs(piece, out);
    }
    fflush(out);
}
