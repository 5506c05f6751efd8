#include "mail/IdHeaderCoding.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <memory>

#include "mail/IdCoderMIME.h"
#include "platform/Exception.h"

namespace {

// Longest encoded word, and its continuation inside a field value.
constexpr std::size_t MaxEncodedWord = 75;
constexpr std::string_view WordContinuation = "?=\r\n\t";

bool IsSeparator(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool NeedsEncoding(char c, std::string_view specials) {
    const auto b = static_cast<unsigned char>(c);
    return b < 32 || b >= 127 || specials.find(c) != std::string_view::npos;
}

bool NeedsQuoting(char c, std::string_view specials) {
    return NeedsEncoding(c, specials) || c == '=' || c == '?' || c == '_';
}

void AppendQForm(AnsiString& out, char c, std::string_view specials) {
    static constexpr char Hex[] = "0123456789ABCDEF";
    if (c == ' ') {
        out += '_';
    } else if (NeedsQuoting(c, specials)) {
        const auto b = static_cast<unsigned char>(c);
        out += '=';
        out += Hex[b >> 4];
        out += Hex[b & 15];
    } else {
        out += c;
    }
}

// Bytes of the character at `i` that must stay in one encoded word: a lead byte
// and its trail, or one byte.
std::size_t Unit(std::string_view s, std::size_t i, bool doubleByteAware) {
    return doubleByteAware && IsLeadByte(s[i]) && i + 1 < s.size() ? 2 : 1;
}

// One run of words that need encoding, as encoded words.
AnsiString EncodeRun(std::string_view run, std::string_view specials, const THeaderCharset& charset,
                     bool doubleByteAware) {
    const AnsiString opening = "=?" + charset.Charset + "?" + charset.Letter + "?";
    const std::size_t restart = opening.size() + 2;
    AnsiString out = opening;

    if (charset.Letter == 'B') {
        // Words carry whole groups of three bytes: 15 groups (45 bytes) with "GB2312".
        const std::size_t groups = restart + 4 <= MaxEncodedWord ? (MaxEncodedWord - restart) / 4 : 1;
        const std::size_t capacity = 3 * groups;
        for (std::size_t start = 0, i = 0; start < run.size(); start = i) {
            while (i < run.size()) {
                const std::size_t len = Unit(run, i, doubleByteAware);
                if (i + len - start > capacity && i > start) break;
                i += len;
            }
            if (start > 0) out += WordContinuation, out += opening;
            AppendBase64(out, run.substr(start, i - start));
        }
    } else {
        std::size_t length = restart;
        AnsiString forms;
        for (std::size_t i = 0; i < run.size();) {
            const std::size_t len = Unit(run, i, doubleByteAware);
            forms.clear();
            for (std::size_t k = i; k < i + len; ++k) AppendQForm(forms, run[k], specials);
            if (length + forms.size() > MaxEncodedWord && length > restart) {
                out += WordContinuation;
                out += opening;
                length = restart;
            }
            out += forms;
            length += forms.size();
            i += len;
        }
    }
    out += "?=";
    return out;
}

struct TIconvCloser {
    void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};

// Header text on a Japanese system goes out as ISO-2022-JP.
AnsiString ToIso2022Jp(std::string_view text) {
    iconv_t cd = iconv_open("ISO-2022-JP", "GBK");
    if (cd == reinterpret_cast<iconv_t>(-1)) throw EEncodingError("No conversion to ISO-2022-JP");
    std::unique_ptr<void, TIconvCloser> owner(cd);
    std::string in(text);
    std::string out(text.size() * 4 + 16, '\0');
    char* inPtr = in.data();
    std::size_t inLeft = in.size();
    char* outPtr = out.data();
    std::size_t outLeft = out.size();
    // The final call with null input writes the escape back to ASCII.
    if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1) ||
        iconv(cd, nullptr, nullptr, &outPtr, &outLeft) == static_cast<std::size_t>(-1))
        throw EEncodingError(Format("Text cannot be converted to ISO-2022-JP at byte %zu", in.size() - inLeft));
    out.resize(out.size() - outLeft);
    return out;
}

std::tm LocalTm(std::time_t t) {
    std::tm tm{};
    if (localtime_r(&t, &tm) == nullptr) throw EIdFailedToRetreiveTimeZoneInfo();
    return tm;
}

} // namespace

THeaderCharset ChooseHeaderCharset(const TUserLocale& locale) {
    switch (locale.PrimaryLanguage) {
    case LANG_CHINESE:
        return {locale.SubLanguage == SUBLANG_CHINESE_SIMPLIFIED ? "GB2312" : "Big5", 'B', TTransferHeader::Plain8Bit};
    case LANG_JAPANESE:
        return {"ISO-2022-JP", 'B', TTransferHeader::Japanese};
    case LANG_KOREAN:
        return {"EUC-KR", 'B', TTransferHeader::Plain8Bit};
    default:
        return {"ISO-8859-1", 'Q', TTransferHeader::Plain8Bit};
    }
}

AnsiString EncodeHeaderText(std::string_view text, std::string_view specials, const THeaderCharset& charset) {
    if (charset.Letter == '8') return AnsiString(text);
    AnsiString converted;
    const bool japanese = charset.Transfer == TTransferHeader::Japanese;
    if (japanese) {
        converted = ToIso2022Jp(text);
        text = converted;
    }
    // ISO-2022-JP is 7-bit; only code page 936 bytes have lead and trail bytes.
    const bool doubleByteAware = !japanese;

    AnsiString out;
    const std::size_t n = text.size();
    std::size_t i = 0, runStart = 0, runEnd = 0;
    bool runOpen = false;
    while (true) {
        const std::size_t separatorsStart = i;
        while (i < n && IsSeparator(text[i])) ++i;
        if (i >= n) {
            if (runOpen) out += EncodeRun(text.substr(runStart, runEnd - runStart), specials, charset, doubleByteAware);
            out.append(text.substr(separatorsStart));
            break;
        }
        const std::size_t wordStart = i;
        bool needs = false;
        for (; i < n && !IsSeparator(text[i]); ++i)
            if (NeedsEncoding(text[i], specials)) needs = true;
        if (needs) {
            if (!runOpen) {
                out.append(text.substr(separatorsStart, wordStart - separatorsStart));
                runOpen = true;
                runStart = wordStart;
            }
            runEnd = i;
        } else {
            if (runOpen) {
                out += EncodeRun(text.substr(runStart, runEnd - runStart), specials, charset, doubleByteAware);
                runOpen = false;
            }
            out.append(text.substr(separatorsStart, i - separatorsStart));
        }
    }
    return out;
}

AnsiString RenderAddressItem(const TIdEMailAddressItem& item, const THeaderCharset& charset) {
    if (item.Name.empty()) return item.Address;
    AnsiString name;
    const bool eightBit = std::any_of(item.Name.begin(), item.Name.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b < 32 || b > 126;
    });
    if (eightBit) {
        name = EncodeHeaderText(item.Name, NameSpecials, charset);
    } else {
        name = "\"";
        for (char c : item.Name) {
            if (c == '\\' || c == '"') name += '\\';
            name += c;
        }
        name += "\"";
    }
    return name + " <" + item.Address + ">";
}

AnsiString RenderAddressList(const TIdEMailAddressList& list, const THeaderCharset& charset) {
    AnsiString out;
    for (std::size_t i = 0; i < list.Count(); ++i) {
        if (i > 0) out += ", ";
        out += RenderAddressItem(list[i], charset);
    }
    return out;
}

AnsiString UtcOffsetText(int utcOffsetMinutes) {
    const int magnitude = utcOffsetMinutes < 0 ? -utcOffsetMinutes : utcOffsetMinutes;
    return Format("%c%02d%02d", utcOffsetMinutes < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
}

AnsiString InternetDate(const TLocalDateTime& local, int utcOffsetMinutes) {
    static constexpr const char* Days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* Months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const int dayOfWeek = std::clamp(local.DayOfWeek, 0, 6);
    const int month = std::clamp(local.Month, 1, 12);
    const AnsiString time = Format("%02d:%02d:%02d", local.Hour, local.Minute, local.Second);
    return Format("%s, %d %s %d %s %s", Days[dayOfWeek], local.Day, Months[month - 1], local.Year, time.c_str(),
                  UtcOffsetText(utcOffsetMinutes).c_str());
}

int UtcOffsetAt(TTimePoint t) {
    const std::tm tm = LocalTm(std::chrono::system_clock::to_time_t(t));
    return static_cast<int>(tm.tm_gmtoff / 60);
}

int UtcOffset() { return UtcOffsetAt(std::chrono::system_clock::now()); }

AnsiString InternetDate(TTimePoint t) { return InternetDate(ToLocal(t), UtcOffsetAt(t)); }
