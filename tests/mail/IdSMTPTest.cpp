// The SMTP dialogue against the scripted peer: what the client says, in which
// order, and what each refusal does to the session.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "ScriptedPeer.h"
#include "mail/IdMessage.h"
#include "mail/IdSMTP.h"

namespace {

const std::string Greeting = "220 test ESMTP\r\n";
const std::string EhloLogin = "250-test\r\n250-AUTH LOGIN PLAIN\r\n250 AUTH=LOGIN\r\n";
const std::string EhloPlain = "250-test\r\n250 8BITMIME\r\n";
const std::string Ok = "250 OK\r\n";

// The lines the client sent, with the message text between DATA's 354 and the
// final dot shown as one "<message>" line.
// A "SIZE=<n>" on MAIL FROM shows as "SIZE=<size>" when n is the number of bytes
// the client then sent as message text.
std::vector<std::string> Dialogue(const std::vector<std::string>& transcript) {
    std::vector<std::string> out;
    std::size_t dataBytes = 0;
    for (auto data = std::find(transcript.begin(), transcript.end(), "DATA\r\n"); data != transcript.end() && ++data != transcript.end() && *data != ".\r\n";)
        dataBytes += data->size();
    const std::string sizeParameter = " SIZE=" + std::to_string(dataBytes) + "\r\n";
    bool inData = false;
    for (std::size_t i = 0; i < transcript.size(); ++i) {
        const std::string& line = transcript[i];
        if (inData) {
            if (line == ".\r\n") {
                out.push_back("<message>");
                out.push_back(".");
                inData = false;
            }
            continue;
        }
        if (line.rfind("MAIL FROM:", 0) == 0 && line.size() > sizeParameter.size() &&
            line.compare(line.size() - sizeParameter.size(), sizeParameter.size(), sizeParameter) == 0) {
            out.push_back(line.substr(0, line.size() - sizeParameter.size()) + " SIZE=<size>");
            continue;
        }
        out.push_back(line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0 ? line.substr(0, line.size() - 2)
                                                                                        : "<no CR LF>" + line);
        if (line == "DATA\r\n") {
            bool hasDot = false;
            for (std::size_t j = i + 1; j < transcript.size(); ++j) hasDot |= transcript[j] == ".\r\n";
            inData = hasDot;
        }
    }
    return out;
}

struct TSmtpCase {
    const char* Name;
    std::function<void(TIdSMTP&, TIdMessage&)> Setup;
    std::vector<TPeerStep> Server;
    std::vector<std::string> Client; // lines the client sends, QUIT included
    std::string Error;               // of Connect or Send; empty: none
    bool ConnectedAfter;
    int Sends = 1;
};

void Standard(TIdSMTP& smtp, TIdMessage& message) {
    smtp.SetAuthenticationType(atLogin);
    smtp.Username = "user";
    smtp.Password = Utf8ToAnsi("密码");
    message.From.Address = "from@example.com";
    message.Recipients.SetAddressesText("to@example.com");
    message.Subject = "s";
    message.Body = {"line"};
}

class SmtpDialogueTest : public testing::TestWithParam<TSmtpCase> {};

TEST_P(SmtpDialogueTest, SaysWhatTheSessionNeeds) {
    const TSmtpCase& c = GetParam();
    TScriptedPeer peer(c.Server);
    std::string error;
    {
        TIdSMTP smtp;
        smtp.Host = "127.0.0.1";
        smtp.Port = peer.Port;
        smtp.HeloName = "client.test";
        smtp.SetReadTimeoutMs(5000);
        TIdMessage message;
        Standard(smtp, message);
        if (c.Setup) c.Setup(smtp, message);
        try {
            smtp.Connect();
            for (int i = 0; i < c.Sends; ++i) smtp.Send(message);
        } catch (const EIdException& e) {
            error = e.Message;
        }
        EXPECT_EQ(smtp.Connected(), c.ConnectedAfter);
        smtp.Disconnect();
        EXPECT_FALSE(smtp.Authenticated);
    }
    EXPECT_EQ(error, c.Error);
    EXPECT_EQ(Dialogue(peer.Transcript()), c.Client);
}

// "客服中心<a@b>" in code page 936 (a constant: conversions are not ready during static start-up).
const std::string Cp936Sender = "\xBF\xCD\xB7\xFE\xD6\xD0\xD0\xC4<a@b>";

INSTANTIATE_TEST_SUITE_P(
    Sessions, SmtpDialogueTest,
    testing::Values(
        TSmtpCase{"LoginAndAllRecipientLists",
                  [](TIdSMTP&, TIdMessage& m) {
                      m.CCList.SetAddressesText("cc@example.com");
                      m.BccList.SetAddressesText("bcc@example.com");
                  },
                  {Say(Greeting), Hear(), Say(EhloLogin), Hear(), Say(Ok), Hear(), Say("334 VXNlcm5hbWU6\r\n"), Hear(),
                   Say("334 UGFzc3dvcmQ6\r\n"), Hear(), Say("235 ok\r\n"), Hear(), Say(Ok), Hear(), Say(Ok), Hear(), Say(Ok),
                   Hear(), Say("251 forwarded\r\n"), Hear(), Say("354 go\r\n"), HearMessage(), Say(Ok)},
                  {"EHLO client.test", "RSET", "AUTH LOGIN", "dXNlcg==", "w9zC6w==", "MAIL FROM:<from@example.com>",
                   "RCPT TO:<to@example.com>", "RCPT TO:<cc@example.com>", "RCPT TO:<bcc@example.com>", "DATA",
                   "<message>", ".", "QUIT"},
                  "",
                  true},
        TSmtpCase{"EhloRefusedFallsBackToHeloWithoutLogin",
                  nullptr,
                  {Say(Greeting), Hear(), Say("500 Command unrecognized\r\n"), Hear(), Say(Ok), Hear(),
                   Say("502 Command not implemented\r\n"), Hear(), Say(Ok), Hear(), Say(Ok), Hear(), Say("354 go\r\n"),
                   HearMessage(), Say(Ok)},
                  {"EHLO client.test", "HELO client.test", "RSET", "MAIL FROM:<from@example.com>", "RCPT TO:<to@example.com>",
                   "DATA", "<message>", ".", "QUIT"},
                  "",
                  true},
        TSmtpCase{"NoLoginWhenNotAskedFor",
                  [](TIdSMTP& s, TIdMessage&) { s.SetAuthenticationType(atNone); },
                  {Say(Greeting), Hear(), Say(EhloLogin), Hear(), Say(Ok), Hear(), Say(Ok), Hear(), Say(Ok), Hear(),
                   Say("354 go\r\n"), HearMessage(), Say(Ok)},
                  {"EHLO client.test", "RSET", "MAIL FROM:<from@example.com>", "RCPT TO:<to@example.com>", "DATA",
                   "<message>", ".", "QUIT"},
                  "",
                  true},
        TSmtpCase{"NoLoginWhenServerOffersNoLogin",
                  nullptr,
                  {Say(Greeting), Hear(), Say(EhloPlain), Hear(), Say(Ok), Hear(), Say("530 login first\r\n")},
                  {"EHLO client.test", "RSET", "MAIL FROM:<from@example.com>", "QUIT"},
                  "login first\r\n",
                  true},
        // An empty user name means no login: a relay that offers AUTH without
        // requiring it would refuse two empty credential lines.
        TSmtpCase{"EmptyUserNameSendsNoAuth",
                  [](TIdSMTP& s, TIdMessage&) { s.Username.clear(); },
                  {Say(Greeting), Hear(), Say(EhloLogin), Hear(), Say(Ok), Hear(), Say(Ok), Hear(), Say(Ok), Hear(),
                   Say("354 go\r\n"), HearMessage(), Say(Ok)},
                  {"EHLO client.test", "RSET", "MAIL FROM:<from@example.com>", "RCPT TO:<to@example.com>", "DATA",
                   "<message>", ".", "QUIT"},
                  "",
                  true},
        TSmtpCase{"PlainWhenLoginIsNotOffered",
                  nullptr,
                  {Say(Greeting), Hear(), Say("250-test\r\n250 AUTH PLAIN CRAM-MD5\r\n"), Hear(), Say(Ok), Hear(),
                   Say("235 ok\r\n"), Hear(), Say(Ok), Hear(), Say(Ok), Hear(), Say("354 go\r\n"), HearMessage(),
                   Say(Ok)},
                  // base64 of NUL "user" NUL and the password's code page 936 bytes
                  {"EHLO client.test", "RSET", "AUTH PLAIN AHVzZXIAw9zC6w==", "MAIL FROM:<from@example.com>",
                   "RCPT TO:<to@example.com>", "DATA", "<message>", ".", "QUIT"},
                  "",
                  true},
        TSmtpCase{"SizeOnMailFromWhenOffered",
                  nullptr,
                  {Say(Greeting), Hear(), Say("250-test\r\n250 SIZE\r\n"), Hear(), Say(Ok), Hear(), Say(Ok), Hear(),
                   Say(Ok), Hear(), Say("354 go\r\n"), HearMessage(), Say(Ok)},
                  {"EHLO client.test", "RSET", "MAIL FROM:<from@example.com> SIZE=<size>", "RCPT TO:<to@example.com>",
                   "DATA", "<message>", ".", "QUIT"},
                  "",
                  true},
        TSmtpCase{"PasswordRefusedLeavesConnectionOpen",
                  nullptr,
                  {Say(Greeting), Hear(), Say(EhloLogin), Hear(), Say(Ok), Hear(), Say("334 x\r\n"), Hear(), Say("334 y\r\n"),
                   Hear(), Say("535 Authentication failed\r\n")},
                  {"EHLO client.test", "RSET", "AUTH LOGIN", "dXNlcg==", "w9zC6w==", "QUIT"},
                  "Authentication failed\r\n",
                  true},
        TSmtpCase{"GreetingRefusedSendsQuitAndCloses",
                  nullptr,
                  {Say("554 go away\r\n")},
                  {"QUIT"},
                  "go away\r\n",
                  false},
        TSmtpCase{"HeloRefusedSendsQuitAndCloses",
                  nullptr,
                  {Say(Greeting), Hear(), Say("500 no\r\n"), Hear(), Say("501 bad name\r\n")},
                  {"EHLO client.test", "HELO client.test", "QUIT"},
                  "bad name\r\n",
                  false},
        TSmtpCase{"RefusedRecipientStopsTheList",
                  [](TIdSMTP& s, TIdMessage& m) {
                      s.SetAuthenticationType(atNone);
                      m.Recipients.SetAddressesText("a@b, c@d, e@f");
                  },
                  {Say(Greeting), Hear(), Say(EhloPlain), Hear(), Say(Ok), Hear(), Say(Ok), Hear(), Say(Ok), Hear(),
                   Say("550 No such user\r\n")},
                  {"EHLO client.test", "RSET", "MAIL FROM:<from@example.com>", "RCPT TO:<a@b>", "RCPT TO:<c@d>", "QUIT"},
                  "No such user\r\n",
                  true},
        TSmtpCase{"AddressesGoVerbatim",
                  [](TIdSMTP& s, TIdMessage& m) {
                      s.SetAuthenticationType(atNone);
                      m.From.Address = Cp936Sender;
                      m.Recipients.SetAddressesText("Sales Dept, a@b");
                  },
                  {Say(Greeting), Hear(), Say(EhloPlain), Hear(), Say(Ok), Hear(), Say(Ok), Hear(), Say(Ok), Hear(), Say(Ok),
                   Hear(), Say("554 no data today\r\n")},
                  {"EHLO client.test", "RSET", "MAIL FROM:<" + Cp936Sender + ">", "RCPT TO:<>", "RCPT TO:<a@b>", "DATA",
                   "QUIT"},
                  "no data today\r\n",
                  true},
        TSmtpCase{"EmptySender",
                  [](TIdSMTP& s, TIdMessage& m) {
                      s.SetAuthenticationType(atNone);
                      m.From.Address.clear();
                  },
                  {Say(Greeting), Hear(), Say(EhloPlain), Hear(), Say(Ok), Hear(), Say("553 need a sender\r\n")},
                  {"EHLO client.test", "RSET", "MAIL FROM:<>", "QUIT"},
                  "need a sender\r\n",
                  true},
        TSmtpCase{"SecondSendLogsInOnce",
                  nullptr,
                  {Say(Greeting), Hear(), Say(EhloLogin), Hear(), Say(Ok), Hear(), Say("334 x\r\n"), Hear(), Say("334 y\r\n"),
                   Hear(), Say("235 ok\r\n"), Hear(), Say(Ok), Hear(), Say(Ok), Hear(), Say("354 go\r\n"), HearMessage(),
                   Say(Ok), Hear(), Say(Ok), Hear(), Say(Ok), Hear(), Say(Ok), Hear(), Say("354 go\r\n"), HearMessage(),
                   Say(Ok)},
                  {"EHLO client.test", "RSET", "AUTH LOGIN", "dXNlcg==", "w9zC6w==", "MAIL FROM:<from@example.com>",
                   "RCPT TO:<to@example.com>", "DATA", "<message>", ".", "RSET", "MAIL FROM:<from@example.com>",
                   "RCPT TO:<to@example.com>", "DATA", "<message>", ".", "QUIT"},
                  "",
                  true,
                  2},
        TSmtpCase{"MessageRefusedAfterTheDot",
                  [](TIdSMTP& s, TIdMessage&) { s.SetAuthenticationType(atNone); },
                  {Say(Greeting), Hear(), Say(EhloPlain), Hear(), Say(Ok), Hear(), Say(Ok), Hear(), Say(Ok), Hear(),
                   Say("354 go\r\n"), HearMessage(), Say("552 too big\r\n")},
                  {"EHLO client.test", "RSET", "MAIL FROM:<from@example.com>", "RCPT TO:<to@example.com>", "DATA",
                   "<message>", ".", "QUIT"},
                  "too big\r\n",
                  true},
        TSmtpCase{"ServerClosesInTheExchange",
                  nullptr,
                  {Say(Greeting), Hear(), Say(EhloLogin), Hear(), CloseConnection()},
                  {"EHLO client.test", "RSET"},
                  "Connection Closed Gracefully.",
                  false},
        // A line break or NUL in any address or display name is refused before
        // the first command of the transaction: nothing reaches the server.
        TSmtpCase{"LineBreakInCcSendsNothing",
                  [](TIdSMTP&, TIdMessage& m) { m.CCList.Add().Address = "b@example.com\r\nRSET"; },
                  {Say(Greeting), Hear(), Say(EhloLogin), Hear()},
                  {"EHLO client.test", "QUIT"},
                  "Address holds a line break or NUL byte: \"b@example.com\\r\\nRSET\"",
                  true},
        TSmtpCase{"QuotedLocalPartCarriesACommand",
                  [](TIdSMTP&, TIdMessage& m) {
                      m.Recipients.SetAddressesText("\"x\r\nRCPT TO:<evil@example.com>\"@example.com");
                  },
                  {Say(Greeting), Hear(), Say(EhloLogin), Hear()},
                  {"EHLO client.test", "QUIT"},
                  "Address holds a line break or NUL byte: \"\\\"x\\r\\nRCPT TO:<evil@example.com>\\\" <@example.com>\"",
                  true},
        TSmtpCase{"LineFeedInSender",
                  [](TIdSMTP&, TIdMessage& m) { m.From.Address = "a@b\nDATA"; },
                  {Say(Greeting), Hear(), Say(EhloLogin), Hear()},
                  {"EHLO client.test", "QUIT"},
                  "Address holds a line break or NUL byte: \"a@b\\nDATA\"",
                  true},
        TSmtpCase{"NulInBcc",
                  [](TIdSMTP&, TIdMessage& m) { m.BccList.Add().Address = std::string("x@y\0z", 5); },
                  {Say(Greeting), Hear(), Say(EhloLogin), Hear()},
                  {"EHLO client.test", "QUIT"},
                  "Address holds a line break or NUL byte: \"x@y\\x00z\"",
                  true},
        TSmtpCase{"LineBreakInDisplayName",
                  [](TIdSMTP&, TIdMessage& m) {
                      TIdEMailAddressItem& item = m.ReplyTo.Add();
                      item.Name = "Boss\r\nBcc: all@example.com";
                      item.Address = "boss@example.com";
                  },
                  {Say(Greeting), Hear(), Say(EhloLogin), Hear()},
                  {"EHLO client.test", "QUIT"},
                  "Address holds a line break or NUL byte: \"\\\"Boss\\r\\nBcc: all@example.com\\\" <boss@example.com>\"",
                  true},
        TSmtpCase{"ServerClosesInsteadOfGreeting",
                  nullptr,
                  {CloseConnection()},
                  {},
                  "Connection Closed Gracefully.",
                  false}),
    [](const auto& test) { return std::string(test.param.Name); });

TEST(SmtpTest, DisconnectWithoutConnectionRaisesNothing) {
    TIdSMTP smtp;
    EXPECT_NO_THROW(smtp.Disconnect());
    EXPECT_FALSE(smtp.Connected());
}

TEST(SmtpTest, ConnectRefusedRaisesTheSocketError) {
    TIdSMTP smtp;
    smtp.Host = "127.0.0.1";
    smtp.Port = 1; // nothing listens on a privileged port here
    try {
        smtp.Connect();
        FAIL() << "connected";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.Message, "Socket Error # 10061\r\nConnection refused.");
    }
    EXPECT_NO_THROW(smtp.Disconnect());
}

TEST(SmtpTest, DefaultsAndCoupledSetters) {
    TIdSMTP smtp;
    EXPECT_EQ(smtp.Port, 25);
    EXPECT_EQ(smtp.AuthenticationType(), atNone);
    EXPECT_TRUE(smtp.UseEhlo());
    smtp.SetUseEhlo(false);
    smtp.SetAuthenticationType(atLogin);
    EXPECT_TRUE(smtp.UseEhlo());
    smtp.SetUseEhlo(false);
    EXPECT_EQ(smtp.AuthenticationType(), atNone);
}

TEST(SmtpTest, AuthSchemesFromEhloLines) {
    struct TCase {
        std::vector<AnsiString> Lines;
        std::vector<AnsiString> Schemes;
    };
    const std::vector<TCase> cases = {
        {{"test", "AUTH LOGIN PLAIN", "AUTH=LOGIN"}, {"", "LOGIN", "PLAIN"}},
        {{"auth=login cram-md5"}, {"", "LOGIN", "CRAM-MD5"}},
        {{"SIZE 100", "AUTHX LOGIN", "8BITMIME"}, {}},
        {{"AUTH"}, {}},
        {{"AUTH "}, {""}},
    };
    for (const TCase& c : cases) EXPECT_EQ(TIdSMTP::ParseAuthSchemes(c.Lines), c.Schemes) << c.Lines.back();
    TIdSMTP smtp;
    smtp.AuthSchemes = {"", "login"};
    EXPECT_TRUE(smtp.LoginOffered(atLogin));
    EXPECT_FALSE(smtp.LoginOffered(atNone));
    smtp.AuthSchemes = {"", "PLAIN"};
    EXPECT_FALSE(smtp.LoginOffered(atLogin));
}

} // namespace
