// see pssec.h
#include "settings/pssec.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/platform.h"
#include "common/trace.h"
#include "crypto/des.h"
#include "settings/registry.h"
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

void freeSchedule(DesKeySchedule* schedule) {
    osWipe(schedule, sizeof *schedule);
    desFreeKey(schedule);
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

int psWritePasswordFile(const char* id, const char* password, const char* keyPath) {
    if (id == nullptr || password == nullptr) return PS_RESULT_NOT_STORED;
    size_t idLength = strnlen(id, kCredentialSize);
    size_t passwordLength = strnlen(password, kCredentialSize);
    if (idLength >= kCredentialSize || passwordLength >= kCredentialSize) {
        TRACE(
            "(%s, %i) psWritePasswordFile(): the id or the password has %zu characters or more;"
            " nothing stored.\n",
            TRACE_AT, kCredentialSize);
        return PS_RESULT_TOO_LONG;
    }
    unsigned char block[kCredentialSize] = {};
    memcpy(block, password, passwordLength + 1);
    DesKeySchedule* schedule = nullptr;
    if (userSchedule(id, &schedule) != 0) {
        osWipe(block, sizeof block);
        return PS_RESULT_NO_MEMORY;
    }
    desCbc(schedule, DES_ENCIPHER, desFixedIv(), block, sizeof block);
    int rc = WritePswdToRegistry(id, block, keyPath);
    freeSchedule(schedule);
    return rc == 0 ? PS_RESULT_OK : PS_RESULT_NOT_STORED;
}

int WritePswdToRegistry(const char* id, const unsigned char block[kCredentialSize],
                        const char* keyPath) {
    // Both values land together: an id beside a password block of another id would decipher to
    // a wrong password.
    RegTransaction both;
    if (both.begun() != ERROR_SUCCESS) {
        TRACE("(%s, %i) WritePswdToRegistry(): regBeginTransaction(): Win32 RC = %d.\n", TRACE_AT,
              static_cast<int>(both.begun()));
        return -1;
    }
    HKEY key = nullptr;
    LONG rc = ERROR_SUCCESS;
    if (!RegCreatePathEx(HKEY_LOCAL_MACHINE, keyPath, &key, &rc)) {
        TRACE("(%s, %i) WritePswdToRegistry():  RegCreatePathEx(): Win32 RC = %d.\n", TRACE_AT,
              static_cast<int>(rc));
        return -1;
    }
    if (!setRegValue(key, "Password", block, REG_BINARY, kCredentialSize, &rc)) {
        TRACE("(%s, %i) WritePswdToRegistry(): setRegValue(): Win32 RC = %d.\n", TRACE_AT,
              static_cast<int>(rc));
    }
    bool idWritten = setRegValue(key, "Id", id, REG_SZ, 0, &rc);
    if (!idWritten) {
        TRACE("(%s, %i) WritePswdToRegistry(): setRegValue(): Win32 RC = %d.\n", TRACE_AT,
              static_cast<int>(rc));
    }
    (void)RegCloseKey(key);
    if (!idWritten) return -1;
    rc = both.commit();
    if (rc != ERROR_SUCCESS) {
        TRACE("(%s, %i) WritePswdToRegistry(): regCommitTransaction(): Win32 RC = %d.\n", TRACE_AT,
              static_cast<int>(rc));
        return -1;
    }
    return 0;
}

int psReadPasswordFile(char id[kCredentialSize], char password[kCredentialSize],
                       const char* keyPath) {
    unsigned char block[kCredentialSize];
    if (ReadPswdFromRegistry(id, block, keyPath) != 0) return PS_RESULT_NOT_STORED;
    DesKeySchedule* schedule = nullptr;
    if (userSchedule(id, &schedule) != 0) {
        osWipe(block, sizeof block);
        osWipe(id, kCredentialSize);
        return PS_RESULT_NO_MEMORY;
    }
    desCbc(schedule, DES_DECIPHER, desFixedIv(), block, sizeof block);
    freeSchedule(schedule);
    // Under a wrong key the block may hold no NUL: hand on its first 63 bytes, terminated.
    const void* end = memchr(block, '\0', sizeof block);
    size_t length =
        end != nullptr ? static_cast<const unsigned char*>(end) - block : kCredentialSize - 1;
    memcpy(password, block, length);
    password[length] = '\0';
    osWipe(block, sizeof block);
    return PS_RESULT_OK;
}

int ReadPswdFromRegistry(char id[kCredentialSize], unsigned char block[kCredentialSize],
                         const char* keyPath) {
    // Both values come from one state of the store, never from either side of another process's
    // replacement.
    RegTransaction snapshot(RegTxMode::Read);
    HKEY key = nullptr;
    LONG rc = ERROR_SUCCESS;
    if (!RegOpenPathEx(HKEY_LOCAL_MACHINE, keyPath, &key, &rc)) {
        TRACE("(%s, %d) ReadPswdFromRegistry(): RegOpenPathEx(): Win32 RC=%d .\n", TRACE_AT,
              static_cast<int>(rc));
        return -1;
    }
    unsigned char work[kRegValueBufferSize] = {};
    DWORD type = REG_NONE, size = 0;
    bool havePassword = getRegValue(key, "Password", work, &type, &size, &rc);
    if (havePassword) {
        memcpy(block, work, kCredentialSize);
    } else {
        TRACE("(%s, %d) ReadPswdFromRegistry(): getRegValue(): Win32 RC=%d .\n", TRACE_AT,
              static_cast<int>(rc));
    }
    osWipe(work, sizeof work);
    bool haveId = getRegValue(key, "Id", work, &type, &size, &rc);
    if (haveId && !idFits(work)) {
        haveId = false;
        rc = ERROR_MORE_DATA;
    }
    if (haveId) {
        memcpy(id, work, kCredentialSize);
    } else {
        TRACE("(%s, %d) ReadPswdFromRegistry(): getRegValue(): Win32 RC=%d .\n", TRACE_AT,
              static_cast<int>(rc));
    }
    (void)RegCloseKey(key);
    return havePassword && haveId ? 0 : -1;
}

void psDeletePasswordFile(const char* keyPath) {
    HKEY key = nullptr;
    LONG rc = ERROR_SUCCESS;
    if (!RegOpenPathEx(HKEY_LOCAL_MACHINE, keyPath, &key, &rc)) {
        TRACE("(%s, %i) psDeletePasswordFile(): RegOpenPathEx():  Win32 RC = %d.\n", TRACE_AT,
              static_cast<int>(rc));
        return;
    }
    (void)deleteRegKey(key, nullptr, &rc);
    (void)RegCloseKey(key);
}

void psSetComputerNameSource(PsComputerName source) {
    computerName = source != nullptr ? source : osComputerName;
}

void psSetKeyDerivation(PsKeyDerivation derive) {
    deriveKey = derive != nullptr ? derive : desDeriveKey;
}
