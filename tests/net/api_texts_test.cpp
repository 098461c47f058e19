#include "net/api_texts.h"

#include <gtest/gtest.h>

TEST(ApiTexts, UserAgentAndHeadersAreExact) {
    EXPECT_EQ(ApiUserAgent(), "Trevanto/1.26.0803");
    EXPECT_EQ(ApiPostHeaders(),
              "Content-Type: application/json\r\nAccept: application/json\r\n"
              "X-Api-Key: qzt_27_Hn4vPbW8kLsT2mRc9-XdFaJeQ-Uy3Zo-\r\n");
    EXPECT_EQ(ApiGetHeaders(), "Accept: application/json\r\nX-Api-Key: qzt_27_Hn4vPbW8kLsT2mRc9-XdFaJeQ-Uy3Zo-\r\n");
}

TEST(ApiTexts, PostErrorTextsCarryTheCode) {
    EXPECT_EQ(ApiStepErrorText(ApiStep::Open, true, 87), "InternetOpenA fallo (codigo=87)");
    EXPECT_EQ(ApiStepErrorText(ApiStep::Connect, true, 12007), "InternetConnectA fallo (codigo=12007)");
    EXPECT_EQ(ApiStepErrorText(ApiStep::OpenRequest, true, 6), "HttpOpenRequestA fallo (codigo=6)");
    EXPECT_EQ(ApiStepErrorText(ApiStep::Send, true, 12029), "HttpSendRequestA fallo (codigo=12029)");
    EXPECT_EQ(ApiStepErrorText(ApiStep::Send, true, 4294967295ul), "HttpSendRequestA fallo (codigo=4294967295)");
}

TEST(ApiTexts, GetErrorTextsCarryTheCodeOnlyFromSendingOn) {
    EXPECT_EQ(ApiStepErrorText(ApiStep::Open, false, 87), "InternetOpenA fallo");
    EXPECT_EQ(ApiStepErrorText(ApiStep::Connect, false, 87), "InternetConnectA fallo");
    EXPECT_EQ(ApiStepErrorText(ApiStep::OpenRequest, false, 87), "HttpOpenRequestA fallo");
    EXPECT_EQ(ApiStepErrorText(ApiStep::Send, false, 12002), "HttpSendRequestA fallo (codigo=12002)");
    EXPECT_EQ(ApiStepErrorText(ApiStep::Read, false, 8), "InternetReadFile fallo (codigo=8)");
}

TEST(ApiTexts, StatusRange) {
    EXPECT_EQ(ApiStatusErrorText(404), "HTTP 404");
    EXPECT_EQ(ApiStatusErrorText(0), "HTTP 0");
    EXPECT_FALSE(IsSuccessStatus(199));
    EXPECT_TRUE(IsSuccessStatus(200));
    EXPECT_TRUE(IsSuccessStatus(204));
    EXPECT_TRUE(IsSuccessStatus(299));
    EXPECT_FALSE(IsSuccessStatus(300));
    EXPECT_FALSE(IsSuccessStatus(0));
}
