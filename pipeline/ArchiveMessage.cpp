#include "pipeline/ArchiveMessage.h"

#include "pipeline/BackupCycle.h"

namespace {

// "/" is never the second byte of a double-byte character, so the last one
// ends the folder part.
AnsiString FileNameOf(const AnsiString& path) {
    const auto slash = path.rfind('/');
    return slash == AnsiString::npos ? path : path.substr(slash + 1);
}

} // namespace

TIdMessage MakeArchiveMessage(const TTaskRecord& task, const TIdEMailAddressItem& sender, const AnsiString& archivePath,
                              const TLocalDateTime& now) {
    AnsiString subject = task.MailTopic;
    ReplaceMacro(subject, "<file>", FileNameOf(archivePath), false);
    ReplaceMacro(subject, "<date>", TBackupCycle::ShortDate(now), false);

    TIdMessage message;
    message.From = sender;
    message.ContentType = "text/html";
    message.CharSet = "gb2312";
    message.Subject = subject;
    message.Body = TBackupCycle::MailBody(task.BakDBName, now);
    if (!archivePath.empty()) message.Parts.AddAttachment(archivePath);
    message.Recipients.SetAddressesText(task.ToMailAddr);
    message.CCList.SetAddressesText(task.CcMailAddr);
    return message;
}
