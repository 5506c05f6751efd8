#pragma once
// E-mail addresses as the mail transport holds them: one mailbox with an optional
// display name, and ordered lists of them parsed from typed text. All texts are
// code page 936 bytes; a trail byte of a double-byte character never counts as a
// delimiter.
#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/AnsiString.h"
#include "platform/IdException.h"

// An address text the parser cannot take apart.
class EIdEmailParseError : public EIdException {
public:
    using EIdException::EIdException;
};

// An address that cannot go into an SMTP command or a header line as it is.
class EIdInvalidAddress : public EIdException {
public:
    using EIdException::EIdException;
};

class TIdEMailAddressItem {
public:
    AnsiString Address; // the mailbox without angle brackets; used verbatim in the envelope
    AnsiString Name;    // the display name without quotes or escapes

    // Renders Name and Address back into one address text.
    AnsiString Text() const;
    // Clears both fields and parses `text` into them; raises EIdEmailParseError
    // "@ Outside address" for an at-sign after a closed bracketed mailbox (the
    // fields keep what they had collected).
    void SetText(std::string_view text);
};

class TIdEMailAddressList {
public:
    std::size_t Count() const { return FItems.size(); }
    bool Empty() const { return FItems.empty(); }
    TIdEMailAddressItem& operator[](std::size_t index) { return *FItems[index]; }
    const TIdEMailAddressItem& operator[](std::size_t index) const { return *FItems[index]; }

    // Appends an empty item and returns it.
    TIdEMailAddressItem& Add();
    void Delete(std::size_t index);
    void Clear() { FItems.clear(); }

    // Clears the list and parses a recipient list (comma or semicolon separated,
    // quoted names, comments, groups). On EIdEmailParseError the items found so far,
    // the failing one included, stay in the list.
    void SetAddressesText(std::string_view text);

private:
    std::vector<std::unique_ptr<TIdEMailAddressItem>> FItems;
};

// The sender as the settings hold it: a plain address, taken byte for byte, or
// a display name and the address in angle brackets ("客服中心 <backup@example.com>"),
// taken apart so that the envelope gets only the address and the From field the
// name. Raises EIdInvalidAddress for a bracketed text that names no address.
TIdEMailAddressItem ParseSender(std::string_view text);

// Position (from 1) of the first byte of `text` that is one of `delimiters`,
// stepping over double-byte characters whole; 0 when there is none.
std::size_t FindDelimiter(std::string_view text, std::string_view delimiters);
