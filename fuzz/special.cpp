// The special requests of a signed-in user under hostile query strings, decoded and split as a GET
// request does: JUMP and CONFIG pages, SETUP storing what the form sends, FORCETRACE. The settings
// store is a scratch file; after every input what it holds must still read back whole and within
// its sizes. The session layer's transport opener always fails here, so a setup that ends in the
// start page never reaches the network.
#include <unistd.h>

#include <filesystem>
#include <string>

#include "front/korproxy_args.h"
#include "front/korproxy_special.h"
#include "front/korproxy_state.h"
#include "fuzz/fuzz_support.h"
#include "session/smsess.h"
#include "settings/psopts.h"
#include "settings/pssec.h"

namespace {

// A scratch working folder with the shipped pages and a store of its own.
void enterScratchFolder() {
    namespace fs = std::filesystem;
    std::string folder = (fs::temp_directory_path() / "korproxy-fuzz-XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr) abort();
    for (const char* page : {"pxyjump.html", "pxycfgform.html", "prodname.txt"}) {
        fs::copy_file(std::string(KORPROXY_ROOT "/web/") + page, fs::path(folder) / page);
    }
    if (chdir(folder.c_str()) != 0) abort();
    setenv("KORPROXY_REGISTRY", (fs::path(folder) / "registry.db").c_str(), 1);
}

void checkOptionsFit(const OptionsRecord& options) {
    for (const char* text : {options.server, options.port, options.traceFile, options.cgiUrl}) {
        FUZZ_CHECK(strnlen(text, kOptionTextSize) < kOptionTextSize);
    }
}

void checkStoreReadsBack() {
    OptionsRecord stored{};
    (void)psReadDefaultFile(&stored);
    checkOptionsFit(stored);
    char id[kCredentialSize] = {};
    char password[kCredentialSize] = {};
    if (psReadPasswordFile(id, password) == 0) {
        FUZZ_CHECK(strnlen(id, kCredentialSize) < kCredentialSize);
        FUZZ_CHECK(strnlen(password, kCredentialSize) < kCredentialSize);
    }
}

int openNothing(char*, const char*, Transport*, char* errorText, size_t errorSize) {
    snprintf(errorText, errorSize, "no network while fuzzing");
    return -1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    smSetTransportOpener(openNothing);
    enterScratchFolder();
    setenv("REMOTE_USER", "fuzz", 1);  // a signed-in user: the settings requests are honoured
    optsP = static_cast<OptionsRecord*>(calloc(1, sizeof(OptionsRecord)));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size) {
    fuzzQuietStart();
    char* text = fuzzCText(data, size);
    const std::string raw = text;
    unescapeUrl(text);
    ArgNode* head = buildArgList(text, nullptr);
    if (head == nullptr) {
        free(text);
        return 0;
    }
    (void)doSpecialRequest(head, {raw.c_str(), false});
    freeArgList(&head);
    checkOptionsFit(*optsP);
    checkStoreReadsBack();
    return 0;
}
