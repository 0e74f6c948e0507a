// see simopts.h
#include "sim/simopts.h"

#include <cstdlib>
#include <string_view>

#include "common/limits.h"

namespace {

constexpr char kHelp[] =
    "velk-sim: a VELK storage-management server for korproxy to talk to.\n"
    "\n"
    "usage: velk-sim [options]\n"
    "\n"
    "It listens for TCP connections and plays the server's side of every session: the Identify\n"
    "answer, the proxy session, the DES challenge exchange under the administrator password, then\n"
    "enciphered page commands answered with a return-code line and an enciphered page. Each\n"
    "connection is served by one of its threads (64 at once); what arrives is logged.\n"
    "\n"
    "Options:\n"
    "  --listen HOST:PORT     address to listen on (default 127.0.0.1:1500). With port 0 a free\n"
    "                         port is chosen. The first line on standard output is always\n"
    "                         \"listening on HOST:PORT\" with the real port.\n"
    "  --admin-id ID          the administrator id the server knows (default admin)\n"
    "  --admin-password PW    its password (default secret); compared without regard to case\n"
    "  --admin ID:PW          one more administrator with its password (the id has no \":\");\n"
    "                         may be given again for more\n"
    "  --log FILE             append the log to FILE instead of standard error\n"
    "  --print-page COMMAND   do not listen: print to standard output the page that COMMAND (a\n"
    "                         deciphered command text such as 'HTML / "
    "PROXYURL=/cgi-bin/velkproxy'\n"
    "                         and its line feed) gets, exactly as it would be enciphered, with "
    "the\n"
    "                         --listen address in its links; the response line goes to standard\n"
    "                         error; the status is 0 for RC_OK, 1 otherwise\n"
    "  --help                 this text\n"
    "\n"
    "Fault switches (each changes one answer; they combine):\n"
    "  --ebcdic               announce an EBCDIC server: the id and password arrive in EBCDIC\n"
    "  --no-proxy             clear the proxy capability bit in the Identify answer\n"
    "  --proxy-status N       answer the proxy-session request with status N (0-255) whatever\n"
    "                         the id; 0 accepted, 2 password expired, 3 no such id, 11 id\n"
    "                         locked, 13 out of memory. Without it: 0 for the known id, else 3\n"
    "  --bad-challenge        return the client's challenge with one bit flipped\n"
    "  --out-of-sequence      answer authentication message 1 with code 0x11 instead of 0x16\n"
    "  --refuse-final         refuse the proxy in the final authentication answer (byte 11 = 2)\n"
    "  --rc NAME              answer every page command with the line \"NAME 0\" and no page\n"
    "                         (RC_OK keeps the normal answers). Names: RC_OK RC_UNKNOWN RC_SYNTAX\n"
    "                         RC_ERROR RC_NOMEMORY RC_NOLOG RC_NODB RC_NOSTORAGE RC_NOAUTH\n"
    "                         RC_EXISTS RC_NOTFOUND RC_INUSE RC_ISREFERENCED RC_NOTAVAILABLE\n"
    "                         RC_IOERROR RC_NOTXN RC_NOLOCK RC_NOTHREAD RC_LICENSE RC_INVDEST\n"
    "                         RC_IFILEOPEN RC_OFILEOPEN RC_OFILEWRITE RC_INVADMIN RC_SQLERROR\n"
    "                         RC_BADOLDPSWD; any other word is sent as given\n"
    "  --short-answer[=WHICH] send answer WHICH short (default identify). A verb answer\n"
    "                         (identify, proxy, auth, final) goes out well framed at half its\n"
    "                         length, too short for the fields read from it; the response line\n"
    "                         (response) or the page (page) is cut at half and the connection\n"
    "                         closed\n"
    "  --silent[=WHICH]       send nothing for answer WHICH (default identify) and wait for the\n"
    "                         client to give up\n"
    "  --bad-magic[=WHICH]    send verb answer WHICH with magic 0x5A (default identify)\n"
    "  --hostile=MODE[:WHICH] misbehave on purpose in answer WHICH:\n"
    "                         random         random bytes of the answer's length, then close\n"
    "                                        (default identify)\n"
    "                         truncated      the first half of the answer, then close (default\n"
    "                                        identify)\n"
    "                         absurd-length  a verb announcing 0xFFFFFFF0 bytes in the extended\n"
    "                                        form, or (response) a line announcing 4000000000\n"
    "                                        page bytes; stays open (default identify)\n"
    "                         one-byte       the answer whole, one byte per write (default\n"
    "                                        every answer)\n"
    "                         short-page     the response line announces 1000 bytes more than\n"
    "                                        the page holds; close after the page (no WHICH)\n"
    "                         stall          the first half of the answer, then nothing until\n"
    "                                        the client leaves (default page)\n"
    "\n"
    "Answers, in the order of a session: identify, proxy, auth, final, response, page.\n"
    "\n"
    "The site, reached through the proxy (URL= argument):\n"
    "  /                                       start page with links back through the proxy\n"
    "  /class/CLASS                            objects of a class (pools, nodes, schedules)\n"
    "  /class/CLASS/object/NAME                one object; NAME is one path token, so its dots\n"
    "                                          and slashes arrive as %2E and %2F\n"
    "  /class/CLASS/object/NAME/task/ACTION    an action on an object (details, audit)\n"
    "  /form                                   a form that posts through the proxy\n"
    "  /posted                                 shows what the form posted\n"
    "  /size/N                                 a page of exactly N bytes after its header lines\n"
    "Every page starts with the lines \"HTTP/1.0 200 OK\", \"Server: VELK_HTTP\",\n"
    "\"Content-type: text/html\" and an empty line. Unknown pages answer RC_NOTFOUND, commands\n"
    "that are not page requests RC_SYNTAX.\n";

// Largest status byte the proxy-session answer can carry.
constexpr long kMaxStatus = 255;

[[nodiscard]] bool parsePort(std::string_view text, uint16_t* out) {
    if (text.empty() || text.size() > 5) return false;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value > 65535) return false;
    *out = static_cast<uint16_t>(value);
    return true;
}

[[nodiscard]] bool parseListen(std::string_view text, SimOptions* out) {
    size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0) return false;
    if (!parsePort(text.substr(colon + 1), &out->port)) return false;
    out->host = std::string(text.substr(0, colon));
    return true;
}

[[nodiscard]] bool parseStatus(std::string_view text, int* out) {
    if (text.empty() || text.size() > 3) return false;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value > kMaxStatus) return false;
    *out = static_cast<int>(value);
    return true;
}

// A credential the proxy can hold: 1 to 63 characters.
[[nodiscard]] bool credentialFits(std::string_view text) {
    return !text.empty() && text.size() < kCredentialSize;
}

// "ID:PW": one more administrator, cut at the first ":".
bool parseAdmin(std::string_view text, SimOptions* out) {
    size_t colon = text.find(':');
    if (colon == std::string_view::npos) return false;
    std::string_view id = text.substr(0, colon), password = text.substr(colon + 1);
    if (!credentialFits(id) || !credentialFits(password)) return false;
    out->moreAdmins.push_back({std::string(id), std::string(password)});
    return true;
}

// Splits "--name=value" into name and value; *hasValue tells whether "=" was there.
void splitOption(std::string_view arg, std::string_view* name, std::string_view* value,
                 bool* hasValue) {
    size_t eq = arg.find('=');
    *hasValue = eq != std::string_view::npos;
    *name = *hasValue ? arg.substr(0, eq) : arg;
    *value = *hasValue ? arg.substr(eq + 1) : std::string_view{};
}

// Applies a fault switch with an optional "=ANSWER" part.
[[nodiscard]] bool applyShape(std::string_view name, std::string_view value, bool hasValue,
                              SimOptions* out, std::string* message) {
    Answer which = Answer::kIdentify;
    if (hasValue && !answerFromName(value, &which)) {
        *message = std::string(name) + ": unknown answer '" + std::string(value) + "'";
        return false;
    }
    AnswerShape& shape = out->faults.of(which);
    if (name == "--short-answer") {
        shape.shortened = true;
    } else if (name == "--silent") {
        shape.silent = true;
    } else {
        if (!answerIsVerb(which)) {
            *message = "--bad-magic: only verb answers have a magic byte";
            return false;
        }
        shape.badMagic = true;
    }
    return true;
}

// Applies "--hostile=MODE[:WHICH]".
[[nodiscard]] bool applyHostile(std::string_view value, SimOptions* out, std::string* message) {
    size_t colon = value.find(':');
    std::string_view modeName = value.substr(0, colon);
    Hostile mode = Hostile::kNone;
    if (!hostileFromName(modeName, &mode)) {
        *message = "--hostile: unknown mode '" + std::string(modeName) +
                   "' (random, truncated, absurd-length, one-byte, short-page, stall)";
        return false;
    }
    if (colon == std::string_view::npos) {
        if (mode == Hostile::kOneByte) {
            for (AnswerShape& shape : out->faults.shapes) shape.hostile = mode;
        } else if (mode == Hostile::kShortPage) {
            out->faults.of(Answer::kResponse).hostile = mode;
            out->faults.of(Answer::kPage).hostile = mode;
        } else {
            out->faults.of(mode == Hostile::kStall ? Answer::kPage : Answer::kIdentify).hostile =
                mode;
        }
        return true;
    }
    std::string_view whichName = value.substr(colon + 1);
    Answer which = Answer::kIdentify;
    if (!answerFromName(whichName, &which)) {
        *message = "--hostile: unknown answer '" + std::string(whichName) + "'";
        return false;
    }
    if (mode == Hostile::kShortPage || (mode == Hostile::kAbsurdLength && which == Answer::kPage)) {
        *message = std::string("--hostile: ") + hostileName(mode) + " cannot be set on the " +
                   answerName(which) + " answer";
        return false;
    }
    out->faults.of(which).hostile = mode;
    return true;
}

}  // namespace

const char* simHelpText() {
    return kHelp;
}

SimParse simParseOptions(int argc, char** argv, SimOptions* out, std::string* message) {
    for (int i = 1; i < argc; ++i) {
        std::string_view name, value;
        bool hasValue = false;
        splitOption(argv[i], &name, &value, &hasValue);
        auto flag = [&](bool* target) {
            if (hasValue) {
                *message = std::string(name) + " takes no value";
                return false;
            }
            *target = true;
            return true;
        };
        auto takeValue = [&]() {
            if (hasValue) return true;
            if (i + 1 >= argc) {
                *message = std::string(name) + " needs a value";
                return false;
            }
            value = argv[++i];
            return true;
        };
        bool ok = true;
        if (name == "--help" || name == "-h") {
            return SimParse::kHelp;
        } else if (name == "--listen") {
            ok = takeValue() && parseListen(value, out);
            if (!ok && message->empty()) *message = "--listen wants HOST:PORT";
        } else if (name == "--admin-id") {
            ok = takeValue() && credentialFits(value);
            if (ok) out->adminId = std::string(value);
            if (!ok && message->empty()) *message = "--admin-id wants 1 to 63 characters";
        } else if (name == "--admin-password") {
            ok = takeValue() && credentialFits(value);
            if (ok) out->adminPassword = std::string(value);
            if (!ok && message->empty()) *message = "--admin-password wants 1 to 63 characters";
        } else if (name == "--admin") {
            ok = takeValue() && parseAdmin(value, out);
            if (!ok && message->empty()) *message = "--admin wants ID:PW, each 1 to 63 characters";
        } else if (name == "--log") {
            ok = takeValue() && !value.empty();
            if (ok) out->logFile = std::string(value);
            if (!ok && message->empty()) *message = "--log wants a file name";
        } else if (name == "--proxy-status") {
            ok = takeValue() && parseStatus(value, &out->proxyStatus);
            if (!ok && message->empty()) *message = "--proxy-status wants a number from 0 to 255";
        } else if (name == "--print-page") {
            ok = takeValue() && !value.empty();
            if (ok) out->printPage = std::string(value);
            if (!ok && message->empty()) *message = "--print-page wants a command text";
        } else if (name == "--rc") {
            ok = takeValue() && !value.empty() && value.find(' ') == std::string_view::npos;
            if (ok) out->rcName = std::string(value);
            if (!ok && message->empty()) *message = "--rc wants one word, such as RC_NOTFOUND";
        } else if (name == "--ebcdic") {
            ok = flag(&out->ebcdic);
        } else if (name == "--no-proxy") {
            ok = flag(&out->noProxy);
        } else if (name == "--bad-challenge") {
            ok = flag(&out->badChallenge);
        } else if (name == "--out-of-sequence") {
            ok = flag(&out->outOfSequence);
        } else if (name == "--refuse-final") {
            ok = flag(&out->refuseFinal);
        } else if (name == "--hostile") {
            ok = takeValue() && applyHostile(value, out, message);
        } else if (name == "--short-answer" || name == "--silent" || name == "--bad-magic") {
            ok = applyShape(name, value, hasValue, out, message);
        } else {
            *message = "unknown option " + std::string(argv[i]);
            ok = false;
        }
        if (!ok) return SimParse::kError;
    }
    return SimParse::kRun;
}
