#include "settings/StringCipher.h"

#include <random>

#include "platform/Exception.h"

namespace {

constexpr const char* DefaultKey = "60478159";

// The key bytes in turn, starting again with the first after the last.
class TKeyWalk {
public:
    explicit TKeyWalk(const AnsiString& key) : key_(key.empty() ? AnsiString(DefaultKey) : key) {}
    unsigned char Next() {
        if (++position_ > key_.size()) position_ = 1;
        return static_cast<unsigned char>(key_[position_ - 1]);
    }

private:
    AnsiString key_;
    std::size_t position_ = 0;
};

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// One or two hex digits as a number, or the conversion error naming the text.
int HexNumber(const AnsiString& digits) {
    int value = 0;
    for (char c : digits) {
        int d = HexDigit(c);
        if (d < 0) throw EConvertError(Format("'%s' is not a valid integer value", digits.c_str()));
        value = value * 16 + d;
    }
    if (digits.empty()) throw EConvertError(Format("'%s' is not a valid integer value", digits.c_str()));
    return value;
}

unsigned char DrawSeed() {
    static thread_local std::mt19937 generator{std::random_device{}()};
    return static_cast<unsigned char>(std::uniform_int_distribution<int>(0, 255)(generator));
}

} // namespace

AnsiString CipherText(const AnsiString& source, const AnsiString& key, bool encipher) {
    if (source.empty()) return {};
    TKeyWalk walk(key);
    if (encipher) {
        unsigned running = DrawSeed();
        AnsiString result = Format("%1.2X", running);
        for (unsigned char b : source) {
            unsigned sum = (running + b) % 255;
            unsigned value = sum ^ walk.Next();
            result += Format("%1.2X", value);
            running = value;
        }
        return result;
    }
    unsigned running = static_cast<unsigned>(HexNumber(source.substr(0, 2)));
    // Every cipher text is whole pairs: a lone digit left over means a damaged
    // or hand-edited text, and deciphering it would give garbage without a word.
    if (source.size() % 2 != 0)
        throw EConvertError(Format("'%s' is not a valid cipher text: it must hold an even number of hexadecimal digits",
                                   source.c_str()));
    AnsiString result;
    std::size_t start = 3; // 1-based position of the next pair
    do {
        unsigned c = static_cast<unsigned>(HexNumber(source.substr(start - 1, 2)));
        unsigned t = c ^ walk.Next();
        unsigned plain = running < t ? t - running : t + 255 - running;
        result += static_cast<char>(plain);
        running = c;
        start += 2;
    } while (source.size() > start);
    return result;
}
