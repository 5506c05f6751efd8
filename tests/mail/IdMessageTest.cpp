#include "mail/IdMessage.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>

#include "mail/IdCoderMIME.h"
#include "mail/IdWriter.h"
#include "pipeline/ArchiveMessage.h"
#include "tests/support/FailingWriter.h"
#include "tests/support/TimeZoneScope.h"

namespace {

AnsiString Gbk(std::string_view utf8) { return Utf8ToAnsi(utf8); }

// Collects what a message writes, and where the writer was flushed.
class TBufferWriter : public TIdWriter {
public:
    void Write(std::string_view bytes) override { Bytes.append(bytes); }
    void Flush() override { FlushedAt.push_back(Bytes.size()); }
    std::string Bytes;
    std::vector<std::size_t> FlushedAt;
};

// A folder of its own for the files of one test, removed afterwards.
class TTempFolder {
public:
    TTempFolder() {
        char pattern[] = "/tmp/quorvel-message-XXXXXX";
        FPath = mkdtemp(pattern);
    }
    ~TTempFolder() { std::filesystem::remove_all(FPath); }
    std::string File(const std::string& name, std::string_view content) const {
        const std::string path = FPath + "/" + name;
        std::ofstream(path, std::ios::binary).write(content.data(), static_cast<std::streamsize>(content.size()));
        return path;
    }
    std::string Path(const std::string& name) const { return FPath + "/" + name; }

private:
    std::string FPath;
};

std::string Bytes(std::size_t count, std::size_t first = 0) {
    std::string out(count, '\0');
    for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<char>((first + i) & 0xFF);
    return out;
}

std::string Lines(std::initializer_list<std::string_view> lines) {
    std::string out;
    for (std::string_view line : lines) (out += line) += "\r\n";
    return out;
}

// Decoder kept apart from the encoder under test.
std::string DecodeBase64(std::string_view text) {
    std::string out;
    unsigned buffer = 0;
    int bits = 0;
    for (char c : text) {
        int v;
        if (c >= 'A' && c <= 'Z') v = c - 'A';
        else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
        else if (c >= '0' && c <= '9') v = c - '0' + 52;
        else if (c == '+') v = 62;
        else if (c == '/') v = 63;
        else continue;
        buffer = (buffer << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((buffer >> bits) & 0xFF);
        }
    }
    return out;
}

std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find("\r\n", start);
        out.emplace_back(text.substr(start, end - start));
        start = end + 2;
    }
    return out;
}

TTaskRecord ProgramTask() {
    TTaskRecord task;
    task.MailTopic = Gbk("备份<FILE> <date>");
    task.ToMailAddr = Gbk("张三 <zs@example.com>, li@example.com");
    task.CcMailAddr = "ops@example.com";
    return task;
}

TIdEMailAddressItem ProgramSender() {
    TIdEMailAddressItem sender;
    sender.Address = Gbk("客服中心<backup@example.com>");
    return sender;
}

// The program's mail as the mail step builds it: text/html in gb2312, one
// archive attached, To and Cc lists; sent five seconds after it was built.
struct TProgramMessage {
    TTempFolder Folder;
    TIdMessage Message;
    explicit TProgramMessage(std::string_view attachment = Bytes(58))
        : Message(MakeArchiveMessage(ProgramTask(), ProgramSender(), Folder.File("20100415093000.rar", attachment),
                                     TLocalDateTime {2010, 4, 15, 9, 30, 0})) {
        Message.Date = UtcTime(2010, 4, 15, 1, 30, 5);
    }
};

const std::string Boundary = "--=_NextPart_2rfkindysadvnqw3nerasdf";

const std::string GoldenHeaders = Lines({
    Gbk("From: 客服中心<backup@example.com>"),
    "Subject: =?GB2312?B?sbi33TIwMTAwNDE1MDkzMDAwLnJhcg==?= 2010-04-15",
    "To: =?GB2312?B?1cXI/Q==?= <zs@example.com>, li@example.com",
    "Cc: ops@example.com",
    "Content-Type: multipart/mixed;",
    " boundary=\"=_NextPart_2rfkindysadvnqw3nerasdf\";",
    "\tcharset=\"gb2312\"",
    "MIME-Version: 1.0",
    "Date: Thu, 15 Apr 2010 09:30:05 +0800",
    "X-Priority: 3",
    "X-Library: Quorvel Mail 2.2",
});

const std::string GoldenBodyBeforeData = Lines({
    "This is a multi-part message in MIME format",
    "",
    Boundary,
    "Content-Type: text/plain; charset=\"gb2312\"",
    "Content-Transfer-Encoding: 7bit",
    "",
    Gbk("自动备份数据库："),
    Gbk("备份时间：2010-04-15 09:30:00"),
    "",
    Boundary,
    "Content-Type: application/octet-stream;",
    "        name=\"20100415093000.rar\"",
    "Content-Transfer-Encoding: base64",
    "Content-Disposition: attachment;",
    "        filename=\"20100415093000.rar\"",
    "",
});

TEST(MessageShape, ProgramMessageIsWrittenByteForByte) {
    TTimeZoneScope china("CST-8");
    TProgramMessage m;
    TBufferWriter out;
    m.Message.WriteMessage(out);
    const std::string expected = GoldenHeaders + "\r\n" + GoldenBodyBeforeData +
                                 Lines({"AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4",
                                        "OQ==", "", Boundary + "--"});
    EXPECT_EQ(out.Bytes, expected);
    // Everything before the attachment's data was handed on before its file was read.
    EXPECT_EQ(out.FlushedAt, (std::vector<std::size_t>{GoldenHeaders.size() + 2 + GoldenBodyBeforeData.size()}));
}

TEST(MessageShape, HeaderFieldsFollowTheMessage) {
    TTimeZoneScope china("CST-8");
    TProgramMessage m;
    m.Message.Subject.clear();
    m.Message.CCList.Clear();
    m.Message.Priority = mpHighest;
    SetHeader(m.Message.ExtraHeaders, "X-Mailer", "quorvel");
    const std::vector<AnsiString> lines = m.Message.BuildHeaders().Lines();
    const std::vector<AnsiString> expected = {Gbk("From: 客服中心<backup@example.com>"),
                                              "To: =?GB2312?B?1cXI/Q==?= <zs@example.com>, li@example.com",
                                              "Content-Type: multipart/mixed;",
                                              " boundary=\"=_NextPart_2rfkindysadvnqw3nerasdf\";",
                                              "\tcharset=\"gb2312\"",
                                              "MIME-Version: 1.0",
                                              "Date: Thu, 15 Apr 2010 09:30:05 +0800",
                                              "X-Priority: 1",
                                              "X-Library: Quorvel Mail 2.2",
                                              "X-Mailer: quorvel"};
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(m.Message.ContentType, "multipart/mixed; boundary=\"=_NextPart_2rfkindysadvnqw3nerasdf\"");
}

TEST(MessageShape, WithoutAttachmentsOnlyTheBodyLinesAreWritten) {
    TTimeZoneScope china("CST-8");
    TIdMessage message;
    message.From.Address = "a@b";
    message.Recipients.SetAddressesText("c@d");
    message.ContentType = "text/html";
    message.CharSet = "gb2312";
    message.Body = {"line one", ".line two"};
    message.Date = UtcTime(2004, 1, 5, 5, 4, 5);
    TBufferWriter first, second;
    message.WriteMessage(first);
    message.WriteMessage(second); // a second build adds no second charset
    EXPECT_EQ(first.Bytes, Lines({"From: a@b", "To: c@d", "Content-Type: text/html;", "\tcharset=\"gb2312\"",
                                  "Date: Mon, 5 Jan 2004 13:04:05 +0800", "X-Priority: 3",
                                  "X-Library: Quorvel Mail 2.2", "", "line one", "..line two"}));
    EXPECT_EQ(second.Bytes, first.Bytes);
}

TEST(MessageShape, DateZeroMeansNow) {
    TIdMessage message;
    EXPECT_TRUE(message.UseNowForDate());
    const AnsiString before = InternetDate(SystemClock().Now());
    const AnsiString date = message.BuildHeaders().Values("Date");
    const AnsiString after = InternetDate(SystemClock().Now());
    EXPECT_TRUE(date == before || date == after) << date;
}

TEST(MessageShape, ShapesThatAreNotWrittenFailBeforeAnyByte) {
    TTempFolder folder;
    struct TCase {
        const char* Name;
        std::function<void(TIdMessage&)> Setup;
    };
    const std::vector<TCase> cases = {
        {"TwoTextParts", [](TIdMessage& m) { m.Parts.AddText(); m.Parts.AddText(); }},
        {"RelatedPart",
         [&](TIdMessage& m) { SetHeader(m.Parts.AddAttachment(folder.File("a", "x")).ExtraHeaders, "Content-ID", "<1>"); }},
        {"QuotedPrintableAttachment",
         [&](TIdMessage& m) { m.Parts.AddAttachment(folder.File("b", "x")).ContentTransfer = "quoted-printable"; }},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TIdMessage message;
        c.Setup(message);
        TBufferWriter out;
        EXPECT_THROW(message.WriteMessage(out), EIdMessageException);
        EXPECT_EQ(out.Bytes, "");
    }
}

// A connection that breaks in the middle of a message: the writer's error
// reaches the caller, and nothing is written after the failed write. The
// parameter places the failing write in the whole message (0: the first, 1: the last).
class BrokenWriteTest : public ::testing::TestWithParam<double> {};

TEST_P(BrokenWriteTest, EndsTheMessageWithTheWritersError) {
    TTimeZoneScope china("CST-8");
    TProgramMessage m(Bytes(3000));
    TFailingWriter whole;
    m.Message.WriteMessage(whole);
    const std::size_t failOn = 1 + static_cast<std::size_t>(GetParam() * static_cast<double>(whole.Writes - 1));
    TFailingWriter broken(failOn);
    EXPECT_THROW(m.Message.WriteMessage(broken), EFailingWrite);
    EXPECT_EQ(broken.Writes, failOn);
    EXPECT_LT(broken.Bytes.size(), whole.Bytes.size());
    EXPECT_EQ(whole.Bytes.substr(0, broken.Bytes.size()), broken.Bytes);
}

INSTANTIATE_TEST_SUITE_P(Places, BrokenWriteTest, ::testing::Values(0.0, 0.1, 0.5, 0.9, 1.0),
                         [](const auto& test) { return "At" + std::to_string(static_cast<int>(test.param * 100)); });

// ---- body lines ---------------------------------------------------------------

struct TBodyCase {
    const char* Name;
    std::vector<AnsiString> Body;
    std::string Expected;
};
void PrintTo(const TBodyCase& c, std::ostream* os) { *os << c.Name; }


class BodyLinesTest : public ::testing::TestWithParam<TBodyCase> {};

TEST_P(BodyLinesTest, AreDotStuffed) {
    TBufferWriter out;
    WriteBodyLines(out, GetParam().Body);
    EXPECT_EQ(out.Bytes, GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, BodyLinesTest,
    ::testing::Values(TBodyCase{"None", {}, ""},
                      TBodyCase{"Plain", {"a", "", "b.c"}, "a\r\n\r\nb.c\r\n"},
                      TBodyCase{"LeadingDot", {".x"}, "..x\r\n"},
                      TBodyCase{"LoneDot", {"."}, "..\r\n"},
                      TBodyCase{"EightBitUnchanged", {Gbk("备份")}, Gbk("备份") + "\r\n"},
                      // A line end inside a line must not smuggle an end-of-data dot.
                      TBodyCase{"EmbeddedLineEndsSplitAndStuffed", {"a\n.\r\nb\r.c"}, "a\r\n..\r\nb\r\n..c\r\n"}),
    [](const auto& test) { return std::string(test.param.Name); });

// ---- attachment data --------------------------------------------------------------

struct TAttachmentCase {
    const char* Name;
    std::size_t Size;
};
void PrintTo(const TAttachmentCase& c, std::ostream* os) { *os << c.Name; }


class AttachmentDataTest : public ::testing::TestWithParam<TAttachmentCase> {};

TEST_P(AttachmentDataTest, IsStreamedAsBase64LinesOf76) {
    TTempFolder folder;
    const std::string content = Bytes(GetParam().Size, 7);
    TIdAttachment attachment(folder.File("data.bin", content));
    TBufferWriter out;
    attachment.EncodeAttachment(out);

    const std::vector<std::string> lines = SplitLines(out.Bytes);
    EXPECT_EQ(lines.size(), (content.size() + 56) / 57);
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) ASSERT_EQ(lines[i].size(), 76u) << "line " << i;
    if (!lines.empty()) {
        const std::size_t last = content.size() - (lines.size() - 1) * 57;
        EXPECT_EQ(lines.back().size(), (last + 2) / 3 * 4);
    }
    std::string text;
    for (const std::string& line : lines) text += line;
    EXPECT_EQ(DecodeBase64(text), content);
    EXPECT_EQ(Base64LinesSize(content.size()), out.Bytes.size());
}

// The size a server's limit is checked against before anything is sent: exactly
// the bytes WriteMessage writes, without reading the attachments.
TEST_P(AttachmentDataTest, EncodedMessageSizeIsTheWrittenSize) {
    TProgramMessage program(Bytes(GetParam().Size, 3));
    program.Message.Body.push_back(".a line that gets its dot doubled");
    program.Message.Parts.AddAttachment(program.Folder.File("second.bin", Bytes(GetParam().Size / 2 + 1)));
    const std::uint64_t counted = EncodedMessageSize(program.Message);
    TBufferWriter out;
    program.Message.WriteMessage(out);
    EXPECT_EQ(counted, out.Bytes.size());
}

INSTANTIATE_TEST_SUITE_P(Sizes, AttachmentDataTest,
                         ::testing::Values(TAttachmentCase{"Empty", 0}, TAttachmentCase{"OneByte", 1},
                                           TAttachmentCase{"OneLine", 57}, TAttachmentCase{"OneLineAndOneByte", 58},
                                           TAttachmentCase{"EveryByteValue", 256},
                                           TAttachmentCase{"OneReadExactly", 57 * 840},
                                           TAttachmentCase{"PastOneRead", 57 * 840 + 2},
                                           TAttachmentCase{"SeveralReads", 1 << 20}),
                         [](const auto& test) { return std::string(test.param.Name); });

TEST(AttachmentData, FiftyEightBytesEndInAPaddedLine) {
    TTempFolder folder;
    TIdAttachment attachment(folder.File("x", Bytes(58)));
    TBufferWriter out;
    attachment.EncodeAttachment(out);
    EXPECT_EQ(out.Bytes, Lines({"AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4", "OQ=="}));
}

TEST(AttachmentData, NamesAndDefaults) {
    TIdAttachment attachment(Gbk("/var/备份/bak/20100415093000.rar"));
    EXPECT_EQ(attachment.FileName, "20100415093000.rar");
    EXPECT_EQ(TIdAttachment("plain.rar").FileName, "plain.rar");
    attachment.ApplyDefaults();
    EXPECT_EQ(attachment.ContentType, "application/octet-stream");
    EXPECT_EQ(attachment.ContentTransfer, "base64");
    EXPECT_EQ(attachment.ContentDisposition, "attachment");
}

TEST(AttachmentData, MissingFileFailsAfterEverythingBeforeItWasWritten) {
    TTimeZoneScope china("CST-8");
    TProgramMessage m;
    TIdAttachment& missing = m.Message.Parts.AddAttachment(m.Folder.Path("missing.rar"));
    (void)missing;
    TBufferWriter out;
    try {
        m.Message.WriteMessage(out);
        FAIL() << "no error";
    } catch (const EFOpenError& e) {
        EXPECT_NE(e.Message.find("Cannot open file \"" + m.Folder.Path("missing.rar") + "\""), std::string::npos)
            << e.Message;
    }
    const std::string tail = Lines({"", Boundary, "Content-Type: application/octet-stream;", "        name=\"missing.rar\"",
                                    "Content-Transfer-Encoding: base64", "Content-Disposition: attachment;",
                                    "        filename=\"missing.rar\"", ""});
    ASSERT_GE(out.Bytes.size(), tail.size());
    EXPECT_EQ(out.Bytes.substr(out.Bytes.size() - tail.size()), tail);
    EXPECT_EQ(out.FlushedAt.back(), out.Bytes.size());
}

// ---- what a real parser makes of it -----------------------------------------------

// Parses a message with Python's email package (default policy) and prints the
// decoded subject (a leading blank dropped), the To names and addresses, and the attachment's SHA-256.
const char* ParseScript = R"PY(
import email, email.policy, hashlib, sys
msg = email.message_from_binary_file(open(sys.argv[1], 'rb'), policy=email.policy.default)
# A subject folded right after "Subject:" keeps the fold's blank in front.
print(msg['Subject'].lstrip().encode('utf-8').hex())
for a in msg['To'].addresses:
    print((a.display_name + '|' + a.addr_spec).encode('utf-8').hex())
for part in msg.iter_attachments():
    print('sha256', hashlib.sha256(part.get_payload(decode=True)).hexdigest())
)PY";

// Runs a Python script file with Debian's interpreter; returns what it printed.
std::string RunPython(const std::string& scriptPath, const std::string& argument) {
    const std::string command = "timeout 30 " QUORVEL_PYTHON " '" + scriptPath + "' '" + argument + "' 2>&1";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) return "popen failed";
    std::string out;
    char buffer[4096];
    while (std::size_t n = fread(buffer, 1, sizeof buffer, pipe.get())) out.append(buffer, n);
    return out;
}

std::string Hex(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) (out += digits[c >> 4]) += digits[c & 15];
    return out;
}

struct TParseBackCase {
    const char* Name;
    std::string SubjectUtf8;
};
void PrintTo(const TParseBackCase& c, std::ostream* os) { *os << c.Name; }


class ParsedBackTest : public ::testing::TestWithParam<TParseBackCase> {};

TEST_P(ParsedBackTest, PythonEmailDecodesWhatWasWritten) {
    TProgramMessage m(Bytes(3000, 0));
    m.Message.Subject = Gbk(GetParam().SubjectUtf8);
    TBufferWriter out;
    m.Message.WriteMessage(out);
    const std::string file = m.Folder.File("message.eml", out.Bytes);

    const std::string parsed = RunPython(m.Folder.File("parse.py", ParseScript), file);
    // SHA-256 of bytes 0..255 repeated, 3000 bytes in all.
    const std::string expected = Hex(GetParam().SubjectUtf8) + "\n" + Hex("张三|zs@example.com") + "\n" +
                                 Hex("|li@example.com") + "\n" +
                                 "sha256 8238f003ad1a7f56965542e097622333a1e90eb52301496c34fe39ab34c2e9e6\n";
    EXPECT_EQ(parsed, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Subjects, ParsedBackTest,
    ::testing::Values(TParseBackCase{"Short", "备份 test 完成"},
                      // Byte 45 of these is a lead byte: a split character would decode as U+FFFD.
                      TParseBackCase{"ChineseAcrossWordBorders", "测试数据库测试数据库测试数据库测试数据库测试数据库测试数据库测试数据库测试数据库"},
                      TParseBackCase{"OddOffsetChinese", "a测试数据库测试数据库测试数据库测试数据库测试数据库测试数据库 end"}),
    [](const auto& test) { return std::string(test.param.Name); });

TEST(EncodedMessageSizeTest, TextOnlyMessageAndMissingAttachment) {
    TProgramMessage program;
    TIdMessage text;
    text.From.Address = "a@b";
    text.Subject = Gbk("测试");
    text.Body = {Gbk("这是一封测试邮件。"), ".", ""};
    text.Date = program.Message.Date;
    TBufferWriter out;
    const std::uint64_t counted = EncodedMessageSize(text);
    text.WriteMessage(out);
    EXPECT_EQ(counted, out.Bytes.size());

    TIdMessage missing;
    missing.Parts.AddAttachment(program.Folder.Path("not-there.rar"));
    EXPECT_THROW(EncodedMessageSize(missing), EFOpenError);
}

} // namespace
