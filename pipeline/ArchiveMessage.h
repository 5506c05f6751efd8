#pragma once
// The program's mail: one archive of a task, sent to the task's recipients.
// The mail step, quorvelctl mail, the benchmark and the tests all build it here.
#include <string>

#include "mail/IdEMailAddress.h"
#include "mail/IdMessage.h"
#include "platform/AnsiString.h"
#include "platform/Clock.h"
#include "tasks/TaskRecord.h"

// text/html in gb2312 from `sender` to the task's ToMailAddr and CcMailAddr; the
// subject is MailTopic with "<file>" (the archive's file name) and "<date>"
// (yyyy-MM-dd of `now`) replaced in any letter case; the body names BakDBName and
// `now`. `archivePath` is in code page 936, as the attachment takes it; empty: no
// attachment. The Date field is left to mean the moment of sending. Raises
// EIdEmailParseError for an address list that does not parse.
TIdMessage MakeArchiveMessage(const TTaskRecord& task, const TIdEMailAddressItem& sender, const AnsiString& archivePath,
                              const TLocalDateTime& now);
