// quorvelctl config: one value of an INI file, and the SMTP and archive
// passwords in cipher form.
#include <iostream>
#include <iterator>

#include "app/quorvelctl/CtlCommand.h"
#include "platform/Exception.h"
#include "platform/SettingsAccessor.h"
#include "settings/MailSettings.h"
#include "settings/StringCipher.h"

namespace {

// A password given as "-" is read from standard input, so that it never shows
// in the process list; one trailing line end is dropped.
std::string PasswordArgument(const std::string& value) {
    if (value != "-") return value;
    std::string text{std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>()};
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (!text.empty() && text.back() == '\r') text.pop_back();
    return text;
}

int RunConfig(const std::vector<std::string>& args) {
    if (args.empty()) throw ECtlUsage("config: missing sub-command");
    const std::string& verb = args[0];
    auto need = [&](std::size_t lo, std::size_t hi) {
        if (args.size() < lo || args.size() > hi) throw ECtlUsage("config " + verb + ": wrong number of arguments");
    };
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
        need(3, 3);
        settings.Path = args[1];
        settings.WriteString("Option", "SmtpPass",
                             CipherText(Utf8ToAnsi(PasswordArgument(args[2])), SmtpPasswordKey, true));
        return 0;
    }
    if (verb == "set-archive-password") {
        need(3, 3);
        settings.Path = args[1];
        TMailSettings(settings).SetArchivePassword(Utf8ToAnsi(PasswordArgument(args[2])));
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
                                     "  quorvelctl config set-password FILE VALUE|-\n"
                                     "  quorvelctl config set-archive-password FILE VALUE|-\n"
                                     "      (\"-\": the password is read from standard input;\n"
                                     "       an empty archive password turns encryption off)\n"
                                     "  quorvelctl config get-password FILE\n",
                                     RunConfig}};

} // namespace
