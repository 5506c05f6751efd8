#include "pipeline/FailureNotice.h"

#include <cstdio>

AnsiString NoticeStepText(TCycleStep step) {
    switch (step) {
    case TCycleStep::Connect: return Utf8ToAnsi("连接数据库");
    case TCycleStep::Backup: return Utf8ToAnsi("备份数据库");
    case TCycleStep::Archive: return Utf8ToAnsi("压缩");
    case TCycleStep::Mail: return Utf8ToAnsi("发送邮件");
    case TCycleStep::None: break;
    }
    return AnsiString();
}

TFailureNotice MakeFailureNotice(const AnsiString& taskName, const TLocalDateTime& started, TCycleStep step,
                                 const std::vector<AnsiString>& errors, const std::vector<AnsiString>& logLines) {
    char when[32];
    std::snprintf(when, sizeof when, "%04d-%02d-%02d %02d:%02d", started.Year % 10000, started.Month % 100,
                  started.Day % 100, started.Hour % 100, started.Minute % 100);
    TFailureNotice notice;
    notice.Subject = Utf8ToAnsi("备份失败：") + taskName + " " + when;
    notice.Body.push_back(Utf8ToAnsi("任务：") + taskName);
    notice.Body.push_back(Utf8ToAnsi("步骤：") + NoticeStepText(step));
    for (const AnsiString& error : errors) notice.Body.push_back(Utf8ToAnsi("错误：") + error);
    notice.Body.insert(notice.Body.end(), logLines.begin(), logLines.end());
    return notice;
}

void FillFailureMessage(TIdMessage& message, const TFailureNotice& notice, const TIdEMailAddressItem& sender,
                        const AnsiString& toAddresses, const AnsiString& ccAddresses) {
    message.From = sender;
    // Log lines hold "<" and ">": plain text shows them as they are.
    message.ContentType = "text/plain";
    message.CharSet = "gb2312";
    message.ReplyTo.Clear();
    message.Subject = notice.Subject;
    message.Body = notice.Body;
    message.Recipients.SetAddressesText(toAddresses);
    message.CCList.SetAddressesText(ccAddresses);
}
