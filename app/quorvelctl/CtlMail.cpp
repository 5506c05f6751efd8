// quorvelctl mail: sends the backup mail, built as the mail step builds it,
// through the SMTP client, so administrators can check their mail settings
// from a shell.
#include <charconv>
#include <iostream>

#include "app/quorvelctl/CtlCommand.h"
#include "app/quorvelctl/CtlSecret.h"
#include "mail/IdMessage.h"
#include "pipeline/ArchiveMessage.h"
#include "mail/IdSMTP.h"
#include "platform/AnsiString.h"
#include "settings/SmtpSetup.h"

namespace {

constexpr int ReplyTimeoutMs = 5 * 60 * 1000; // the backup pipeline's wait

int RunMail(const std::vector<std::string>& args) {
    std::string server, user, password, from, to, cc, subject, attach, databases, caFile;
    bool hasUser = false, hasPassword = false, verify = true;
    TSmtpSecurity security = ssAuto;
    int port = 25;
    std::vector<std::string> body;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& option = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) throw ECtlUsage("mail: " + option + " needs a value");
            return args[++i];
        };
        if (option == "--server") server = value();
        else if (option == "--port") {
            const std::string& text = value();
            auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
            if (ec != std::errc() || end != text.data() + text.size() || port < 1 || port > 65535)
                throw ECtlUsage("mail: --port needs a number from 1 to 65535");
        } else if (option == "--user") {
            user = value();
            hasUser = true;
        } else if (option == "--password") {
            throw ECtlUsage("mail: --password is refused, as the process list shows it to every user; "
                            "use --password-file FILE, or --password-file - to read it from standard input");
        } else if (option == "--password-file") {
            password = ReadSecretLine(value());
            hasPassword = true;
        } else if (option == "--security") {
            if (!SmtpSecurityFromText(value(), security))
                throw ECtlUsage("mail: --security needs auto, starttls, tls or none");
        } else if (option == "--no-verify") {
            verify = false;
        } else if (option == "--ca-file") {
            caFile = value();
        } else if (option == "--from") from = value();
        else if (option == "--to") to = value();
        else if (option == "--cc") cc = value();
        else if (option == "--subject") subject = value();
        else if (option == "--body") body.push_back(value());
        else if (option == "--attach") attach = value();
        else if (option == "--databases") databases = value();
        else throw ECtlUsage("mail: unknown option '" + option + "'");
    }
    if (server.empty()) throw ECtlUsage("mail: --server is required");
    if (from.empty()) throw ECtlUsage("mail: --from is required");
    if (to.empty()) throw ECtlUsage("mail: --to is required");
    if (hasPassword && !hasUser) throw ECtlUsage("mail: --password-file needs --user");

    TIdSMTP smtp;
    smtp.Host = Utf8ToAnsi(server);
    smtp.Port = port;
    smtp.SetReadTimeoutMs(ReplyTimeoutMs);
    smtp.Security = security;
    smtp.VerifyCertificate = verify;
    smtp.CAFile = caFile;
    if (hasUser) {
        smtp.Username = Utf8ToAnsi(user);
        smtp.Password = Utf8ToAnsi(password);
        smtp.SetAuthenticationType(atLogin);
    }

    // The options fill what the mail step takes from the task; --body lines,
    // when given, stand for the backup text.
    TTaskRecord task;
    task.ToMailAddr = Utf8ToAnsi(to);
    task.CcMailAddr = Utf8ToAnsi(cc);
    task.MailTopic = Utf8ToAnsi(subject);
    task.BakDBName = Utf8ToAnsi(databases);
    TIdMessage message = MakeArchiveMessage(task, ParseSender(Utf8ToAnsi(from)), Utf8ToAnsi(attach),
                                            ToLocal(SystemClock().Now()));
    if (!body.empty()) {
        message.Body.clear();
        for (const std::string& line : body) message.Body.push_back(Utf8ToAnsi(line));
    }

    smtp.Connect();
    if (smtp.PlainTextByChoice()) std::cerr << "quorvelctl: " << PlainTextWarning << "\n";
    smtp.Send(message);
    try {
        smtp.Disconnect();
    } catch (const Exception&) {
        // The server has accepted the message; how the goodbye went changes nothing.
    }
    std::cout << "Message accepted by " << server << "\n";
    return 0;
}

const TCtlRegistration registration{
    {"mail",
     "  quorvelctl mail --server HOST [--port N] [--user U --password-file FILE|-] --from ADDRESS --to LIST\n"
     "                  [--cc LIST] [--subject TEXT] [--databases LIST] [--body LINE]... [--attach FILE]\n"
     "                  [--security auto|starttls|tls|none] [--no-verify] [--ca-file FILE]\n"
     "      (the password is the file's first line; \"-\": standard input)\n",
     RunMail}};

} // namespace
