// libcrypto's legacy DES interface is the independent check of the stored block.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include "settings/pssec.h"

#include <cstring>

#include "crypto/des.h"
#include "settings/settingskeys.h"
#include "store_fixture.h"
#include "tests/crypto/des_oracle.h"

namespace {

const char* fakeHost = "webhost";

std::string stored(const char* name) {
    return storedValue(kCredentialsKeyPath, name);
}

struct Pair {
    std::string id, password;
    int rc;
};
Pair readPair() {
    char id[kCredentialSize], password[kCredentialSize] = "untouched";
    int rc = psReadPasswordFile(id, password);
    return {rc == 0 ? id : "", password, rc};
}

// The block a correct implementation stores: the password zero-filled to 64 bytes in CBC under
// the key derived from "<id>@<host>" with the fixed IV, as an independent DES computes it.
std::string expectedBlock(const std::string& text, const char* id, const char* host) {
    unsigned char key[8];
    std::string keyText = std::string(id) + "@" + host;
    EXPECT_EQ(desDeriveKey(reinterpret_cast<const unsigned char*>(keyText.data()),
                           static_cast<int32_t>(keyText.size()), key),
              0);
    testdes::Bytes plain(kCredentialSize, 0);
    memcpy(plain.data(), text.data(), text.size());
    testdes::Bytes block = testdes::oracleCbc(key, false, desFixedIv(), plain);
    return std::string(block.begin(), block.end());
}

class Credentials : public StoreTest {
  protected:
    void SetUp() override {
        StoreTest::SetUp();
        fakeHost = "webhost";
        psSetComputerNameSource([](char* name, size_t capacity) {
            return snprintf(name, capacity, "%s", fakeHost) >= 0;
        });
    }
    void TearDown() override {
        psSetComputerNameSource(nullptr);
        psSetKeyDerivation(nullptr);
        StoreTest::TearDown();
    }
};

}  // namespace

TEST_F(Credentials, PairsRoundTripAsTheStoredLayoutSays) {
    const std::pair<std::string, std::string> cases[] = {
        {"admin", "secret"}, {std::string(63, 'I'), std::string(63, 'P')}, {"x", ""}};
    for (const auto& [id, password] : cases) {
        SCOPED_TRACE(id);
        ASSERT_EQ(psWritePasswordFile(id.c_str(), password.c_str()), 0);
        EXPECT_EQ(stored("Password"), expectedBlock(password, id.c_str(), "webhost"));
        EXPECT_EQ(stored("Id"), id + '\0');
        Pair back = readPair();
        EXPECT_EQ(back.rc, 0);
        EXPECT_EQ(back.id, id);
        EXPECT_EQ(back.password, password);
    }
    EXPECT_TRUE(traceShapes().empty());
    psSetComputerNameSource([](char*, size_t) { return false; });  // no name: an empty one
    ASSERT_EQ(psWritePasswordFile("admin", "pw"), 0);
    EXPECT_EQ(stored("Password"), expectedBlock("pw", "admin", ""));
}

// Another computer deciphers other bytes; 64 of them without a NUL: the first 63 are handed on.
TEST_F(Credentials, AnotherComputerDeciphersToOtherBytesHandedOnTerminated) {
    ASSERT_EQ(psWritePasswordFile("admin", "same"), 0);
    fakeHost = "otherhost";
    EXPECT_EQ(readPair().rc, 0);
    EXPECT_NE(readPair().password, "same");
    ASSERT_EQ(storeValue(kCredentialsKeyPath, "Password", REG_BINARY,
                         expectedBlock(std::string(64, 'z'), "admin", "otherhost")),
              0);
    EXPECT_EQ(readPair().password, std::string(63, 'z'));
}

TEST_F(Credentials, IncompleteCredentialsDoNotRead) {
    const std::string block(kCredentialSize, '\x5a');
    const std::tuple<const char*, std::string, std::string, const char*> cases[] = {
        {"only the id", std::string("admin\0", 6), "", "getRegValue(): Win32 RC=2 ."},
        {"only the password", "", block, "getRegValue(): Win32 RC=2 ."},
        {"an empty id", std::string(1, '\0'), block, "getRegValue(): Win32 RC=0 ."},
        {"an id of 64 characters", std::string(64, 'a') + '\0', block,
         "getRegValue(): Win32 RC=234 ."},
        {"nothing at all", "", "", "RegOpenPathEx(): Win32 RC=2 ."},
    };
    for (const auto& [what, id, password, trace] : cases) {
        SCOPED_TRACE(what);
        psDeletePasswordFile();
        if (!id.empty()) (void)storeValue(kCredentialsKeyPath, "Id", REG_SZ, id);
        if (!password.empty())
            (void)storeValue(kCredentialsKeyPath, "Password", REG_BINARY, password);
        clearTrace();
        Pair back = readPair();
        EXPECT_EQ(back.rc, 1);
        EXPECT_EQ(back.password, "untouched");
        EXPECT_EQ(traceCount(std::string("ReadPswdFromRegistry(): ") + trace), 1);
    }
}

TEST_F(Credentials, RefusalsStoreNothing) {
    psDeletePasswordFile();
    EXPECT_EQ(traceShapes(),
              std::vector<std::string>{
                  "(pssec, NNN) psDeletePasswordFile(): deleteWholeKey(): Win32 RC = 2."});
    const std::string tooLong(64, 'l');
    EXPECT_EQ(psWritePasswordFile(tooLong.c_str(), "pw"), kPsTooLong);
    EXPECT_EQ(psWritePasswordFile("admin", tooLong.c_str()), kPsTooLong);
    EXPECT_EQ(traceCount("has 64 characters or more; nothing stored."), 2);
    EXPECT_FALSE(storeExists());

    // Whichever step of the replacement fails (the old pair's delete included), the stored pair
    // stays whole.
    ASSERT_EQ(psWritePasswordFile("admin", "old"), 0);
    std::string before = stored("Password");
    for (const char* failing : {"RegDeleteKeyA", "RegCreateKeyExA", "Password", "Id"}) {
        SCOPED_TRACE(failing);
        failingName = failing;
        regSetFaultHook(failNamedChange);
        EXPECT_EQ(psUpdatePasswordFile("newuser", "new"), 1);
        regSetFaultHook(nullptr);
        EXPECT_EQ(stored("Id"), std::string("admin\0", 6));
        EXPECT_EQ(stored("Password"), before);
    }
    clearTrace();
    psSetKeyDerivation([](const unsigned char*, int, unsigned char*) { return -1; });
    unsigned char key[8] = {1, 1, 1, 1, 1, 1, 1, 1};
    EXPECT_EQ(psUserKey(key, "admin"), -1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(key), 8), std::string(8, '\0'));
    EXPECT_EQ(psWritePasswordFile("admin", "new"), kPsNoMemory);
    EXPECT_EQ(stored("Password"), before) << "never stored under the all-zero key";
    EXPECT_EQ(readPair().rc, kPsNoMemory);
    EXPECT_EQ(readPair().password, "untouched");
    EXPECT_EQ(traceShapes(), std::vector<std::string>(3, "(pssec, NNN) Out of memory!"));
}
