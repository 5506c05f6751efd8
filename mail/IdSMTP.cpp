#include "mail/IdSMTP.h"

#include <algorithm>
#include <exception>

#include "mail/IdCoderMIME.h"
#include "mail/IdHeaderList.h"
#include "mail/IdMessage.h"

TIdSMTP::TIdSMTP() { Port = 25; }

// Closing without QUIT: a destructor must not block on or fail with the network.
TIdSMTP::~TIdSMTP() = default;

void TIdSMTP::SetAuthenticationType(TAuthenticationType value) {
    FAuthenticationType = value;
    if (value == atLogin) FUseEhlo = true;
}

void TIdSMTP::SetUseEhlo(bool value) {
    FUseEhlo = value;
    if (!value) FAuthenticationType = atNone;
}

std::vector<AnsiString> TIdSMTP::ParseAuthSchemes(const std::vector<AnsiString>& replyText) {
    std::vector<AnsiString> schemes;
    for (const AnsiString& line : replyText) {
        AnsiString upper = AnsiUpperCase(line);
        if (upper.size() < 5 || (upper.compare(0, 5, "AUTH ") != 0 && upper.compare(0, 5, "AUTH=") != 0)) continue;
        // From the separator on: its leading blank makes the first entry empty.
        AnsiString rest = upper.substr(4);
        std::replace(rest.begin(), rest.end(), '=', ' ');
        while (!rest.empty()) {
            std::size_t space = rest.find(' ');
            AnsiString scheme = rest.substr(0, space);
            rest = space == AnsiString::npos ? AnsiString() : rest.substr(space + 1);
            if (std::find(schemes.begin(), schemes.end(), scheme) == schemes.end()) schemes.push_back(scheme);
        }
    }
    return schemes;
}

void TIdSMTP::Connect(int timeoutMs) {
    TIdTCPClient::Connect(timeoutMs);
    try {
        GetReply({220});
        AuthSchemes.clear();
        AnsiString name = HeloName.empty() ? LocalHostName() : HeloName;
        if (FUseEhlo && SendCommand("EHLO " + name, {-1}) == 250) {
            AuthSchemes = ParseAuthSchemes(LastReply.Text);
            return;
        }
        SendCommand("HELO " + name, {250});
    } catch (...) {
        std::exception_ptr error = std::current_exception();
        try {
            Disconnect();
        } catch (...) {
            // The greeting's error is the one the caller needs to see.
        }
        std::rethrow_exception(error);
    }
}

void TIdSMTP::Disconnect() {
    std::exception_ptr error;
    try {
        if (Connected()) WriteLine("QUIT");
    } catch (...) {
        error = std::current_exception();
    }
    TIdTCPClient::Disconnect();
    Authenticated = false;
    if (error) std::rethrow_exception(error);
}

bool TIdSMTP::LoginOffered(TAuthenticationType type) const {
    if (type != atLogin) return false;
    return std::any_of(AuthSchemes.begin(), AuthSchemes.end(),
                       [](const AnsiString& scheme) { return SameText(scheme, "LOGIN"); });
}

void TIdSMTP::Authenticate() {
    if (FAuthenticationType == atLogin) {
        SendCommand("AUTH LOGIN", {334});
        SendCommand(EncodeBase64(Username), {334});
        SendCommand(EncodeBase64(Password), {235});
    }
    Authenticated = true;
}

void TIdSMTP::Send(TIdMessage& message) {
    CheckAddresses(message); // before the first command of the transaction
    SendCommand("RSET", {-1});
    if (FAuthenticationType != atNone && LoginOffered(FAuthenticationType) && !Authenticated) Authenticate();
    SendCommand("MAIL FROM:<" + message.From.Address + ">", {250});
    for (const TIdEMailAddressList* list : {&message.Recipients, &message.CCList, &message.BccList})
        for (std::size_t i = 0; i < list->Count(); ++i) SendCommand("RCPT TO:<" + (*list)[i].Address + ">", {250, 251});
    SendCommand("DATA", {354});
    SetHeader(message.ExtraHeaders, "X-Mailer", MailAgent);
    message.WriteMessage(*this);
    SendCommand(".", {250});
}
