#pragma once
// The short mail that tells the task's recipients a night failed: which task,
// which step, the errors and the cycle's own log lines.
#include <vector>

#include "mail/IdMessage.h"
#include "pipeline/RunHistory.h"
#include "platform/AnsiString.h"
#include "platform/Clock.h"

struct TFailureNotice {
    AnsiString Subject;            // code page 936
    std::vector<AnsiString> Body;  // one text per line
    bool operator==(const TFailureNotice&) const = default;
};

// The step as the notice names it: 连接数据库, 备份数据库, 压缩 or 发送邮件 (code page 936).
AnsiString NoticeStepText(TCycleStep step);

// Subject "备份失败：<task> <yyyy-MM-dd hh:mm>" with the cycle's start, body lines
// "任务：<task>", "步骤：<step>", "错误：<text>" for each error, then the log lines.
TFailureNotice MakeFailureNotice(const AnsiString& taskName, const TLocalDateTime& started, TCycleStep step,
                                 const std::vector<AnsiString>& errors, const std::vector<AnsiString>& logLines);

// The notice as a plain-text message from `sender` to the task's To and Cc lists
// (comma-separated, as the task stores them).
void FillFailureMessage(TIdMessage& message, const TFailureNotice& notice, const TIdEMailAddressItem& sender,
                        const AnsiString& toAddresses, const AnsiString& ccAddresses);
