// The line connection against the scripted peer: replies, line limits, closes,
// socket errors and their texts.
#include <gtest/gtest.h>

#include <chrono>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ScriptedPeer.h"
#include "mail/IdTCPConnection.h"
#include "tests/support/ClosedPort.h"

namespace {

std::string Repeat(char c, std::size_t n) { return std::string(n, c); }
std::string Repeat(const std::string& text, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) out += text;
    return out;
}
// `n` lines `text`, then `last`.
std::vector<AnsiString> Texts(std::size_t n, const AnsiString& text, const AnsiString& last) {
    std::vector<AnsiString> lines(n, text);
    lines.push_back(last);
    return lines;
}

struct TClient : TIdTCPClient {
    explicit TClient(int port) {
        Host = "127.0.0.1";
        Port = port;
        ReadTimeout = 5000; // a fault in a test must not hang it
    }
};

// ---------------------------------------------------------------- pure reply parsing

struct TParseCase {
    const char* Name;
    std::vector<AnsiString> Lines;
    int NumericCode;
    AnsiString TextCode;
    std::vector<AnsiString> Text;
};

class ParseReplyTest : public testing::TestWithParam<TParseCase> {};

TEST_P(ParseReplyTest, GivesCodeAndText) {
    const TParseCase& c = GetParam();
    TIdRFCReply reply;
    reply.ParseReply(c.Lines);
    EXPECT_EQ(reply.NumericCode, c.NumericCode);
    EXPECT_EQ(reply.TextCode, c.TextCode);
    EXPECT_EQ(reply.Text, c.Text);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ParseReplyTest,
    testing::Values(TParseCase{"Simple", {"250 OK"}, 250, "250", {"OK"}},
                    TParseCase{"BareCode", {"250"}, 250, "250", {""}},
                    TParseCase{"MultiLine", {"250-first", "250-second", "250 last"}, 250, "250", {"first", "second", "last"}},
                    TParseCase{"NotANumber", {"2xx hello"}, 0, "2xx", {"hello"}},
                    TParseCase{"ShortCode", {"25"}, 25, "25", {""}},
                    TParseCase{"Empty", {}, 0, "", {}}),
    [](const auto& test) { return std::string(test.param.Name); });

// ---------------------------------------------------------------- pure reply grouping

using TReplies = std::vector<std::vector<AnsiString>>;

struct TGroupCase {
    const char* Name;
    std::vector<AnsiString> Received; // lines as read, without line ends
    TReplies Replies;
    std::string Error; // expected error message; empty: no error
};

class GroupRepliesTest : public testing::TestWithParam<TGroupCase> {};

TEST_P(GroupRepliesTest, SplitsTheLinesIntoReplies) {
    const TGroupCase& c = GetParam();
    if (c.Error.empty()) {
        EXPECT_EQ(GroupReplies(c.Received), c.Replies);
        return;
    }
    try {
        GroupReplies(c.Received);
        FAIL() << "no error";
    } catch (const EIdProtocolReplyError& e) {
        EXPECT_EQ(e.Message, c.Error);
        EXPECT_EQ(e.ReplyCode, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, GroupRepliesTest,
    testing::Values(
        TGroupCase{"OneLineEach", {"220 hi", "250 OK"}, {{"220 hi"}, {"250 OK"}}, ""},
        TGroupCase{"MultiLineThenNext", {"250-a", "250-b", "250 c", "354 go"}, {{"250-a", "250-b", "250 c"}, {"354 go"}}, ""},
        TGroupCase{"OtherCodeInside", {"250-a", "251 b", "250 c"}, {{"250-a", "251 b", "250 c"}}, ""},
        TGroupCase{"OtherCodeWithDashInside", {"250-a", "251-b", "250 c"}, {{"250-a", "251-b", "250 c"}}, ""},
        TGroupCase{"BareCodeEndsMultiLine", {"250-a", "252", "250 late"}, {{"250-a", "252"}, {"250 late"}}, ""},
        TGroupCase{"BlankAndPaddedLines", {"", "  ", " 250-a", "\t", "250 b  "}, {{"250-a", "250 b"}}, ""},
        TGroupCase{"DashAloneOpens", {"250-", "250 "}, {{"250-", "250"}}, ""},
        TGroupCase{"OpenReplyStaysOpen", {"250-a", "250-b"}, {{"250-a", "250-b"}}, ""},
        TGroupCase{"OnlyBlankLines", {"", " "}, {}, ""},
        TGroupCase{"NoCode", {"hello"}, {}, "Malformed reply line \"hello\""},
        TGroupCase{"ShortCode", {"25"}, {}, "Malformed reply line \"25\""},
        TGroupCase{"FourDigits", {"0220 ok"}, {}, "Malformed reply line \"0220 ok\""},
        TGroupCase{"TabAfterCode", {"250\tok"}, {}, "Malformed reply line \"250\\tok\""},
        TGroupCase{"BadLineInside", {"250-a", "oops"}, {}, "Malformed reply line \"oops\""},
        TGroupCase{"LongLineCutInMessage", {std::string(300, 'x')}, {},
                   "Malformed reply line \"" + std::string(200, 'x') + "\"..."},
        TGroupCase{"ThousandLinesFit", Texts(999, "250-x", "250 end"), {Texts(999, "250-x", "250 end")}, ""},
        TGroupCase{"ThousandAndOneLines", Texts(1000, "250-x", "250 end"), {}, "Reply has more than 1000 lines"},
        TGroupCase{"BlankLinesCount", Texts(1000, "", "250 end"), {}, "Reply has more than 1000 lines"},
        TGroupCase{"TooManyBytes", Texts(16, "250-" + Repeat('a', 65536), "250 end"), {}, "Reply has more than 1048576 bytes"}),
    [](const auto& test) { return std::string(test.param.Name); });

// Each reply has its own bound: many short replies in a row are all taken.
TEST(GroupReplies, ManyRepliesInARow) {
    const std::vector<AnsiString> received(5000, "250 OK");
    EXPECT_EQ(GroupReplies(received).size(), 5000u);
}

// ---------------------------------------------------------------- replies over the wire

struct TReplyCase {
    const char* Name;
    std::string Sent;          // what the server says
    std::vector<int> Allowed;
    int Code;                  // expected NumericCode (when no error)
    std::vector<AnsiString> Text;
    std::string Error;         // expected error message; empty: no error
};

class ReadReplyTest : public testing::TestWithParam<TReplyCase> {};

TEST_P(ReadReplyTest, ReadsAndChecks) {
    const TReplyCase& c = GetParam();
    TScriptedPeer peer({Say(c.Sent)});
    TClient client(peer.Port);
    client.Connect();
    if (c.Error.empty()) {
        EXPECT_EQ(client.GetReply(c.Allowed), c.Code);
        EXPECT_EQ(client.LastReply.Text, c.Text);
    } else {
        try {
            client.GetReply(c.Allowed);
            FAIL() << "no error";
        } catch (const EIdException& e) {
            EXPECT_EQ(e.Message, c.Error);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Server, ReadReplyTest,
    testing::Values(
        TReplyCase{"Simple", "250 OK\r\n", {250}, 250, {"OK"}, ""},
        TReplyCase{"MultiLine", "250-first\r\n250-second\r\n250 last\r\n", {250}, 250, {"first", "second", "last"}, ""},
        TReplyCase{"OtherCodeInside", "250-a\r\n251 b\r\n250 c\r\n", {250}, 250, {"a", "b", "c"}, ""},
        TReplyCase{"BareCodeEnds", "250-a\r\n250\r\n250 late\r\n", {250}, 250, {"a", ""}, ""},
        TReplyCase{"BlankLinesSkipped", "\r\n  \r\n250-a\r\n\r\n  250 b\r\n", {250}, 250, {"a", "b"}, ""},
        TReplyCase{"LettersInCode", "25a-x\r\n25A y\r\n", {}, 0, {}, "Malformed reply line \"25a-x\""},
        TReplyCase{"BareLF", "250 OK\n", {250}, 250, {"OK"}, ""},
        TReplyCase{"AnyCodeAccepted", "550 No such user\r\n", {}, 550, {"No such user"}, ""},
        TReplyCase{"MinusOneAcceptsAny", "550 No such user\r\n", {-1}, 550, {"No such user"}, ""},
        TReplyCase{"Refused", "550 No such user\r\n", {250}, 0, {}, "No such user\r\n"},
        TReplyCase{"RefusedMultiLine", "554-one\r\n554 two\r\n", {250}, 0, {}, "one\r\ntwo\r\n"},
        TReplyCase{"NoNumber", "2xx hello\r\n", {200, 250}, 0, {}, "Malformed reply line \"2xx hello\""},
        TReplyCase{"TextWithoutCode", "Authentication failed\r\n", {}, 0, {}, "Malformed reply line \"Authentication failed\""},
        TReplyCase{"TwoDigits", "22\r\n", {}, 0, {}, "Malformed reply line \"22\""},
        TReplyCase{"FourDigits", "0220 ok\r\n", {220}, 0, {}, "Malformed reply line \"0220 ok\""},
        TReplyCase{"BadContinuation", "250-a\r\nxyz\r\n250 b\r\n", {}, 0, {}, "Malformed reply line \"xyz\""},
        TReplyCase{"ControlBytesShown", "250\x01x\r\n", {}, 0, {}, "Malformed reply line \"250\\x01x\""},
        TReplyCase{"ThousandLinesFit", Repeat("250-x\r\n", 999) + "250 end\r\n", {250}, 250, Texts(999, "x", "end"), ""},
        TReplyCase{"ExactLimit", "250 " + Repeat('a', 16379) + "\r\n", {}, 250, {Repeat('a', 16379)}, ""},
        TReplyCase{"OneOverLimit", Repeat('a', 16384) + "\r\n", {}, 0, {}, "Max line length exceeded."},
        TReplyCase{"NoLineEndOverLimit", Repeat('a', 20000), {}, 0, {}, "Max line length exceeded."}),
    [](const auto& test) { return std::string(test.param.Name); });

// A server that never ends its reply: the client stops at the reply's bound
// with a clear error instead of collecting without limit.
struct TFloodCase {
    const char* Name;
    std::vector<TPeerStep> Steps;
    std::string Error;
};

class EndlessReplyTest : public testing::TestWithParam<TFloodCase> {};

TEST_P(EndlessReplyTest, StopsAtTheBound) {
    TScriptedPeer peer(GetParam().Steps);
    TClient client(peer.Port);
    client.ReadTimeout = 0; // the bound alone must end it
    client.Connect();
    try {
        client.GetReply({250});
        FAIL() << "no error";
    } catch (const EIdReplyTooLong& e) {
        EXPECT_EQ(e.Message, GetParam().Error);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Server, EndlessReplyTest,
    testing::Values(TFloodCase{"ContinuationLines", {Say("250-first\r\n"), Flood("250-x\r\n", 100000000)},
                               "Reply has more than 1000 lines"},
                    TFloodCase{"BlankLines", {Flood("\r\n", 100000000)}, "Reply has more than 1000 lines"},
                    TFloodCase{"LongLines", {Flood("250-" + Repeat('a', 16000) + "\r\n", 1000000)},
                               "Reply has more than 1048576 bytes"}),
    [](const auto& test) { return std::string(test.param.Name); });

TEST(ReadReplyErrors, ReplyErrorCarriesCode) {
    TScriptedPeer peer({Say("535 Authentication failed\r\n")});
    TClient client(peer.Port);
    client.Connect();
    try {
        client.GetReply({235});
        FAIL() << "no error";
    } catch (const EIdProtocolReplyError& e) {
        EXPECT_EQ(e.ReplyCode, 535);
        EXPECT_EQ(e.Message, "Authentication failed\r\n");
    }
}

struct TCloseCase {
    const char* Name;
    std::vector<TPeerStep> Steps;
};

class ServerGoneTest : public testing::TestWithParam<TCloseCase> {};

// However the server goes away, the read ends with the close error and the
// connection reports itself closed; nothing hangs.
TEST_P(ServerGoneTest, RaisesClosedGracefully) {
    TScriptedPeer peer(GetParam().Steps);
    TClient client(peer.Port);
    client.Connect();
    EXPECT_THROW(client.GetReply({250}), EIdConnClosedGracefully);
    EXPECT_FALSE(client.Connected());
}

INSTANTIATE_TEST_SUITE_P(Server, ServerGoneTest,
                         testing::Values(TCloseCase{"ClosesAtOnce", {CloseConnection()}},
                                         TCloseCase{"ClosesInsideLine", {Say("250 O"), CloseConnection()}},
                                         TCloseCase{"ClosesInsideMultiLine", {Say("250-a\r\n"), CloseConnection()}}),
                         [](const auto& test) { return std::string(test.param.Name); });

TEST(ReadLineTest, BufferedLinesSurviveTheClose) {
    TScriptedPeer peer({Say("250 one\r\n250 two\r\n"), CloseConnection()});
    TClient client(peer.Port);
    client.Connect();
    peer.Transcript(); // the peer has sent both lines and closed
    EXPECT_EQ(client.GetReply({250}), 250);
    EXPECT_EQ(client.LastReply.Text, std::vector<AnsiString>{"one"});
    EXPECT_EQ(client.GetReply({250}), 250);
    EXPECT_EQ(client.LastReply.Text, std::vector<AnsiString>{"two"});
    EXPECT_THROW(client.ReadLine(), EIdConnClosedGracefully);
}

TEST(ReadLineTest, SplitModeReturnsTheFirstLimitBytes) {
    TScriptedPeer peer({Say(Repeat('x', 10) + Repeat('y', 5) + "\r\n"), CloseConnection()});
    TClient client(peer.Port);
    client.MaxLineLength = 10;
    client.MaxLineAction = maSplit;
    client.Connect();
    peer.Transcript(); // the whole line is there
    EXPECT_EQ(client.ReadLine(), Repeat('x', 10));
    EXPECT_TRUE(client.ReadLnSplit());
    EXPECT_EQ(client.ReadLine(), Repeat('y', 5));
    EXPECT_FALSE(client.ReadLnSplit());
}

TEST(ReadLineTest, ReadTimeoutRaises) {
    TScriptedPeer peer({Hang(3000)});
    TClient client(peer.Port);
    client.ReadTimeout = 200;
    client.Connect();
    EXPECT_THROW(
        try { client.ReadLine(); } catch (const EIdReadTimeout& e) {
            EXPECT_EQ(e.Message, "Read Timeout");
            throw;
        },
        EIdReadTimeout);
    EXPECT_TRUE(client.Connected());
}

// A server that trickles its reply, a byte or a blank line at a time, gets the
// read time-out once for the whole reply, counted from the command: it cannot
// hold the client for ever by sending a little before each time-out runs out.
struct TDripCase {
    const char* Name;
    std::string Unit; // sent again and again, with a pause after each
};

class TrickleTest : public testing::TestWithParam<TDripCase> {};

TEST_P(TrickleTest, ReplyDeadlineRunsFromTheCommand) {
    std::vector<TPeerStep> steps{Hear()};
    for (int i = 0; i < 40; ++i) {
        steps.push_back(Say(GetParam().Unit));
        steps.push_back(Hang(150));
    }
    steps.push_back(Say("250 late\r\n"));
    TScriptedPeer peer(steps);
    TClient client(peer.Port);
    client.ReadTimeout = 1000;
    client.Connect();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(client.SendCommand("NOOP", {250}), EIdReadTimeout);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(900));
    EXPECT_LT(took, std::chrono::milliseconds(4000)); // the trickle lasts 6 s
}

INSTANTIATE_TEST_SUITE_P(Server, TrickleTest,
                         testing::Values(TDripCase{"Bytes", "2"}, TDripCase{"BlankLines", "\r\n"},
                                         TDripCase{"ContinuationLines", "250-x\r\n"}),
                         [](const auto& test) { return std::string(test.param.Name); });

// The deadline belongs to one reply: replies that each come in time all succeed,
// however long the exchange takes in all.
TEST(ReplyDeadline, EachReplyHasItsOwn) {
    std::vector<TPeerStep> steps;
    for (int i = 0; i < 4; ++i) {
        steps.push_back(Hear());
        steps.push_back(Hang(500));
        steps.push_back(Say("250 OK\r\n"));
    }
    TScriptedPeer peer(steps);
    TClient client(peer.Port);
    client.ReadTimeout = 1500;
    client.Connect();
    for (int i = 0; i < 4; ++i) EXPECT_EQ(client.SendCommand("NOOP", {250}), 250);
}

// Many lines across small and large receives: every line comes out whole and in
// order while the buffer compacts behind the reader.
class ManyLinesTest : public testing::TestWithParam<int> {};

TEST_P(ManyLinesTest, EveryLineInOrder) {
    std::string sent;
    for (int i = 0; i < 4000; ++i) sent += "250 line " + std::to_string(i) + (i % 2 ? "\r\n" : "\n");
    TScriptedPeer peer({Say(sent)});
    TClient client(peer.Port);
    client.RecvBufferSize = GetParam();
    client.Connect();
    for (int i = 0; i < 4000; ++i) ASSERT_EQ(client.ReadLine(), "250 line " + std::to_string(i));
}

INSTANTIATE_TEST_SUITE_P(ReceiveSizes, ManyLinesTest, testing::Values(7, 1000, 32768));

// ---------------------------------------------------------------- writing

TEST(WriteTest, LinesReachThePeerWithCrLf) {
    TScriptedPeer peer({Hear(), Hear(), Say("250 OK\r\n")});
    {
        TClient client(peer.Port);
        client.Connect();
        client.WriteLine("HELO x");
        EXPECT_EQ(client.SendCommand("NOOP", {250}), 250);
        client.Write(""); // nothing at all
        client.Disconnect();
    }
    EXPECT_EQ(peer.Transcript(), (std::vector<std::string>{"HELO x\r\n", "NOOP\r\n"}));
}

TEST(WriteTest, WithoutConnectionRaisesNotConnected) {
    const TClosedPort closed;
    TClient client(closed.Port());
    EXPECT_THROW(
        try { client.WriteLine("x"); } catch (const EIdNotConnected& e) {
            EXPECT_EQ(e.Message, "Not Connected");
            throw;
        },
        EIdNotConnected);
    EXPECT_THROW(client.ReadLine(), EIdNotConnected);
}

TEST(WriteTest, AfterTheServerClosedRaisesClosedGracefully) {
    TScriptedPeer peer({CloseConnection()});
    TClient client(peer.Port);
    client.Connect();
    EXPECT_THROW(client.ReadLine(), EIdConnClosedGracefully);
    EXPECT_THROW(client.WriteLine("QUIT"), EIdConnClosedGracefully);
}

TEST(WriteTest, ResetConnectionRaisesSocketErrorAndCloses) {
    TScriptedPeer peer({Hang(200), ResetConnection()});
    TClient client(peer.Port);
    client.Connect();
    peer.Transcript(); // the peer has reset the connection
    try {
        for (int i = 0; i < 10; ++i) client.WriteLine("DATA");
        FAIL() << "writes into a reset connection succeeded";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.SocketErrorCode, 10054);
        EXPECT_EQ(e.Message, "Socket Error # 10054\r\nConnection reset by peer.");
    }
    EXPECT_FALSE(client.Connected());
}

// ---------------------------------------------------------------- connecting

TEST(ConnectTest, RefusedPort) {
    const TClosedPort closed;
    TClient client(closed.Port());
    try {
        client.Connect();
        FAIL() << "connected";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.SocketErrorCode, 10061);
        EXPECT_EQ(e.Message, "Socket Error # 10061\r\nConnection refused.");
    }
    EXPECT_FALSE(client.Connected());
    client.Disconnect();
}

TEST(ConnectTest, UnknownHost) {
    TClient client(25);
    client.Host = "no-such-host.invalid";
    std::vector<AnsiString> status;
    client.OnStatus = [&](const AnsiString& s) { status.push_back(s); };
    try {
        client.Connect();
        FAIL() << "connected";
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.SocketErrorCode, 11001);
        EXPECT_EQ(e.Message, "Socket Error # 11001\r\nHost not found.");
    }
    EXPECT_EQ(status, std::vector<AnsiString>{"Resolving hostname no-such-host.invalid."});
}

TEST(ConnectTest, StatusAndAddressesOfAConnection) {
    TScriptedPeer peer({});
    TClient client(peer.Port);
    client.Host = "LocalHost";
    std::vector<AnsiString> status;
    int connected = 0, disconnected = 0;
    client.OnStatus = [&](const AnsiString& s) { status.push_back(s); };
    client.OnConnected = [&] { ++connected; };
    client.OnDisconnected = [&] { ++disconnected; };
    client.Connect();
    EXPECT_TRUE(client.Connected());
    TIdSocketHandle* binding = client.IOHandler()->Binding();
    EXPECT_EQ(binding->PeerIP, "127.0.0.1");
    EXPECT_EQ(binding->PeerPort, peer.Port);
    EXPECT_EQ(binding->IP, "127.0.0.1");
    EXPECT_NE(binding->Port, 0);
    EXPECT_THROW(
        try { client.Connect(); } catch (const EIdAlreadyConnected& e) {
            EXPECT_EQ(e.Message, "Already connected.");
            throw;
        },
        EIdAlreadyConnected);
    client.Disconnect();
    EXPECT_FALSE(client.Connected());
    EXPECT_EQ(client.IOHandler(), nullptr);
    client.Disconnect(); // a closed connection: nothing but the notifications
    EXPECT_EQ(status, (std::vector<AnsiString>{"Connecting to 127.0.0.1.", "Connected.", "Disconnecting.", "Disconnected.",
                                               "Disconnecting.", "Disconnected."}));
    EXPECT_EQ(connected, 1);
    EXPECT_EQ(disconnected, 2);
}

TEST(ConnectTest, ReconnectAfterDisconnectStartsWithAnEmptyBuffer) {
    TScriptedPeer first({Say("250 stale\r\n250 unread\r\n")});
    TClient client(first.Port);
    client.Connect();
    EXPECT_EQ(client.GetReply({250}), 250);
    client.Disconnect();
    TScriptedPeer second({Say("220 fresh\r\n")});
    client.Port = second.Port;
    client.Connect();
    EXPECT_EQ(client.GetReply({220}), 220);
    EXPECT_EQ(client.LastReply.Text, std::vector<AnsiString>{"fresh"});
}

// ---------------------------------------------------------------- the stack

TEST(StackTest, OneStackWhileAnyConnectionLives) {
    EXPECT_EQ(TIdStack::InstanceCount(), 0);
    {
        TClient a(1), b(2);
        EXPECT_EQ(TIdStack::InstanceCount(), 1);
    }
    EXPECT_EQ(TIdStack::InstanceCount(), 0);
}

struct TErrnoCase {
    int Errno;
    int Code;
    const char* Message;
};

class SocketErrorTest : public testing::TestWithParam<TErrnoCase> {};

TEST_P(SocketErrorTest, NumberAndText) {
    const TErrnoCase& c = GetParam();
    EXPECT_EQ(TIdStack::TranslateErrno(c.Errno), c.Code);
    try {
        TIdStack::RaiseSocketError(c.Code);
    } catch (const EIdSocketError& e) {
        EXPECT_EQ(e.SocketErrorCode, c.Code);
        EXPECT_EQ(e.Message, c.Message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, SocketErrorTest,
    testing::Values(TErrnoCase{ECONNREFUSED, 10061, "Socket Error # 10061\r\nConnection refused."},
                    TErrnoCase{ETIMEDOUT, 10060, "Socket Error # 10060\r\nConnection timed out."},
                    TErrnoCase{ECONNRESET, 10054, "Socket Error # 10054\r\nConnection reset by peer."},
                    TErrnoCase{EPIPE, 10054, "Socket Error # 10054\r\nConnection reset by peer."},
                    TErrnoCase{ECONNABORTED, 10053, "Socket Error # 10053\r\nSoftware caused connection abort."},
                    TErrnoCase{ENETUNREACH, 10051, "Socket Error # 10051\r\nNetwork is unreachable."},
                    TErrnoCase{EHOSTUNREACH, 10065, "Socket Error # 10065\r\nNo route to host."},
                    TErrnoCase{EWOULDBLOCK, 10035, "Socket Error # 10035\r\nOperation would block. "},
                    TErrnoCase{EADDRINUSE, 10048, "Socket Error # 10048\r\nAddress already in use."},
                    TErrnoCase{ENOTEMPTY, 10066, "Socket Error # 10066\r\nDirectory not empty"},
                    TErrnoCase{EIO, EIO, "Socket Error # 5\r\n"}),
    [](const auto& test) { return "Errno" + std::to_string(test.param.Errno); });

TEST(StackTest, DottedQuads) {
    for (const char* yes : {"127.0.0.1", "0.0.0.0", "255.255.255.255", "010.1.1.1"}) EXPECT_TRUE(TIdStack::IsDottedQuad(yes)) << yes;
    for (const char* no : {"256.1.1.1", "1.2.3", "1.2.3.4.5", "1..2.3", "a.b.c.d", "1.2.3.4 ", ""})
        EXPECT_FALSE(TIdStack::IsDottedQuad(no)) << no;
}

} // namespace
