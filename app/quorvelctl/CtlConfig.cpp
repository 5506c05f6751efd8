// quorvelctl config: one value of an INI file, the SMTP and archive passwords
// in cipher form, and the test mail with the file's mail server settings.
#include <iostream>

#include "app/quorvelctl/CtlCommand.h"
#include "app/quorvelctl/CtlSecret.h"
#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/SettingsAccessor.h"
#include "settings/MailSettings.h"
#include "settings/SmtpSetup.h"
#include "settings/StringCipher.h"

namespace {

constexpr int TestMailTimeoutMs = 60 * 1000; // a working server answers in seconds

// The password of set-password and set-archive-password: "-" reads it from
// standard input, "--file PATH" from a file (the first line of either). A value
// on the command line is refused, as the process list shows it to every user.
std::string PasswordArgument(const std::vector<std::string>& args) {
    const std::string& verb = args[0];
    if (args.size() == 3 && args[2] == "-") return ReadSecretLine("-");
    if (args.size() == 4 && args[2] == "--file") return ReadSecretLine(args[3]);
    if (args.size() == 3 && args[2] != "--file")
        throw ECtlUsage("config " + verb + ": a password on the command line is refused, as the process list shows "
                        "it to every user; use - to read it from standard input, or --file PATH");
    throw ECtlUsage("config " + verb + ": wrong number of arguments");
}

int TestMail(const std::vector<std::string>& args) {
    if (args.size() != 2 && !(args.size() == 4 && args[2] == "--to"))
        throw ECtlUsage("config test-mail: wrong arguments");
    const std::string& file = args[1];
    // A missing file would read as defaults and try port 25 of no server.
    if (!FileExists(file))
        throw Exception(Format("Cannot open file \"%s\". No such file or directory", Utf8ToAnsiLenient(file).c_str()));
    TSettingsAccessor settings;
    settings.Path = file;
    TMailServerSettings values;
    TMailSettings(settings).Load(values);
    const AnsiString to = args.size() == 4 ? Utf8ToAnsi(args[3]) : AnsiString();
    const AnsiString sentTo = SendTestMail(values, to, TestMailTimeoutMs, [] {
        std::cerr << "quorvelctl: " << PlainTextWarning << "\n";
    });
    std::cout << "测试邮件已发送到 " << AnsiToUtf8Lenient(sentTo) << "\n";
    return 0;
}

int RunConfig(const std::vector<std::string>& args) {
    if (args.empty()) throw ECtlUsage("config: missing sub-command");
    const std::string& verb = args[0];
    auto need = [&](std::size_t lo, std::size_t hi) {
        if (args.size() < lo || args.size() > hi) throw ECtlUsage("config " + verb + ": wrong number of arguments");
    };
    if (verb == "test-mail") return TestMail(args);
    TSettingsAccessor settings;
    if (verb == "get") {
        need(4, 5);
        settings.Path = args[1];
        AnsiString def = args.size() == 5 ? Utf8ToAnsi(args[4]) : AnsiString();
        std::cout << AnsiToUtf8Lenient(settings.ReadString(Utf8ToAnsi(args[2]), Utf8ToAnsi(args[3]), def)) << "\n";
        return 0;
    }
    if (verb == "set") {
        need(5, 5);
        settings.Path = args[1];
        settings.WriteString(Utf8ToAnsi(args[2]), Utf8ToAnsi(args[3]), Utf8ToAnsi(args[4]));
        return 0;
    }
    if (verb == "set-password") {
        const std::string password = PasswordArgument(args);
        settings.Path = args[1];
        settings.WriteString("Option", "SmtpPass", CipherText(Utf8ToAnsi(password), SmtpPasswordKey, true));
        return 0;
    }
    if (verb == "set-archive-password") {
        const std::string password = PasswordArgument(args);
        settings.Path = args[1];
        TMailSettings(settings).SetArchivePassword(Utf8ToAnsi(password));
        return 0;
    }
    if (verb == "get-password") {
        need(2, 2);
        settings.Path = args[1];
        AnsiString stored = settings.ReadString("Option", "SmtpPass", "");
        std::cout << AnsiToUtf8Lenient(CipherText(stored, SmtpPasswordKey, false)) << "\n";
        return 0;
    }
    throw ECtlUsage("config: unknown sub-command '" + verb + "'");
}

const TCtlRegistration registration{{"config",
                                     "  quorvelctl config get FILE SECTION KEY [DEFAULT]\n"
                                     "  quorvelctl config set FILE SECTION KEY VALUE\n"
                                     "  quorvelctl config set-password FILE -|--file PATH\n"
                                     "  quorvelctl config set-archive-password FILE -|--file PATH\n"
                                     "      (the password is the first line of standard input or of PATH;\n"
                                     "       an empty archive password turns encryption off)\n"
                                     "  quorvelctl config get-password FILE\n"
                                     "  quorvelctl config test-mail FILE [--to ADDRESS]\n"
                                     "      (a short mail with FILE's mail server settings, by default to the sender)\n",
                                     RunConfig}};

} // namespace
