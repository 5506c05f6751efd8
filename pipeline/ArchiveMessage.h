#pragma once
// The program's mail: one archive of a task, sent to the task's recipients.
// The mail step, quorvelctl mail, the benchmark and the tests all build it here.
#include <cstddef>
#include <string>

#include "mail/IdEMailAddress.h"
#include "mail/IdMessage.h"
#include "platform/AnsiString.h"
#include "platform/Clock.h"
#include "tasks/TaskRecord.h"

// What the mail says about the archive beyond its name.
struct TArchiveMailOptions {
    bool Encrypted = false; // a third body line "压缩包已加密"
    // Volume n of Volumes (from 1) when the archive goes in parts: the
    // attachment is the volume beside the archive, the subject is followed by
    // " (n/N)" and the body gets "分卷 n/N". Volumes 0: the whole archive.
    std::size_t Volume = 0;
    std::size_t Volumes = 0;
};

// text/html in gb2312 from `sender` to the task's ToMailAddr and CcMailAddr; the
// subject is MailTopic with "<file>" (the archive's file name) and "<date>"
// (yyyy-MM-dd of `now`) replaced in any letter case; the body names BakDBName and
// `now`. `archivePath` is in code page 936, as the attachment takes it; empty: no
// attachment. The Date field is left to mean the moment of sending. Raises
// EIdEmailParseError for an address list that does not parse.
TIdMessage MakeArchiveMessage(const TTaskRecord& task, const TIdEMailAddressItem& sender, const AnsiString& archivePath,
                              const TLocalDateTime& now, const TArchiveMailOptions& options = {});
