// see korproxy_errpage.h
#include "front/korproxy_errpage.h"

#include <iterator>

#include "common/audit.h"
#include "front/korproxy_prodname.h"
#include "front/korproxy_state.h"
#include "session/smsess.h"
#include "settings/pssec.h"

namespace {

// Codes the page words that no session result names: the proxy itself never returns them, but the
// page keeps a sentence for each.
enum PageOnlyCode : int32_t {
    kCodeMismatch = 4,
    kCodeSoftError = 7,
    kCodeTryAgain = 12,
};

// The report of a non-zero result code: the session layer's results, the credential store's
// "cannot be read" and the codes above; -1 (the front end's own) and any other get the catch-all.
void writeCodeText(FILE* out, int32_t code, const char* message) {
    const char* product = productName;
    switch (code) {
        case kPsNotStored:
            fputs("Access to the server denied\n", out);
            break;
        case kSmSessionFailure:
            fputs("An internal error occured in the session layer.<br>\n", out);
            // The message carries the transport's sentence, with host and port from the request.
            fputs("Last error message: ", out);
            writeHtmlEscaped(out, message[0] != '\0' ? message : "None.");
            fputs("\n", out);
            break;
        case kSmOutOfMemory:
            fprintf(out, "The %s ran out of memory while processing this request.\n", product);
            break;
        case kCodeMismatch:
            fputs("Something did not match up.\n", out);
            break;
        case kSmValidationMismatch:
        case kSmPasswordExpired:
            fprintf(out,
                    "Proxy password has expired.  Please update the password on the %s server and "
                    "the Proxy.\n",
                    product);
            break;
        case kSmNoSuchAdmin:
            fprintf(out, "Proxy ID was unknown to the %s server.\n", product);
            break;
        case kCodeSoftError:
            fputs("A soft error occured in the Session layer.\n", out);
            break;
        case kSmNotReady:
            fputs("A communication error occured.\n", out);
            break;
        case kSmNoProxySupport:
            fprintf(out,
                    "The %s server you were attempting to send this request to does not support "
                    "the proxy protocol.\n",
                    product);
            break;
        case kSmAdminLocked:
            fprintf(out, "The proxy id is locked on the this %s server\n", product);
            break;
        case kCodeTryAgain:
            fputs("Try request again.\n", out);
            break;
        default:
            fputs("An internal error occured in korproxy!", out);
            break;
    }
}

// The button back to the default server's start page, inside a one-row table; the row stays empty
// unless both the default server and its port are known.
void writeReturnForm(FILE* out, const OptionsRecord& opts) {
    fputs("<table>\n", out);
    fputs("<tr>\n", out);
    if (opts.server[0] != '\0' && opts.port[0] != '\0') {
        fputs("<td>\n", out);
        // The stored texts may have come from the setup form, so they are escaped like request
        // data: a quote in them must not end the attribute.
        fputs("<form action=\"", out);
        writeHtmlEscaped(out, opts.cgiUrl);
        fputs("/korproxy\" method=get>\n<input type=hidden name=SERVER value=\"", out);
        writeHtmlEscaped(out, opts.server);
        fputs(":", out);
        writeHtmlEscaped(out, opts.port);
        fputs("\">\n", out);
        fputs("<input type=hidden name=URL value=\"/\">\n", out);
        fputs("<input type=submit value=\"Return to Default Server\">\n", out);
        fputs("</form>", out);
        fputs("</td>\n", out);
    }
    fputs("</tr>\n", out);
    fputs("</table>\n", out);
}

// The character reference that stands for `c`, or null when `c` stands for itself.
const char* htmlReferenceOf(char c) {
    switch (c) {
        case '&':
            return "&amp;";
        case '<':
            return "&lt;";
        case '>':
            return "&gt;";
        case '"':
            return "&quot;";
        case '\'':
            return "&#39;";
        default:
            return nullptr;
    }
}

}  // namespace

const char* sessionResultWord(int32_t code) {
    static constexpr const char* kWords[] = {
        "ok",         "access-denied",    "session-error", "out-of-memory",
        "mismatch",   "password-expired", "unknown-id",    "soft-error",
        "comm-error", "password-expired", "no-proxy",      "id-locked",
        "try-again",
    };
    if (code < 0 || code >= static_cast<int32_t>(std::size(kWords))) return "internal-error";
    return kWords[code];
}

std::string htmlEscape(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        const char* reference = htmlReferenceOf(c);
        if (reference != nullptr) {
            escaped += reference;
        } else {
            escaped += c;
        }
    }
    return escaped;
}

void writeHtmlEscaped(FILE* out, std::string_view text) {
    for (char c : text) {
        const char* reference = htmlReferenceOf(c);
        if (reference != nullptr) {
            fputs(reference, out);
        } else {
            putc(c, out);
        }
    }
}

void printErrorPageTo(FILE* out, const char* message, int32_t code) {
    if (message == nullptr) message = "";
    auditResult(code == 0 ? "error" : sessionResultWord(code));
    fputs("Content-type: text/html\n\r\n", out);
    fputs("<HEAD><TITLE>Error!</TITLE></HEAD>", out);
    fputs("<BODY BGCOLOR=white>", out);
    fputs("<table><tr><td width=800 bgcolor=#6699CC>", out);
    fprintf(out, "<FONT FACE=ARIAL SIZE=+3 COLOR=white>%s</font>", productName);
    fputs("</td></tr></table><P><BR>", out);
    fputs("<h2>Error!</h2>", out);
    if (code == 0) {
        fputs(message, out);
    } else {
        writeCodeText(out, code, message);
    }
    if (optsP != nullptr) writeReturnForm(out, *optsP);
    fprintf(out, "<br>%s Version %s\n", productName, productVersion);
    fprintf(out, "<br><i>%s</i>\n", kLegalNotice);
    fflush(out);
}

void printErrorPage(const char* message, int32_t code) {
    printErrorPageTo(stdout, message, code);
}
