// see simcmd.h
#include "sim/simcmd.h"

#include <vector>

#include "crypto/des.h"
#include "sim/simwire.h"

namespace {

constexpr std::string_view kPageVerb = "HTML ";
constexpr std::string_view kProxyField = " PROXYURL=";
constexpr std::string_view kPostField = "\" POST=\"";

[[nodiscard]] bool decipherCopy(const std::vector<unsigned char>& cipher,
                                const unsigned char key[kDesKeyBytes], std::string* text) {
    std::vector<unsigned char> plain = cipher;
    if (!simCbc(key, DES_DECIPHER, plain.data(), plain.size())) return false;
    text->assign(plain.begin(), plain.end());
    return true;
}

}  // namespace

bool commandComplete(std::string_view plain) {
    if (plain == "BYE") return true;
    if (plain.substr(0, 4) != "HTML" || plain.back() != '\n') return false;
    plain.remove_suffix(1);
    for (char c : plain) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) return false;
    }
    return true;
}

CommandRead readCommand(int fd, const unsigned char key[kDesKeyBytes], std::string* text) {
    std::vector<unsigned char> cipher;
    unsigned char piece[4096];
    int reads = 0;
    text->clear();
    for (;;) {
        if (!cipher.empty() && !wireReadable(fd, kCommandQuietMillis)) {
            return decipherCopy(cipher, key, text) ? CommandRead::kOk : CommandRead::kFailed;
        }
        size_t got = 0;
        WireResult r = wireReadSome(fd, piece, sizeof piece, &got);
        if (r != WireResult::kOk) {
            if (!cipher.empty()) (void)decipherCopy(cipher, key, text);
            return r == WireResult::kClosed ? CommandRead::kClosed : CommandRead::kFailed;
        }
        if (got > kMaxCommandBytes - cipher.size()) return CommandRead::kTooLong;
        cipher.insert(cipher.end(), piece, piece + got);
        ++reads;
        if (!decipherCopy(cipher, key, text)) return CommandRead::kFailed;
        if (!commandComplete(*text)) continue;
        // Whole blocks decipher the same whatever follows them, but a partial last block is
        // deciphered as the end of the text; a command that came in pieces and only looks complete
        // thanks to such a tail is trusted once no more bytes follow.
        bool tail = cipher.size() % kDesBlockSize != 0;
        if (!tail || reads == 1 || !wireReadable(fd, kCommandQuietMillis)) return CommandRead::kOk;
    }
}

bool parsePageCommand(std::string_view text, PageRequest* out) {
    if (text.substr(0, kPageVerb.size()) != kPageVerb) return false;
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    size_t proxyAt = text.rfind(kProxyField);
    if (proxyAt == std::string_view::npos || proxyAt < kPageVerb.size()) return false;
    out->proxyUrl = std::string(text.substr(proxyAt + kProxyField.size()));
    std::string_view head = text.substr(kPageVerb.size(), proxyAt - kPageVerb.size());
    size_t postAt = head.find(kPostField);
    if (!head.empty() && head.front() == '"' && postAt != std::string_view::npos &&
        head.size() >= postAt + kPostField.size() + 1 && head.back() == '"') {
        out->post = true;
        out->url = std::string(head.substr(1, postAt - 1));
        size_t from = postAt + kPostField.size();
        out->payload = std::string(head.substr(from, head.size() - 1 - from));
        return true;
    }
    out->post = false;
    out->url = std::string(head);
    out->payload.clear();
    return !out->url.empty();
}
