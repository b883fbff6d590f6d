// SPDX-License-Identifier: MIT
// What the bus layer makes of what peers send: error names and messages as statuses, and
// 8-bit text as UTF-8.
#include "bus/Marshal.h"

#include <gtest/gtest.h>

using namespace ZEMB;

TEST(Marshal, FailureStatusesSurviveTheTripAsErrorNames) {
    for (HRESULT s : {E_UNEXPECTED, E_FAIL, E_NOINTERFACE, DISP_E_MEMBERNOTFOUND, RPC_E_TIMEOUT,
                      static_cast<HRESULT>(0x80041234u)})
        EXPECT_EQ(StatusOfError(ErrorNameOf(s), ErrorMessageOf(s, "x")), s);
    EXPECT_EQ(ErrorNameOf(E_UNEXPECTED), "org.zemb.ZEMB.Error.Unexpected");
    EXPECT_EQ(StatusOfError("org.zemb.ZEMB.Error.Status", "0x0000000"), E_FAIL);
    EXPECT_EQ(StatusOfError("org.zemb.ZEMB.Error.Status", "0x00000001: ok?"), E_FAIL);
    EXPECT_EQ(StatusOfError(BusErrorName::NoReply, "Method call timed out"), RPC_E_TIMEOUT);
    EXPECT_EQ(StatusOfError(BusErrorName::NoReply,
                            "Message recipient disconnected from message bus without replying"),
              RPC_E_DISCONNECTED);
    EXPECT_EQ(StatusOfError(BusErrorName::ServiceUnknown, ""), RPC_E_DISCONNECTED);
    EXPECT_EQ(StatusOfError("com.example.Anything", ""), E_FAIL);
}

TEST(Marshal, TextThatIsNotUtf8IsTakenAsLatin1) {
    EXPECT_EQ(ToValidUtf8("Grüße"), "Grüße");
    EXPECT_EQ(ToValidUtf8(std::string("Gr\xfc\xdf") + "e"), "Grüße");
    EXPECT_EQ(ToValidUtf8("\xc0\xaf"), "\xc3\x80\xc2\xaf");             // over-long form
    EXPECT_EQ(ToValidUtf8("\xed\xa0\x80"), "\xc3\xad\xc2\xa0\xc2\x80"); // surrogate
    EXPECT_EQ(ToValidUtf8("\xf0\x9f\x98\x80"), "\xf0\x9f\x98\x80");
    EXPECT_EQ(ToValidUtf8("\xe2\x82"), "\xc3\xa2\xc2\x82"); // cut short
    EXPECT_EQ(ToValidUtf8(std::string_view("ab\0cd", 5)), "ab");
}
