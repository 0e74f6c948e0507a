// see pssec.h
#include "settings/pssec.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/platform.h"
#include "common/trace.h"
#include "crypto/des.h"
#include "settings/registry.h"
#include "settings/regwhole.h"
#include "settings/settingskeys.h"

static constexpr const char kTraceSource[] = "pssec";

namespace {

// The computer name as asked for: 255 characters in a 256-byte buffer.
constexpr size_t kComputerNameSize = 256;
// "<id>@<computer name>" always fits: 63 + 1 + 255 characters.
constexpr size_t kUserTextSize = 512;
static_assert(kCredentialSize - 1 + 1 + kComputerNameSize - 1 < kUserTextSize);
constexpr size_t kUserKeySize = 8;

PsComputerName computerName = osComputerName;
PsKeyDerivation deriveKey = desDeriveKey;

bool allZero(const unsigned char* bytes, size_t size) {
    unsigned char any = 0;
    for (size_t i = 0; i < size; ++i) any |= bytes[i];
    return any == 0;
}

// Builds the key schedule for `id`. Returns 0 with *schedule set, or -1, traced.
int userSchedule(const char* id, DesKeySchedule** schedule) {
    unsigned char key[kUserKeySize];
    // An all-zero key is what a failed derivation leaves: never encipher or decipher under it.
    int rc = psUserKey(key, id);
    if (rc == 0 && allZero(key, sizeof key)) rc = -1;
    uint32_t words[2];
    memcpy(words, key, sizeof words);
    if (rc == 0) rc = desAllocKey(words, schedule);
    osWipe(key, sizeof key);
    osWipe(words, sizeof words);
    if (rc != 0) {
        TRACE("(%s, %i) Out of memory!\n", TRACE_AT);
        return -1;
    }
    return 0;
}

// The Id value as read must hold its terminator within the 64 bytes; a longer one was not written
// by this program and cannot be handed on whole.
bool idFits(const unsigned char* work) {
    return memchr(work, '\0', kCredentialSize) != nullptr;
}

}  // namespace

int psUserKey(unsigned char key[8], const char* id) {
    memset(key, 0, kUserKeySize);
    char computer[kComputerNameSize] = {};
    if (!computerName(computer, kComputerNameSize - 1)) computer[0] = '\0';
    computer[kComputerNameSize - 1] = '\0';  // a cut name may come back without a terminator
    char text[kUserTextSize];
    int length = snprintf(text, sizeof text, "%s@%s", id, computer);
    if (length < 0) return -1;
    if (static_cast<size_t>(length) >= sizeof text) length = sizeof text - 1;
    int rc = deriveKey(reinterpret_cast<const unsigned char*>(text), length, key);
    osWipe(text, sizeof text);
    return rc;
}

int psWritePairAt(const char* keyPath, const char* id, const char* password) {
    if (id == nullptr || password == nullptr) return kPsNotStored;
    size_t idLength = strnlen(id, kCredentialSize);
    size_t passwordLength = strnlen(password, kCredentialSize);
    if (idLength >= kCredentialSize || passwordLength >= kCredentialSize) {
        TRACE(
            "(%s, %i) psWritePasswordFile(): the id or the password has %zu characters or more;"
            " nothing stored.\n",
            TRACE_AT, kCredentialSize);
        return kPsTooLong;
    }
    unsigned char block[kCredentialSize] = {};
    memcpy(block, password, passwordLength + 1);
    DesKeySchedule* schedule = nullptr;
    if (userSchedule(id, &schedule) != 0) {
        osWipe(block, sizeof block);
        return kPsNoMemory;
    }
    desCbc(schedule, DES_ENCIPHER, desFixedIv(), block, sizeof block);
    int rc = WritePswdToRegistry(keyPath, id, block);
    desFreeKey(schedule);
    osWipe(block, sizeof block);
    return rc == 0 ? kPsOk : kPsNotStored;
}

int psWritePasswordFile(const char* id, const char* password) {
    return psWritePairAt(kCredentialsKeyPath, id, password);
}

int psUpdatePasswordFile(const char* id, const char* password, const char* keyPath) {
    // The write replaces the stored pair whole, or leaves it as it was.
    return psWritePairAt(keyPath, id, password);
}

namespace {

struct PairWrite {
    const char* id;
    const unsigned char* block;
    const char* failed = nullptr;  // the value not written
};

int fillPair(HKEY key, void* context, LONG* rc) {
    auto* pair = static_cast<PairWrite*>(context);
    if (!setRegValue(key, "Password", pair->block, REG_BINARY, kCredentialSize, rc)) {
        pair->failed = "setRegValue(Password)";
        return 0;
    }
    if (!setRegValue(key, "Id", pair->id, REG_SZ, 0, rc)) {
        pair->failed = "setRegValue(Id)";
        return 0;
    }
    return 1;
}

}  // namespace

int WritePswdToRegistry(const char* keyPath, const char* id,
                        const unsigned char block[kCredentialSize]) {
    // Both values land together, in a key of their own: an id beside a password block of another
    // id would decipher to a wrong password.
    PairWrite pair{id, block};
    LONG rc = ERROR_SUCCESS;
    if (writeWholeKey(HKEY_LOCAL_MACHINE, keyPath, fillPair, &pair, &rc)) return 0;
    TRACE("(%s, %i) WritePswdToRegistry(): %s: Win32 RC = %d.\n", TRACE_AT,
          pair.failed != nullptr ? pair.failed : "writeWholeKey()", static_cast<int>(rc));
    return -1;
}

int psReadPairAt(const char* keyPath, char id[kCredentialSize], char password[kCredentialSize]) {
    unsigned char block[kCredentialSize];
    if (ReadPswdFromRegistry(keyPath, id, block) != 0) return kPsNotStored;
    DesKeySchedule* schedule = nullptr;
    if (userSchedule(id, &schedule) != 0) {
        osWipe(block, sizeof block);
        osWipe(id, kCredentialSize);
        return kPsNoMemory;
    }
    desCbc(schedule, DES_DECIPHER, desFixedIv(), block, sizeof block);
    desFreeKey(schedule);
    // Under a wrong key the block may hold no NUL: hand on its first 63 bytes, terminated.
    const void* end = memchr(block, '\0', sizeof block);
    size_t length =
        end != nullptr ? static_cast<const unsigned char*>(end) - block : kCredentialSize - 1;
    memcpy(password, block, length);
    password[length] = '\0';
    osWipe(block, sizeof block);
    return kPsOk;
}

int psReadPasswordFile(char id[kCredentialSize], char password[kCredentialSize]) {
    return psReadPairAt(kCredentialsKeyPath, id, password);
}

namespace {

// Both values as read from one key, and the codes of the reads.
struct PairRead {
    unsigned char id[kRegValueBufferSize] = {};
    unsigned char block[kRegValueBufferSize] = {};
    bool haveId = false, havePassword = false;
    LONG idRc = ERROR_SUCCESS, passwordRc = ERROR_SUCCESS;
    ~PairRead() {
        osWipe(id, sizeof id);
        osWipe(block, sizeof block);
    }
};

int readPair(HKEY key, void* context, LONG* rc) {
    auto* pair = static_cast<PairRead*>(context);
    DWORD type = REG_NONE, size = 0;
    pair->havePassword = getRegValue(key, "Password", pair->block, &type, &size, &pair->passwordRc);
    pair->haveId = getRegValue(key, "Id", pair->id, &type, &size, &pair->idRc);
    if (pair->haveId && !idFits(pair->id)) {
        pair->haveId = false;
        pair->idRc = ERROR_MORE_DATA;
    }
    *rc = !pair->havePassword ? pair->passwordRc : pair->idRc;
    return pair->havePassword && pair->haveId ? 1 : 0;
}

}  // namespace

int ReadPswdFromRegistry(const char* keyPath, char id[kCredentialSize],
                         unsigned char block[kCredentialSize]) {
    PairRead pair;
    bool opened = false;
    LONG rc = ERROR_SUCCESS;
    if (!readWholeKey(HKEY_LOCAL_MACHINE, keyPath, readPair, &pair, &opened, &rc) && !opened) {
        TRACE("(%s, %d) ReadPswdFromRegistry(): RegOpenPathEx(): Win32 RC=%d .\n", TRACE_AT,
              static_cast<int>(rc));
        return -1;
    }
    if (pair.havePassword) {
        memcpy(block, pair.block, kCredentialSize);
    } else {
        TRACE("(%s, %d) ReadPswdFromRegistry(): getRegValue(): Win32 RC=%d .\n", TRACE_AT,
              static_cast<int>(pair.passwordRc));
    }
    if (pair.haveId) {
        memcpy(id, pair.id, kCredentialSize);
    } else {
        TRACE("(%s, %d) ReadPswdFromRegistry(): getRegValue(): Win32 RC=%d .\n", TRACE_AT,
              static_cast<int>(pair.idRc));
    }
    return pair.havePassword && pair.haveId ? 0 : -1;
}

int psDeletePairAt(const char* keyPath) {
    LONG rc = ERROR_SUCCESS;
    if (deleteWholeKey(HKEY_LOCAL_MACHINE, keyPath, &rc)) return 1;
    TRACE("(%s, %i) psDeletePasswordFile(): deleteWholeKey(): Win32 RC = %d.\n", TRACE_AT,
          static_cast<int>(rc));
    return 0;
}

void psDeletePasswordFile() {
    (void)psDeletePairAt(kCredentialsKeyPath);
}

void psSetComputerNameSource(PsComputerName source) {
    computerName = source != nullptr ? source : osComputerName;
}

void psSetKeyDerivation(PsKeyDerivation derive) {
    deriveKey = derive != nullptr ? derive : desDeriveKey;
}
