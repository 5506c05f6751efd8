// libFuzzer target over the address list parser: any typed text must parse or
// fail with the parser's error, and every item found must render again.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "mail/IdEMailAddress.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    TIdEMailAddressList list;
    try {
        list.SetAddressesText(text);
    } catch (const EIdEmailParseError&) {
    }
    for (std::size_t i = 0; i < list.Count(); ++i) {
        const AnsiString rendered = list[i].Text();
        TIdEMailAddressItem again;
        try {
            again.SetText(rendered);
        } catch (const EIdEmailParseError&) {
        }
    }
    TIdEMailAddressItem item;
    try {
        item.SetText(text);
    } catch (const EIdEmailParseError&) {
    }
    (void)item.Text();
    return 0;
}
