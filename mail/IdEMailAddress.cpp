#include "mail/IdEMailAddress.h"

#include <algorithm>

#include "mail/IdReply.h"

namespace {

constexpr std::string_view AtomChars =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ1234567890!#$%&'*+-/=?_`{}|~";

bool IsAtomChar(char c) { return AtomChars.find(c) != std::string_view::npos; }
bool IsNameSafe(char c) { return c == ' ' || IsAtomChar(c); }

// Length of the character starting at `i`: 2 for a lead byte with its trail, else 1.
std::size_t CharLength(std::string_view s, std::size_t i) { return IsLeadByte(s[i]) && i + 1 < s.size() ? 2 : 1; }

AnsiString TrimText(std::string_view s) { return AnsiString(Trim(s)); }

AnsiString TrimLeft(std::string_view s) {
    std::size_t b = 0;
    while (b < s.size() && static_cast<unsigned char>(s[b]) <= ' ') ++b;
    return AnsiString(s.substr(b));
}

// A backslash before every backslash and double quote; the trail byte of a
// double-byte character is never taken for either.
AnsiString QuoteEscaped(std::string_view s) {
    AnsiString out;
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t len = CharLength(s, i);
        if (len == 1 && (s[i] == '\\' || s[i] == '"')) out += '\\';
        out.append(s.substr(i, len));
        i += len;
    }
    return out;
}

// Position (from 0) of the last at-sign outside double-byte characters; npos when none.
std::size_t LastAtSign(std::string_view s) {
    std::size_t found = std::string_view::npos;
    for (std::size_t i = 0; i < s.size(); i += CharLength(s, i))
        if (s[i] == '@') found = i;
    return found;
}

// The drop test of the list parser: an item whose rendering says nothing.
bool RendersEmpty(const TIdEMailAddressItem& item) {
    const AnsiString rendered = item.Text();
    const std::string_view text = Trim(rendered);
    return text.empty() || text == "<>";
}

// t[1..n] in the parser's 1-based terms.
std::string_view Head(const AnsiString& t, std::size_t n) { return std::string_view(t).substr(0, n); }
// Cut after k: t becomes what follows position k.
void CutAfter(AnsiString& t, std::size_t k) { t.erase(0, std::min(k, t.size())); }

} // namespace

std::size_t FindDelimiter(std::string_view text, std::string_view delimiters) {
    for (std::size_t i = 0; i < text.size(); i += CharLength(text, i))
        if (delimiters.find(text[i]) != std::string_view::npos) return i + 1;
    return 0;
}

AnsiString TIdEMailAddressItem::Text() const {
    AnsiString addressPart;
    if (Address.empty()) {
        if (!Name.empty()) addressPart = "<>";
    } else {
        std::string_view local, domain;
        if (const std::size_t at = LastAtSign(Address); at != std::string_view::npos) {
            local = std::string_view(Address).substr(0, at);
            domain = std::string_view(Address).substr(at);
        }
        const auto outside = std::find_if_not(local.begin(), local.end(), IsAtomChar);
        if (outside != local.end() && *outside != '.') {
            addressPart = "<\"" + QuoteEscaped(local) + "\"" + AnsiString(domain) + ">";
        } else {
            addressPart = AnsiString(local) + AnsiString(domain);
            if (!Name.empty()) addressPart = "<" + addressPart + ">";
        }
    }
    if (Name.empty() || Name == AnsiUpperCase(Address)) return addressPart;
    if (std::all_of(Name.begin(), Name.end(), IsNameSafe)) return Name + " " + addressPart;
    return "\"" + QuoteEscaped(Name) + "\" " + addressPart;
}

void TIdEMailAddressItem::SetText(std::string_view text) {
    Address.clear();
    Name.clear();
    AnsiString t = TrimText(text);
    if (t.empty()) return;
    std::size_t p = FindDelimiter(t, "(\"< @\t");
    if (p == 0) {
        Address = t;
        return;
    }

    bool inQuote = false, inAddress = false, inBrackets = false, afterAt = false;
    int commentDepth = 0;
    while (p != 0) {
        switch (t[p - 1]) {
        case ' ':
        case '\t':
            if (p == 1) {
                t.erase(0, 1);
            } else {
                if (afterAt)
                    Address += TrimText(Head(t, p - 1));
                else
                    Name += Head(t, p);
                CutAfter(t, p);
            }
            break;
        case '(':
            if (p == 1) {
                t.erase(0, 1);
            } else {
                if (inAddress)
                    Address += TrimText(Head(t, p - 1));
                else if (commentDepth == 0)
                    Name += Head(t, p - 1);
                CutAfter(t, p);
            }
            ++commentDepth;
            break;
        case ')':
            --commentDepth;
            CutAfter(t, p);
            break;
        case '"':
            if (inQuote) {
                (inBrackets ? Address : Name) += TrimText(Head(t, p - 1));
                CutAfter(t, p);
                inQuote = false;
            } else {
                inQuote = true;
                t.erase(p - 1, 1);
            }
            break;
        case '<':
            if (p > 1) Name += Head(t, p - 1);
            Name = TrimText(Name);
            inBrackets = inAddress = true;
            CutAfter(t, p);
            break;
        case '>':
            inAddress = afterAt = false;
            Address += TrimText(Head(t, p - 1));
            CutAfter(t, p);
            break;
        case '@':
            afterAt = true;
            if (inAddress) {
                Address += Head(t, p);
                CutAfter(t, p);
            } else if (inBrackets) {
                throw EIdEmailParseError("@ Outside address");
            } else {
                Address += Head(t, p);
                CutAfter(t, p);
                inAddress = true;
            }
            break;
        case '.':
            if (inBrackets) {
                Address += TrimText(Head(t, p - 1)) + ".";
                t = TrimLeft(std::string_view(t).substr(p));
            } else {
                Address += Head(t, p);
                CutAfter(t, p);
            }
            break;
        case '\\': {
            // The escaped character is taken whole, so the trail byte of an escaped
            // double-byte character cannot pose as a delimiter afterwards.
            const std::size_t escaped = p < t.size() ? CharLength(t, p) : 0;
            if (inQuote) {
                AnsiString& target = inAddress ? Address : Name;
                target += Head(t, p - 1);
                target += std::string_view(t).substr(p, escaped);
            }
            CutAfter(t, p + escaped);
            break;
        }
        }

        if (commentDepth > 0)
            p = FindDelimiter(t, "()\\");
        else if (inQuote)
            p = FindDelimiter(t, "\"\\");
        else if (afterAt && inBrackets)
            p = FindDelimiter(t, ".>(");
        else if (afterAt)
            p = FindDelimiter(t, ".( ");
        else if (inAddress)
            p = FindDelimiter(t, "\"(@>");
        else
            p = FindDelimiter(t, "(\"< @\t");
    }
    if (inAddress && !inBrackets) Address += TrimText(t);
}

TIdEMailAddressItem ParseSender(std::string_view text) {
    TIdEMailAddressItem item;
    if (FindDelimiter(text, "<") == 0) {
        item.Address = AnsiString(text);
        return item;
    }
    auto refuse = [&] {
        return EIdInvalidAddress("Sender " + QuotedForMessage(text) + " is neither an address nor a name followed by <address>");
    };
    try {
        item.SetText(text);
    } catch (const EIdEmailParseError&) {
        throw refuse();
    }
    if (Trim(item.Address).empty()) throw refuse();
    return item;
}

TIdEMailAddressItem& TIdEMailAddressList::Add() {
    FItems.push_back(std::make_unique<TIdEMailAddressItem>());
    return *FItems.back();
}

void TIdEMailAddressList::Delete(std::size_t index) {
    FItems.erase(FItems.begin() + static_cast<std::ptrdiff_t>(index));
}

void TIdEMailAddressList::SetAddressesText(std::string_view text) {
    Clear();
    if (Trim(text).empty()) return;
    AnsiString s(text), b;
    int commentDepth = 0;
    bool inQuote = false;

    // Adds an item parsed from `itemText`; drops it again when its rendering is empty.
    auto addDroppable = [this](std::string_view itemText) {
        TIdEMailAddressItem& item = Add();
        item.SetText(itemText);
        if (RendersEmpty(item)) FItems.pop_back();
    };

    std::size_t p = FindDelimiter(s, ":;(\", \t");
    if (p == 0) {
        Add().SetText(TrimLeft(s));
        return;
    }
    while (p != 0) {
        switch (s[p - 1]) {
        case ' ':
        case '\t':
            if (p == 1) {
                b += s[0];
                s.erase(0, 1);
            } else {
                b += Head(s, p);
                CutAfter(s, p);
            }
            break;
        case ':': // a group name is discarded
            CutAfter(s, p);
            b.clear();
            break;
        case ';':
            b += Head(s, p - 1);
            if (!Trim(b).empty()) {
                Add().SetText(TrimLeft(b));
                b.clear();
            }
            CutAfter(s, p);
            break;
        case '(':
            ++commentDepth;
            b += Head(s, p);
            CutAfter(s, p);
            break;
        case ')':
            --commentDepth;
            b += Head(s, p);
            CutAfter(s, p);
            break;
        case '"':
            b += Head(s, p);
            CutAfter(s, p);
            inQuote = !inQuote;
            break;
        case ',':
            b += Head(s, p - 1);
            addDroppable(b);
            b.clear();
            CutAfter(s, p);
            break;
        case '\\': {
            const std::size_t escaped = p < s.size() ? CharLength(s, p) : 0;
            b += Head(s, p + escaped);
            CutAfter(s, p + escaped);
            break;
        }
        }

        if (commentDepth > 0)
            p = FindDelimiter(s, "(\\)");
        else if (inQuote)
            p = FindDelimiter(s, "\"\\");
        else
            p = FindDelimiter(s, ":;(\", \t");
    }
    if (!Trim(b).empty() || !Trim(s).empty()) {
        b += s;
        addDroppable(TrimLeft(b));
    }
}
