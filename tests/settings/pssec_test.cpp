// libcrypto's legacy DES interface is the independent check of the stored block.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include "settings/pssec.h"

#include <cstring>

#include "crypto/des.h"
#include "settings/registry.h"
#include "settings/settingskeys.h"
#include "store_fixture.h"
#include "tests/crypto/des_oracle.h"

namespace {

using Credentials = StoreTest;
using Bytes = testdes::Bytes;

const char* fakeHost = "webhost";
bool fakeName(char* name, size_t capacity) {
    snprintf(name, capacity, "%s", fakeHost);
    return true;
}
bool noName(char*, size_t) {
    return false;
}
int noMemory(const unsigned char*, int, unsigned char*) {
    return -1;
}

// The raw bytes of one credentials value, or "<code>".
std::string storedValue(const char* name) {
    HKEY key = nullptr;
    LONG rc = 0;
    if (!RegOpenPathEx(HKEY_LOCAL_MACHINE, kCredentialsKeyPath, &key, &rc)) return codeText(rc);
    BYTE buffer[512];
    DWORD size = sizeof buffer;
    rc = RegQueryValueExA(key, name, nullptr, nullptr, buffer, &size);
    (void)RegCloseKey(key);
    return rc == ERROR_SUCCESS ? std::string(reinterpret_cast<char*>(buffer), size) : codeText(rc);
}

void storeRaw(const char* name, DWORD type, const std::string& bytes) {
    HKEY key = nullptr;
    LONG rc = 0;
    ASSERT_EQ(RegCreatePathEx(HKEY_LOCAL_MACHINE, kCredentialsKeyPath, &key, &rc), 1);
    ASSERT_EQ(RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size())),
              ERROR_SUCCESS);
    (void)RegCloseKey(key);
}

struct Pair {
    std::string id, password;
    int rc;
};
Pair readPair() {
    char id[kCredentialSize], password[kCredentialSize];
    memset(id, 'i', sizeof id);
    memset(password, 'p', sizeof password);
    int rc = psReadPasswordFile(id, password);
    if (rc != 0) return {"", "", rc};
    return {std::string(id, strnlen(id, sizeof id)),
            std::string(password, strnlen(password, sizeof password)), rc};
}

// What the front's replacement does: delete the old pair, then write the new, as one.
int replacePair(const char* id, const char* password) {
    RegTransaction scope;
    psDeletePasswordFile();
    int rc = psWritePasswordFile(id, password);
    if (rc == 0 && scope.commit() != ERROR_SUCCESS) rc = 1;
    return rc;
}

const char* failingName = nullptr;
LONG failNamedChange(const char* function, const char* name) {
    bool hit = strstr(name, failingName) != nullptr || strcmp(function, failingName) == 0;
    return hit ? ERROR_DISK_FULL : ERROR_SUCCESS;
}

class CredentialsOnHost : public Credentials {
  protected:
    void SetUp() override {
        Credentials::SetUp();
        fakeHost = "webhost";
        psSetComputerNameSource(fakeName);
    }
    void TearDown() override {
        psSetComputerNameSource(nullptr);
        psSetKeyDerivation(nullptr);
        Credentials::TearDown();
    }
};

}  // namespace

TEST_F(CredentialsOnHost, PairsRoundTripAndTheBlockIsAlways64Bytes) {
    const Pair cases[] = {
        {"admin", "secret", 0},
        {std::string(63, 'I'), std::string(63, 'P'), 0},
        {"x", "", 0},
        {"ADMIN", "pass word!", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        ASSERT_EQ(psWritePasswordFile(c.id.c_str(), c.password.c_str()), 0);
        EXPECT_EQ(storedValue("Password").size(), kCredentialSize);
        EXPECT_EQ(storedValue("Id"), c.id + std::string(1, '\0'));
        Pair back = readPair();
        EXPECT_EQ(back.rc, 0);
        EXPECT_EQ(back.id, c.id);
        EXPECT_EQ(back.password, c.password);
    }
    EXPECT_TRUE(traceLines().empty());
}

// The stored block is the password block in CBC under the key derived from "<id>@<host>" and the
// fixed IV, as an independent DES computes it.
TEST_F(CredentialsOnHost, TheBlockIsEncipheredUnderTheUserKey) {
    ASSERT_EQ(psWritePasswordFile("admin", "secret"), 0);
    unsigned char key[8];
    const char text[] = "admin@webhost";
    ASSERT_EQ(desDeriveKey(reinterpret_cast<const unsigned char*>(text), strlen(text), key), 0);
    unsigned char userKey[8];
    ASSERT_EQ(psUserKey(userKey, "admin"), 0);
    EXPECT_EQ(memcmp(userKey, key, 8), 0);
    Bytes plain(kCredentialSize, 0);
    memcpy(plain.data(), "secret", 6);
    Bytes expected = testdes::oracleCbc(key, false, desFixedIv(), plain);
    EXPECT_EQ(storedValue("Password"), std::string(expected.begin(), expected.end()));
}

TEST_F(CredentialsOnHost, TheBlockDependsOnIdAndComputer) {
    ASSERT_EQ(psWritePasswordFile("alice", "same"), 0);
    std::string alice = storedValue("Password");
    ASSERT_EQ(psWritePasswordFile("bob", "same"), 0);
    EXPECT_NE(storedValue("Password"), alice);
    fakeHost = "otherhost";
    ASSERT_EQ(psWritePasswordFile("alice", "same"), 0);
    std::string elsewhere = storedValue("Password");
    EXPECT_NE(elsewhere, alice);

    // Read on yet another computer: the block deciphers to other bytes, handed on terminated.
    fakeHost = "thirdhost";
    Pair wrong = readPair();
    EXPECT_EQ(wrong.rc, 0);
    EXPECT_NE(wrong.password, "same");
    EXPECT_LE(wrong.password.size(), kCredentialSize - 1);
}

TEST_F(CredentialsOnHost, ABlockWithoutNulHandsOnIts63FirstBytes) {
    // Encipher 64 non-NUL bytes under the right key, as a damaged or foreign block could be.
    unsigned char key[8];
    ASSERT_EQ(psUserKey(key, "admin"), 0);
    Bytes plain(kCredentialSize, 'z');
    Bytes block = testdes::oracleCbc(key, false, desFixedIv(), plain);
    storeRaw("Password", REG_BINARY, std::string(block.begin(), block.end()));
    storeRaw("Id", REG_SZ, std::string("admin\0", 6));
    Pair back = readPair();
    EXPECT_EQ(back.rc, 0);
    EXPECT_EQ(back.password, std::string(kCredentialSize - 1, 'z'));
}

TEST_F(CredentialsOnHost, IncompleteCredentialsDoNotRead) {
    const std::string block(kCredentialSize, '\x5a');
    struct Case {
        const char* what;
        std::string id;        // empty: no Id value
        std::string password;  // empty: no Password value
        const char* trace;
    };
    const Case cases[] = {
        {"only the id", std::string("admin\0", 6), "", "getRegValue(): Win32 RC=2 ."},
        {"only the password", "", block, "getRegValue(): Win32 RC=2 ."},
        {"an empty id", std::string("\0", 1), block, "getRegValue(): Win32 RC=0 ."},
        {"an id of 64 characters", std::string(64, 'a') + '\0', block,
         "getRegValue(): Win32 RC=234 ."},
        {"nothing at all", "", "", "RegOpenPathEx(): Win32 RC=2 ."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        psDeletePasswordFile();
        if (!c.id.empty()) storeRaw("Id", REG_SZ, c.id);
        if (!c.password.empty()) storeRaw("Password", REG_BINARY, c.password);
        clearTrace();
        char id[kCredentialSize] = "untouched";
        char password[kCredentialSize] = "untouched";
        EXPECT_EQ(psReadPasswordFile(id, password), 1);
        EXPECT_STREQ(password, "untouched");
        EXPECT_EQ(traceCount(std::string("ReadPswdFromRegistry(): ") + c.trace), 1);
    }
}

TEST_F(CredentialsOnHost, TextsOf64CharactersAreRefused) {
    const std::string fits(63, 'f'), tooLong(64, 'l');
    EXPECT_EQ(psWritePasswordFile(tooLong.c_str(), "pw"), PS_RESULT_TOO_LONG);
    EXPECT_EQ(psWritePasswordFile("admin", tooLong.c_str()), PS_RESULT_TOO_LONG);
    EXPECT_FALSE(storeExists()) << "nothing was stored";
    EXPECT_EQ(traceCount("has 64 characters or more; nothing stored."), 2);
    EXPECT_EQ(psWritePasswordFile(fits.c_str(), fits.c_str()), 0);
    EXPECT_STRNE(psResultText(PS_RESULT_TOO_LONG), psResultText(PS_RESULT_NOT_STORED));
}

TEST_F(CredentialsOnHost, AFailedKeyDerivationStopsBeforeAnythingIsStored) {
    ASSERT_EQ(psWritePasswordFile("admin", "old"), 0);
    std::string before = storedValue("Password");
    psSetKeyDerivation(noMemory);
    unsigned char key[8];
    memset(key, 0xaa, sizeof key);
    EXPECT_EQ(psUserKey(key, "admin"), -1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(key), 8), std::string(8, '\0'));
    EXPECT_EQ(psWritePasswordFile("admin", "new"), PS_RESULT_NO_MEMORY);
    EXPECT_EQ(storedValue("Password"), before) << "never stored under the all-zero key";
    char id[kCredentialSize], password[kCredentialSize] = "untouched";
    EXPECT_EQ(psReadPasswordFile(id, password), PS_RESULT_NO_MEMORY);
    EXPECT_STREQ(password, "untouched");
    EXPECT_EQ(id[0], '\0') << "no id is handed out with a failed read";
    EXPECT_EQ(traceShapes(), (std::vector<std::string>{"(pssec, NNN) Out of memory!",
                                                       "(pssec, NNN) Out of memory!"}));
}

TEST_F(CredentialsOnHost, AComputerWithoutANameCountsAsAnEmptyName) {
    psSetComputerNameSource(noName);
    unsigned char key[8], expected[8];
    ASSERT_EQ(psUserKey(key, "admin"), 0);
    ASSERT_EQ(desDeriveKey(reinterpret_cast<const unsigned char*>("admin@"), 6, expected), 0);
    EXPECT_EQ(memcmp(key, expected, 8), 0);
}

TEST_F(Credentials, TheRealComputerNameRoundTrips) {
    ASSERT_EQ(psWritePasswordFile("admin", "secret"), 0);
    Pair back = readPair();
    EXPECT_EQ(back.rc, 0);
    EXPECT_EQ(back.password, "secret");
}

TEST_F(CredentialsOnHost, DeletingNothingIsTracedAndChangesNothing) {
    psDeletePasswordFile();
    EXPECT_EQ(traceShapes(),
              std::vector<std::string>{
                  "(pssec, NNN) psDeletePasswordFile(): RegOpenPathEx():  Win32 RC = 2."});
    EXPECT_FALSE(storeExists());
    ASSERT_EQ(psWritePasswordFile("admin", "secret"), 0);
    psDeletePasswordFile();
    EXPECT_EQ(readPair().rc, 1);
    EXPECT_EQ(storedValue("Id"), "<2>");
}

// Whichever step of the replacement fails, the old pair stays whole; without a failure the new
// pair is stored.
TEST_F(CredentialsOnHost, ReplacementIsAllOrNothing) {
    struct Case {
        const char* failing;  // a value name or a platform function; null: no failure
        int result;
        const char* password;  // what reads back afterwards
    };
    const Case cases[] = {
        {"RegCreateKeyExA", 1, "old"},
        {"Password", 1, "old"},
        {"Id", 1, "old"},
        {nullptr, 0, "new"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failing != nullptr ? c.failing : "no failure");
        ASSERT_EQ(psWritePasswordFile("olduser", "old"), 0);
        failingName = c.failing;
        if (c.failing != nullptr) regSetFaultHook(failNamedChange);
        EXPECT_EQ(replacePair("newuser", "new"), c.result);
        regSetFaultHook(nullptr);
        Pair back = readPair();
        EXPECT_EQ(back.rc, 0);
        EXPECT_EQ(back.password, c.password);
        EXPECT_EQ(back.id, c.result == 0 ? "newuser" : "olduser");
    }
}

TEST_F(CredentialsOnHost, APasswordWriteFailingAloneFailsTheWrite) {
    ASSERT_EQ(psWritePasswordFile("olduser", "old"), 0);
    failingName = "Password";
    regSetFaultHook(failNamedChange);
    EXPECT_EQ(psWritePasswordFile("newuser", "new"), PS_RESULT_NOT_STORED);
    regSetFaultHook(nullptr);
    EXPECT_EQ(traceCount("WritePswdToRegistry(): setRegValue(): Win32 RC = 112."), 1);
    EXPECT_EQ(readPair().id, "olduser") << "no new id beside the old block";
}
