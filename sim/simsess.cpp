// see simsess.h
#include "sim/simsess.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "common/byteorder.h"
#include "common/limits.h"
#include "common/platform.h"
#include "common/trace.h"
#include "crypto/des.h"
#include "sim/simcmd.h"
#include "sim/simcrypt.h"
#include "sim/simsite.h"
#include "sim/simwire.h"

static constexpr const char kTraceSource[] = "simsess";

namespace {

// The Identify answer: byte 5 the character set, bytes 8 to 39 the server name, byte 44 the
// capability bits.
constexpr uint16_t kIdentifyAnswerLength = 48;
constexpr unsigned char kCharsetEbcdic = 0x16;
constexpr unsigned char kCharsetAscii = 0x01;
constexpr size_t kServerNameAt = 8;
constexpr char kServerName[] = "VELK-SIM";
constexpr size_t kCapabilitiesAt = 44;
constexpr unsigned char kCapabilityProxy = 0x02;
// Another capability beside the proxy one, so a client must test the right bit.
constexpr unsigned char kCapabilitiesWithProxy = 0x03;
// Every bit but the proxy one.
constexpr unsigned char kCapabilitiesWithoutProxy = 0xFF & ~kCapabilityProxy;
// The proxy-session answer: byte 8 the status.
constexpr uint16_t kProxyAnswerLength = 12;
constexpr size_t kStatusAt = 8;
constexpr unsigned char kStatusAccepted = 0;
constexpr unsigned char kStatusNoSuchId = 3;
// Answered to a request whose id field lies outside it.
constexpr unsigned char kStatusMalformed = 1;
// The proxy-session request: id offset at 5, id length at 7, the id from 9 + offset.
constexpr size_t kIdFieldsEnd = 9;
// Authentication messages: data offset at 4, data length at 6, data from 8 + offset.
constexpr uint16_t kAuthLength = 24;
constexpr size_t kAuthDataAt = 8;
constexpr size_t kAuthDataBytes = 16;
// The final answer: byte 11 is 1 when the proxy is accepted.
constexpr uint16_t kFinalLength = 12;
constexpr size_t kFinalVerdictAt = 11;
constexpr unsigned char kVerdictAccepted = 1;
constexpr unsigned char kVerdictRefused = 2;
// How much of a command the log shows.
constexpr size_t kLoggedCommandMax = 2000;

enum class Flow { kNext, kEnd };

struct Dialogue {
    int fd;
    unsigned id;
    const SimOptions& options;
    SiteContext site;
    std::string password;  // the password of the administrator the proxy session named
    unsigned char sessionKey[kDesKeyBytes] = {};
};

// The administrator whose id (as it arrives: in EBCDIC on an EBCDIC server) is `id`; false when
// the server knows none.
bool knownAdmin(const SimOptions& options, const std::string& id, SimAdmin* found) {
    auto matches = [&](const std::string& known) {
        return id == (options.ebcdic ? simEbcdic(known) : known);
    };
    if (matches(options.adminId)) {
        *found = {options.adminId, options.adminPassword};
        return true;
    }
    for (const SimAdmin& admin : options.moreAdmins) {
        if (!matches(admin.id)) continue;
        *found = admin;
        return true;
    }
    return false;
}

// The text with anything unprintable shown as \xNN, cut at `max` characters.
std::string printable(std::string_view text, size_t max) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text.substr(0, max)) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out.push_back(static_cast<char>(c));
        } else {
            out.append("\\x");
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        }
    }
    if (text.size() > max) out.append("...");
    return out;
}

std::string localAddress(int fd) {
    sockaddr_in local{};
    socklen_t size = sizeof local;
    char host[INET_ADDRSTRLEN] = "127.0.0.1";
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) == 0) {
        (void)inet_ntop(AF_INET, &local.sin_addr, host, sizeof host);
    }
    return std::string(host) + ":" + std::to_string(ntohs(local.sin_port));
}

// Logs a receive that did not deliver a verb; always ends the dialogue.
Flow lost(const Dialogue& d, const char* expected, WireResult r) {
    TRACE("(%s, %d) #%u waiting for %s: %s\n", TRACE_AT, d.id, expected, wireResultText(r));
    return Flow::kEnd;
}

[[nodiscard]] bool receive(const Dialogue& d, const char* expected, Verb* verb) {
    WireResult r = wireRecvVerb(d.fd, verb);
    if (r != WireResult::kOk) {
        (void)lost(d, expected, r);
        return false;
    }
    TRACE("(%s, %d) #%u received verb: length %zu, code %.4X\n", TRACE_AT, d.id, verb->length(),
          verb->code);
    return true;
}

// What follows an answer that was not sent whole.
Flow afterAnswer(const Dialogue& d, Answer answer, Sent sent) {
    Hostile mode = d.options.faults.of(answer).hostile;
    if (mode != Hostile::kNone) {
        TRACE("(%s, %d) #%u sent the %s answer hostile (%s)\n", TRACE_AT, d.id, answerName(answer),
              hostileName(mode));
    }
    switch (sent) {
        case Sent::kWhole:
            return Flow::kNext;
        case Sent::kWithheld: {
            TRACE("(%s, %d) #%u withholding the %s answer; waiting for the client to leave\n",
                  TRACE_AT, d.id, answerName(answer));
            size_t dropped = wireDrainUntilClosed(d.fd);
            TRACE("(%s, %d) #%u client left; %zu more bytes had arrived\n", TRACE_AT, d.id,
                  dropped);
            return Flow::kEnd;
        }
        case Sent::kCut:
            TRACE("(%s, %d) #%u sent the %s answer cut short; closing\n", TRACE_AT, d.id,
                  answerName(answer));
            return Flow::kEnd;
        case Sent::kFailed:
            TRACE("(%s, %d) #%u sending the %s answer failed\n", TRACE_AT, d.id,
                  answerName(answer));
            return Flow::kEnd;
    }
    return Flow::kEnd;
}

Flow sendVerb(const Dialogue& d, Answer answer, std::vector<unsigned char> verb) {
    const AnswerShape& shape = d.options.faults.of(answer);
    if (shape.shortened || shape.badMagic) {
        TRACE("(%s, %d) #%u sending the %s answer%s%s\n", TRACE_AT, d.id, answerName(answer),
              shape.shortened ? " short" : "", shape.badMagic ? " with a bad magic byte" : "");
    }
    return afterAnswer(d, answer, sendVerbAnswer(d.fd, answer, d.options.faults, std::move(verb)));
}

// Waits for the client to end a session the simulator has refused.
Flow waitForLeave(const Dialogue& d) {
    size_t dropped = wireDrainUntilClosed(d.fd);
    TRACE("(%s, %d) #%u client left (%zu more bytes)\n", TRACE_AT, d.id, dropped);
    return Flow::kEnd;
}

Flow identify(Dialogue& d) {
    Verb verb;
    if (!receive(d, "the Identify verb", &verb)) return Flow::kEnd;
    if (verb.code != VERB_IDENTIFY) {
        TRACE("(%s, %d) #%u expected the Identify verb; ending\n", TRACE_AT, d.id);
        return Flow::kEnd;
    }
    std::vector<unsigned char> answer = makeVerb(VERB_IDENTIFY, kIdentifyAnswerLength);
    answer[5] = d.options.ebcdic ? kCharsetEbcdic : kCharsetAscii;
    std::string name = d.options.ebcdic ? simEbcdic(kServerName) : std::string(kServerName);
    std::memcpy(answer.data() + kServerNameAt, name.data(), name.size());
    answer[kCapabilitiesAt] =
        d.options.noProxy ? kCapabilitiesWithoutProxy : kCapabilitiesWithProxy;
    TRACE("(%s, %d) #%u answering Identify: %s, proxy capability %s\n", TRACE_AT, d.id,
          d.options.ebcdic ? "EBCDIC" : "ASCII", d.options.noProxy ? "off" : "on");
    if (sendVerb(d, Answer::kIdentify, std::move(answer)) == Flow::kEnd) return Flow::kEnd;
    if (!d.options.noProxy) return Flow::kNext;
    if (receive(d, "the end-session verb", &verb) && verb.code == VERB_ENDSESSION) {
        TRACE("(%s, %d) #%u client ended the session: no proxy capability\n", TRACE_AT, d.id);
    }
    return Flow::kEnd;
}

Flow startProxy(Dialogue& d) {
    Verb verb;
    if (!receive(d, "the proxy-session request", &verb)) return Flow::kEnd;
    if (verb.code == VERB_ENDSESSION) {
        TRACE("(%s, %d) #%u client ended the session\n", TRACE_AT, d.id);
        return Flow::kEnd;
    }
    if (verb.code != VERB_PROXYSESS) {
        TRACE("(%s, %d) #%u expected the proxy-session request; ending\n", TRACE_AT, d.id);
        return Flow::kEnd;
    }
    unsigned char status = kStatusMalformed;
    if (verb.length() >= kIdFieldsEnd) {
        size_t at = kIdFieldsEnd + getU16BE(verb.bytes.data() + 5);
        size_t count = getU16BE(verb.bytes.data() + 7);
        if (at <= verb.length() && count <= verb.length() - at) {
            std::string id(reinterpret_cast<const char*>(verb.bytes.data() + at), count);
            SimAdmin admin;
            status = knownAdmin(d.options, id, &admin) ? kStatusAccepted : kStatusNoSuchId;
            if (status == kStatusAccepted) {
                d.site.adminId = admin.id;
                d.password = admin.password;
            }
            TRACE("(%s, %d) #%u proxy session for id \"%s\"%s\n", TRACE_AT, d.id,
                  printable(id, kCredentialSize).c_str(), d.options.ebcdic ? " (EBCDIC)" : "");
        } else {
            TRACE("(%s, %d) #%u proxy-session request: id field outside the verb\n", TRACE_AT,
                  d.id);
        }
    }
    if (d.options.proxyStatus >= 0) status = static_cast<unsigned char>(d.options.proxyStatus);
    std::vector<unsigned char> answer = makeVerb(VERB_PROXYSESS, kProxyAnswerLength);
    answer[kStatusAt] = status;
    TRACE("(%s, %d) #%u answering the proxy session with status %u\n", TRACE_AT, d.id, status);
    if (sendVerb(d, Answer::kProxy, std::move(answer)) == Flow::kEnd) return Flow::kEnd;
    return status == kStatusAccepted ? Flow::kNext : waitForLeave(d);
}

// Finds the 16-byte data area of an authentication message; null when it is not inside the verb.
unsigned char* authData(Verb& verb) {
    if (verb.code != VERB_AUTH || verb.length() < kAuthDataAt) return nullptr;
    size_t at = kAuthDataAt + getU16BE(verb.bytes.data() + 4);
    size_t count = getU16BE(verb.bytes.data() + 6);
    if (count < kAuthDataBytes || at > verb.length() || kAuthDataBytes > verb.length() - at) {
        return nullptr;
    }
    return verb.bytes.data() + at;
}

std::vector<unsigned char> authMessage(unsigned char code, const unsigned char first[8],
                                       const unsigned char second[8]) {
    std::vector<unsigned char> verb = makeVerb(code, kAuthLength);
    putU16BE(verb.data() + 4, 0);
    putU16BE(verb.data() + 6, kAuthDataBytes);
    std::memcpy(verb.data() + kAuthDataAt, first, kDesKeyBytes);
    std::memcpy(verb.data() + kAuthDataAt + kDesKeyBytes, second, kDesKeyBytes);
    return verb;
}

Flow authenticate(Dialogue& d) {
    unsigned char passwordKey[kDesKeyBytes];
    if (!simPasswordKey(d.password, d.options.ebcdic, passwordKey)) return Flow::kEnd;
    Verb verb;
    if (!receive(d, "authentication message 1", &verb)) return Flow::kEnd;
    unsigned char* data = authData(verb);
    bool opened = data != nullptr && simCbc(passwordKey, DES_DECIPHER, data, kAuthDataBytes);
    osWipe(passwordKey, sizeof passwordKey);
    if (!opened) {
        TRACE("(%s, %d) #%u authentication message 1 is malformed; ending\n", TRACE_AT, d.id);
        return Flow::kEnd;
    }
    std::memcpy(d.sessionKey, data, kDesKeyBytes);
    unsigned char clientChallenge[kDesKeyBytes];
    std::memcpy(clientChallenge, data + kDesKeyBytes, kDesKeyBytes);
    unsigned char serverChallenge[kDesKeyBytes];
    simChallenge(serverChallenge);
    if (d.options.badChallenge) clientChallenge[0] ^= 0x80;
    unsigned char code = d.options.outOfSequence ? VERB_AUTHRESULT : VERB_AUTH;
    std::vector<unsigned char> reply = authMessage(code, clientChallenge, serverChallenge);
    if (!simCbc(d.sessionKey, DES_ENCIPHER, reply.data() + kAuthDataAt, kAuthDataBytes)) {
        return Flow::kEnd;
    }
    TRACE("(%s, %d) #%u answering authentication message 1 with code %.4X%s\n", TRACE_AT, d.id,
          code, d.options.badChallenge ? ", challenge spoiled" : "");
    if (sendVerb(d, Answer::kAuth, std::move(reply)) == Flow::kEnd) return Flow::kEnd;
    if (!receive(d, "authentication message 3 (a wrong password ends here)", &verb)) {
        return Flow::kEnd;
    }
    data = authData(verb);
    bool proven = data != nullptr && simCbc(d.sessionKey, DES_DECIPHER, data, kAuthDataBytes) &&
                  std::memcmp(data, serverChallenge, kDesKeyBytes) == 0 &&
                  std::memcmp(data + kDesKeyBytes, d.sessionKey, kDesKeyBytes) == 0;
    bool accept = proven && !d.options.refuseFinal;
    std::vector<unsigned char> verdict = makeVerb(VERB_AUTHRESULT, kFinalLength);
    verdict[kFinalVerdictAt] = accept ? kVerdictAccepted : kVerdictRefused;
    TRACE("(%s, %d) #%u client proof %s; %s the proxy\n", TRACE_AT, d.id,
          proven ? "holds" : "fails", accept ? "accepting" : "refusing");
    if (sendVerb(d, Answer::kFinal, std::move(verdict)) == Flow::kEnd) return Flow::kEnd;
    return accept ? Flow::kNext : waitForLeave(d);
}

// Sends the response line and, when there is one, the enciphered page.
Flow answerCommand(Dialogue& d, const std::string& rc, std::string page) {
    std::string line = rc + " " + std::to_string(page.size());
    TRACE("(%s, %d) #%u response: %s\n", TRACE_AT, d.id, line.c_str());
    const auto* lineBytes = reinterpret_cast<const unsigned char*>(line.c_str());
    Sent sent =
        sendStreamAnswer(d.fd, Answer::kResponse, d.options.faults, lineBytes, line.size() + 1);
    if (afterAnswer(d, Answer::kResponse, sent) == Flow::kEnd || page.empty()) {
        return sent == Sent::kWhole ? Flow::kNext : Flow::kEnd;
    }
    auto* pageBytes = reinterpret_cast<unsigned char*>(page.data());
    if (!simCbc(d.sessionKey, DES_ENCIPHER, pageBytes, page.size())) return Flow::kEnd;
    sent = sendStreamAnswer(d.fd, Answer::kPage, d.options.faults, pageBytes, page.size());
    return afterAnswer(d, Answer::kPage, sent);
}

Flow command(Dialogue& d) {
    std::string text;
    CommandRead r = readCommand(d.fd, d.sessionKey, &text);
    if (r == CommandRead::kClosed) {
        TRACE(
            "(%s, %d) #%u client closed the connection%s%s\n", TRACE_AT, d.id,
            text.empty() ? "" : "; partial command: ", printable(text, kLoggedCommandMax).c_str());
        return Flow::kEnd;
    }
    if (r != CommandRead::kOk) {
        TRACE("(%s, %d) #%u %s\n", TRACE_AT, d.id,
              r == CommandRead::kTooLong ? "command too long; ending" : "command receive failed");
        return Flow::kEnd;
    }
    TRACE("(%s, %d) #%u command: %s\n", TRACE_AT, d.id, printable(text, kLoggedCommandMax).c_str());
    if (text == "BYE") return Flow::kEnd;
    SiteAnswer answer = answerCommandText(text, d.site, d.options);
    return answerCommand(d, answer.rc, std::move(answer.page));
}

}  // namespace

SiteAnswer answerCommandText(std::string_view text, const SiteContext& site,
                             const SimOptions& options) {
    PageRequest request;
    if (!parsePageCommand(text, &request)) return {"RC_SYNTAX", {}};
    if (!options.rcName.empty() && options.rcName != "RC_OK") return {options.rcName, {}};
    return sitePage(request, site);
}

void serveConnection(int fd, unsigned id, const SimOptions& options) {
    wireSetTimeouts(fd);
    Dialogue d{fd,
               id,
               options,
               {localAddress(fd), options.adminId, options.ebcdic},
               options.adminPassword};
    if (identify(d) == Flow::kNext && startProxy(d) == Flow::kNext &&
        authenticate(d) == Flow::kNext) {
        TRACE("(%s, %d) #%u session is secure\n", TRACE_AT, id);
        for (int i = 0; i < kMaxCommandsPerSession && command(d) == Flow::kNext; ++i) {
        }
    }
    osWipe(d.sessionKey, sizeof d.sessionKey);
    ::close(fd);
    TRACE("(%s, %d) #%u connection closed\n", TRACE_AT, id);
}
