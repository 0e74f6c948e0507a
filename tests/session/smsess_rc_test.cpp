// Reading the server's response line into a return code and an amount.
#include "session/smsess_rc.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace {

constexpr uint32_t kUntouched = 0xDEADBEEF;  // as an amount: it must not be written

TEST(SmParseRc, ReadsCodeAndAmount) {
    const std::tuple<const char*, int32_t, uint32_t> cases[] = {
        {"RC_OK \t+812 bytes", 0, 812},
        {"RC_OK", 0, kUntouched},
        {"RC_OK ", 0, 0},
        {"RC_OK abc", 0, 0},
        {"RC_OK 4294967295", 0, 4294967295u},
        {"RC_OK 99999999999", 0, UINT32_MAX},
        {"RC_OK -1", 0, UINT32_MAX},
        {"RC_INUSEXYZ", -30, kUntouched},  // matching is by prefix
        {"", kRcUnrecognized, kUntouched},
        {"rc_ok 812", kRcUnrecognized, 812},
        {"RC_NO", kRcUnrecognized, kUntouched},  // shorter than every name it begins
        {"not used", kRcUnrecognized, 0},        // the placeholder rows never match
        {"RC_ 7", kRcUnrecognized, 7},
    };
    for (const auto& [text, code, expected] : cases) {
        std::string line = text;
        uint32_t amount = kUntouched;
        EXPECT_EQ(smParseRc(line.data(), &amount), code) << text;
        EXPECT_EQ(amount, expected) << text;
    }
}

// The failure result is no code of the table, nor 0 or the session's -1 for a dropped connection.
static_assert(kRcUnrecognized != 0 && kRcUnrecognized != -1);

TEST(SmParseRc, EveryNamedRowIsFoundByItsOwnNameAndNoneIsTheFailure) {
    for (const RcEntry& row : rcTable) {
        EXPECT_NE(row.code, kRcUnrecognized) << row.name;
        if (std::string(row.name) == "not used") continue;
        std::string line = row.name;
        uint32_t amount = 0;
        // A name that begins with an earlier row's name would be found as that row.
        EXPECT_EQ(smParseRc(line.data(), &amount), row.code) << row.name;
    }
}

}  // namespace
