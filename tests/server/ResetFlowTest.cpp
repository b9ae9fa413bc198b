// Password reset end to end: the mail, the page behind its link, the new password, the old
// sessions.
#include <gtest/gtest.h>

#include "support/BackendTest.h"
#include "support/SmtpSink.h"

namespace brimo::server::testing {
namespace {

class ResetFlowTest : public BackendTest {};

httplib::Result submitNewPassword(const TestService& service, const std::string& token,
                                  const std::string& password, const std::string& confirm) {
    auto c = service.client();
    return c.Post("/reset-password",
                  httplib::Params{{"token", token}, {"password", password}, {"confirm", confirm}});
}

// The whole reset, given the folder the mails arrive in.
void runResetFlow(TestService& service, const std::filesystem::path& mailFolder,
                  const std::string& mailPrefix) {
    const std::string oldSession = service.registerAccount("ada@example.com", "old password");
    const std::string secondSession = *service.login("ada@example.com", "old password");

    auto res = service.post("/api/auth/forgot-password", {{"email", "ADA@example.com"}});
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200);
    EXPECT_TRUE(bodyOf(res)["message"].is_string());

    const auto mails = waitForMails(mailFolder, 1, mailPrefix);
    ASSERT_EQ(mails.size(), 1U);
    const std::string& mail = mails[0];
    EXPECT_NE(mail.find("To: ada@example.com"), std::string::npos);
    EXPECT_NE(mail.find("Subject: Reset your Brimolavetrix password"), std::string::npos);
    const std::string token = resetTokenInMail(mail);
    ASSERT_FALSE(token.empty()) << mail;
    EXPECT_NE(mail.find(service.origin() + "/reset-password?token=" + token), std::string::npos);

    // Following the link shows the form; opening it does not use it up.
    auto c = service.client();
    for (int i = 0; i < 2; ++i) {
        auto page = c.Get(("/reset-password?token=" + token).c_str());
        ASSERT_TRUE(page);
        EXPECT_EQ(page->status, 200);
        EXPECT_NE(page->body.find("name=\"token\" value=\"" + token + "\""), std::string::npos);
        EXPECT_NE(page->get_header_value("Content-Security-Policy").find("default-src 'none'"),
                  std::string::npos);
        EXPECT_EQ(page->get_header_value("Referrer-Policy"), "no-referrer");
    }

    // Mistakes on the form keep the link usable.
    auto mismatch = submitNewPassword(service, token, "new password", "new passwort");
    EXPECT_EQ(mismatch->status, 400);
    EXPECT_NE(mismatch->body.find("do not match"), std::string::npos);
    auto tooShort = submitNewPassword(service, token, "short", "short");
    EXPECT_EQ(tooShort->status, 400);
    EXPECT_NE(tooShort->body.find("at least 8 characters"), std::string::npos);

    auto done = submitNewPassword(service, token, "new password", "new password");
    ASSERT_TRUE(done);
    EXPECT_EQ(done->status, 200);
    EXPECT_NE(done->body.find("Your password has been changed."), std::string::npos);

    EXPECT_FALSE(service.login("ada@example.com", "old password"));
    const auto fresh = service.login("ada@example.com", "new password");
    ASSERT_TRUE(fresh);
    EXPECT_EQ(service.get("/api/user/me", oldSession)->status, 401);
    EXPECT_EQ(service.get("/api/user/me", secondSession)->status, 401);
    auto me = service.get("/api/user/me", *fresh);
    ASSERT_EQ(me->status, 200);
    EXPECT_EQ(bodyOf(me)["user"]["emailVerified"], true);  // the mailbox answered

    // Single use.
    EXPECT_EQ(c.Get(("/reset-password?token=" + token).c_str())->status, 400);
    EXPECT_EQ(submitNewPassword(service, token, "third password", "third password")->status, 400);
    EXPECT_TRUE(service.login("ada@example.com", "new password"));

    // Nothing secret reached the access log.
    const std::string log = readFileText(service.accessLogPath());
    EXPECT_NE(log.find("/reset-password"), std::string::npos);
    for (const std::string& secret : std::vector<std::string>{
             token, oldSession, *fresh, std::string("old password"), std::string("new password")}) {
        EXPECT_EQ(log.find(secret), std::string::npos) << secret;
    }
}

TEST_P(ResetFlowTest, ThroughTheMaildir) {
    TestService service(GetParam());
    runResetFlow(service, service.maildir() / "new", "");
}

TEST_P(ResetFlowTest, ThroughARealSmtpServer) {
    SmtpSink sink;
    ASSERT_FALSE(sink.port().empty()) << sink.errors();
    ServiceTweaks tweaks;
    SmtpSettings smtp;
    smtp.url = "smtp://127.0.0.1:" + sink.port();
    smtp.from = "Brimolavetrix <accounts@brimolavetrix.test>";
    smtp.requireTls = false;  // the loopback sink speaks plain SMTP
    tweaks.smtp = smtp;
    TestService service(GetParam(), tweaks);
    runResetFlow(service, sink.folder(), SmtpSink::kMailPrefix);
    const auto mails = sink.waitForMails(1);
    ASSERT_FALSE(mails.empty());
    EXPECT_NE(mails[0].find("X-Envelope-To: ada@example.com"), std::string::npos);
    EXPECT_NE(mails[0].find("From: Brimolavetrix <accounts@brimolavetrix.test>"),
              std::string::npos);
    EXPECT_TRUE(service.errors().empty());
}

TEST_P(ResetFlowTest, OnlyAKnownAddressGetsALinkThatExpiresInAnHourAndMadeUpLinksAreRefused) {
    TestService service(GetParam());
    service.registerAccount("late@example.com", "first password");
    auto unknown = service.post("/api/auth/forgot-password", {{"email", "unknown@example.com"}});
    auto known = service.post("/api/auth/forgot-password", {{"email", "late@example.com"}});
    ASSERT_EQ(known->status, 200);
    EXPECT_EQ(unknown->status, 200);
    EXPECT_EQ(unknown->body, known->body);  // the same answer
    const auto mails = waitForMails(service.maildir() / "new", 1);
    ASSERT_EQ(mails.size(), 1U);
    EXPECT_NE(mails[0].find("To: late@example.com"), std::string::npos);
    const std::string token = resetTokenInMail(mails[0]);
    service.advanceClock(3601);
    EXPECT_EQ(service.client().Get(("/reset-password?token=" + token).c_str())->status, 400);
    EXPECT_EQ(submitNewPassword(service, token, "second password", "second password")->status, 400);
    EXPECT_TRUE(service.login("late@example.com", "first password"));

    for (const std::string& made : std::vector<std::string>{
             std::string(), std::string(43, 'x'), std::string("\"><script>alert(1)</script>")}) {
        auto page = submitNewPassword(service, made, "second password", "second password");
        EXPECT_EQ(page->status, 400);
        EXPECT_EQ(page->body.find("<script>"), std::string::npos);
    }
}

BRIMO_INSTANTIATE_BACKENDS(ResetFlowTest);

}  // namespace
}  // namespace brimo::server::testing
