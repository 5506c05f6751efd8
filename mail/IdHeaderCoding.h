#pragma once
// How header field values are made: the header charset, RFC 2047 encoded words,
// addresses and the date as field values.
#include <string_view>

#include "mail/IdEMailAddress.h"
#include "platform/AnsiString.h"
#include "platform/Clock.h"
#include "platform/IdException.h"
#include "platform/Locale.h"

// The local time zone could not be read.
class EIdFailedToRetreiveTimeZoneInfo : public EIdException {
public:
    EIdFailedToRetreiveTimeZoneInfo() : EIdException("Failed attempting to retrieve time zone information.") {}
};

enum class TTransferHeader {
    Plain8Bit, // header bytes are encoded as they are
    Japanese,  // header text is converted to ISO-2022-JP first
};

struct THeaderCharset {
    AnsiString Charset;  // "GB2312", "Big5", "ISO-2022-JP", "EUC-KR" or "ISO-8859-1"
    char Letter = 'B';   // 'B' (base64) or 'Q' (quoted-printable)
    TTransferHeader Transfer = TTransferHeader::Plain8Bit;
};

// The header charset, encoding letter and transfer mode for a user locale.
THeaderCharset ChooseHeaderCharset(const TUserLocale& locale = UserDefaultLocale());

// Specials of display names: bytes that make a word need encoding there.
constexpr std::string_view NameSpecials = "\"(),.:;<>@[\\]";

// Turns every run of words holding bytes 0-31, 127-255 or `specials` into encoded
// words of at most 75 characters (continued after CR LF and a tab); other words
// and the separators around runs stay as they are. An encoded word never ends
// inside a double-byte character.
AnsiString EncodeHeaderText(std::string_view text, std::string_view specials, const THeaderCharset& charset);

// An address as a field value: the bare Address when there is no name, else the
// name (quoted, or encoded when it has 8-bit bytes) and " <Address>".
AnsiString RenderAddressItem(const TIdEMailAddressItem& item, const THeaderCharset& charset);
// The rendered items joined by ", ".
AnsiString RenderAddressList(const TIdEMailAddressList& list, const THeaderCharset& charset);

// "Mon, 5 Jan 2004 13:04:05 +0800": a local time and its offset from UTC in minutes.
AnsiString InternetDate(const TLocalDateTime& local, int utcOffsetMinutes);
// The Date field of a point in time, with the zone offset in force at that time.
AnsiString InternetDate(TTimePoint t);

// Minutes the local time is ahead of UTC now (daylight saving applied); raises
// EIdFailedToRetreiveTimeZoneInfo when the time zone cannot be read.
int UtcOffset();
// The same at the point in time `t`.
int UtcOffsetAt(TTimePoint t);
// "+0800", "-0330", "+0000".
AnsiString UtcOffsetText(int utcOffsetMinutes);
