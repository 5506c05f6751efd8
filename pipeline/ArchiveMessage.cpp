#include "pipeline/ArchiveMessage.h"

#include "pipeline/ArchiveVolumes.h"
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
                              const TLocalDateTime& now, const TArchiveMailOptions& options) {
    AnsiString subject = task.MailTopic;
    ReplaceMacro(subject, "<file>", FileNameOf(archivePath), false);
    ReplaceMacro(subject, "<date>", TBackupCycle::ShortDate(now), false);
    const bool volume = options.Volumes > 0 && !archivePath.empty();

    TIdMessage message;
    message.From = sender;
    message.ContentType = "text/html";
    message.CharSet = "gb2312";
    message.Subject = volume ? VolumeSubject(subject, options.Volume, options.Volumes) : subject;
    message.Body = TBackupCycle::MailBody(task.BakDBName, now);
    if (options.Encrypted) message.Body.push_back(Utf8ToAnsi("压缩包已加密"));
    if (volume) message.Body.push_back(VolumeBodyLine(options.Volume, options.Volumes));
    if (!archivePath.empty())
        message.Parts.AddAttachment(volume ? VolumeName(archivePath, options.Volume) : archivePath);
    message.Recipients.SetAddressesText(task.ToMailAddr);
    message.CCList.SetAddressesText(task.CcMailAddr);
    return message;
}
