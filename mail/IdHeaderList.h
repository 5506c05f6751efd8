#pragma once
// The header fields of a message or a part, one text line each: "Name: value",
// a long field continuing on lines that begin with a space or a tab.
#include <cstddef>
#include <vector>

#include "platform/AnsiString.h"

class TIdHeaderList {
public:
    static constexpr std::size_t FoldWidth = 78;

    std::size_t Count() const { return FLines.size(); }
    bool Empty() const { return FLines.empty(); }
    const AnsiString& operator[](std::size_t index) const { return FLines[index]; }
    const std::vector<AnsiString>& Lines() const { return FLines; }

    void Add(AnsiString line) { FLines.push_back(std::move(line)); }
    void Clear() { FLines.clear(); }

    // Index of the first line whose text before its first colon is `name`
    // (letter case ignored); -1 when there is none.
    int IndexOfName(std::string_view name) const;
    // The value of the field `name` (its first line after the colon, trimmed,
    // with its continuation lines appended); empty when there is none.
    AnsiString Values(std::string_view name) const;

    // Sets the field to `value`, folded; an empty value removes the field.
    void SetHeader(std::string_view name, std::string_view value);

private:
    std::vector<AnsiString> FLines;
};

// Free form of TIdHeaderList::SetHeader, as the message encoder and the SMTP client call it.
inline void SetHeader(TIdHeaderList& list, std::string_view name, std::string_view value) {
    list.SetHeader(name, value);
}

// Folds one field line at width 78 by inserting CR LF and a space before a break
// character (space, tab, comma) outside double quotes; never inside a double-byte
// character. Existing CR LF space breaks are kept.
AnsiString FoldText(std::string_view line);
