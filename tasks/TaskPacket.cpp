// Data packet codec.
//
// Record encoding (ours; the header and descriptors are fixed by the file
// format): the records follow the closing zero word, as many as the header's
// record count says, each one value per column in descriptor order. A value is
// a 16-bit little-endian length followed by that many bytes; the length 0xFFFF
// marks an empty (null) value and has no bytes. An integer value is 4 bytes
// (little-endian, two's complement), a boolean 2 bytes (0 false, 1 true), a
// text its CP936 bytes (at most the column's WIDTH). The packet ends right
// after the last record.
#include "tasks/TaskPacket.h"

#include <limits>

namespace {

constexpr unsigned char Signature[4] = {0x96, 0x19, 0xE0, 0xBD};
constexpr std::size_t HeaderSize = 24;
constexpr std::uint16_t NullLength = 0xFFFF;

void Put16(AnsiString& out, std::uint16_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>(v >> 8));
}
void Put32(AnsiString& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

[[noreturn]] void Corrupt(const char* reason) { throw EDBClient(Format("Invalid data packet: %s", reason)); }

// Bounds-checked reading: every read names what was cut short.
class TReader {
public:
    explicit TReader(std::string_view bytes) : bytes_(bytes) {}
    std::size_t Pos() const { return pos_; }
    std::size_t Left() const { return bytes_.size() - pos_; }
    void Need(std::size_t n, const char* what) const {
        if (Left() < n) Corrupt(what);
    }
    std::uint8_t U8(const char* what) {
        Need(1, what);
        return static_cast<std::uint8_t>(bytes_[pos_++]);
    }
    std::uint16_t U16(const char* what) {
        Need(2, what);
        auto v = static_cast<std::uint16_t>(Byte(0) | (Byte(1) << 8));
        pos_ += 2;
        return v;
    }
    std::uint32_t U32(const char* what) {
        Need(4, what);
        std::uint32_t v = Byte(0) | (Byte(1) << 8) | (Byte(2) << 16) | (static_cast<std::uint32_t>(Byte(3)) << 24);
        pos_ += 4;
        return v;
    }
    std::string_view Bytes(std::size_t n, const char* what) {
        Need(n, what);
        std::string_view v = bytes_.substr(pos_, n);
        pos_ += n;
        return v;
    }
    void Skip(std::size_t n, const char* what) { Bytes(n, what); }

private:
    std::uint32_t Byte(std::size_t i) const { return static_cast<unsigned char>(bytes_[pos_ + i]); }
    std::string_view bytes_;
    std::size_t pos_ = 0;
};

TFieldValue DecodeValue(const TPacketColumn& column, std::string_view data) {
    switch (column.TypeCode) {
    case PacketTypeInteger: {
        if (data.size() != 4) Corrupt("integer value of wrong length");
        std::uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(data[i]);
        return static_cast<std::int32_t>(v);
    }
    case PacketTypeBoolean:
        if (data.size() != 2) Corrupt("boolean value of wrong length");
        return data[0] != 0 || data[1] != 0;
    case PacketTypeText:
        if (column.Width >= 0 && data.size() > static_cast<std::size_t>(column.Width)) Corrupt("text longer than its column");
        return AnsiString(data);
    default: // a column of another engine's type: kept as bytes, bound to nothing
        return AnsiString(data);
    }
}

void EncodeValue(AnsiString& out, const TFieldValue& value) {
    if (std::holds_alternative<std::monostate>(value)) {
        Put16(out, NullLength);
    } else if (const auto* i = std::get_if<std::int32_t>(&value)) {
        Put16(out, 4);
        Put32(out, static_cast<std::uint32_t>(*i));
    } else if (const auto* b = std::get_if<bool>(&value)) {
        Put16(out, 2);
        Put16(out, *b ? 1 : 0);
    } else {
        const AnsiString& s = std::get<AnsiString>(value);
        // Field widths keep texts far below this; a longer one cannot be written.
        if (s.size() >= NullLength) throw EDBClient("Invalid data packet: text value too long");
        Put16(out, static_cast<std::uint16_t>(s.size()));
        out += s;
    }
}

} // namespace

TPacketColumn PacketColumnOf(const TTaskField& field) {
    TPacketColumn column;
    column.Name = field.Name();
    switch (field.DataType()) {
    case TFieldType::Integer:
        column.FieldSize = 4;
        column.TypeCode = PacketTypeInteger;
        break;
    case TFieldType::Boolean:
        column.FieldSize = 2;
        column.TypeCode = PacketTypeBoolean;
        break;
    case TFieldType::String:
        column.FieldSize = 1;
        column.TypeCode = PacketTypeText;
        column.Width = field.Size();
        break;
    }
    return column;
}

AnsiString PacketTypeName(std::uint16_t typeCode) {
    switch (typeCode) {
    case PacketTypeInteger: return "Integer";
    case PacketTypeBoolean: return "Boolean";
    case PacketTypeText: return "String";
    default: return Format("Unknown (%u)", static_cast<unsigned>(typeCode));
    }
}

AnsiString EncodePacket(const TPacket& packet) {
    if (packet.Columns.size() > std::numeric_limits<std::uint16_t>::max()) throw EDBClient("Invalid data packet: too many columns");
    AnsiString out(reinterpret_cast<const char*>(Signature), 4);
    Put32(out, 1);
    Put32(out, HeaderSize);
    Put16(out, static_cast<std::uint16_t>(packet.Columns.size()));
    Put32(out, static_cast<std::uint32_t>(packet.Rows.size()));
    Put32(out, 3);
    Put16(out, 0); // patched below: end of the descriptors and the closing word
    for (const TPacketColumn& column : packet.Columns) {
        if (column.Name.empty() || column.Name.size() > 255) throw EDBClient("Invalid data packet: column name length");
        out.push_back(static_cast<char>(column.Name.size()));
        out += column.Name;
        Put16(out, column.FieldSize);
        Put16(out, column.TypeCode);
        Put16(out, 0); // attributes
        if (column.Width >= 0) {
            Put16(out, 1);
            out.push_back(5);
            out += "WIDTH";
            Put16(out, 2); // value size
            Put16(out, 2); // value type: unsigned integer
            Put16(out, static_cast<std::uint16_t>(column.Width));
        } else {
            Put16(out, 0);
        }
    }
    Put16(out, 0);
    auto end = static_cast<std::uint16_t>(out.size() & 0xFFFF);
    out[22] = static_cast<char>(end & 0xFF);
    out[23] = static_cast<char>(end >> 8);
    for (const auto& row : packet.Rows) {
        if (row.size() != packet.Columns.size()) throw EDBClient("Invalid data packet: row of wrong width");
        for (const TFieldValue& value : row) EncodeValue(out, value);
    }
    return out;
}

TPacket DecodePacket(std::string_view bytes) {
    if (bytes.empty()) throw EDatabaseError("Missing data provider or data packet");
    TReader in(bytes);
    std::string_view signature = in.Bytes(4, "header cut short");
    if (signature != std::string_view(reinterpret_cast<const char*>(Signature), 4)) Corrupt("not a data packet (wrong signature)");
    in.U32("header cut short");
    std::uint32_t headerSize = in.U32("header cut short");
    std::uint16_t columnCount = in.U16("header cut short");
    std::uint32_t rowCount = in.U32("header cut short");
    in.U32("header cut short");
    std::uint16_t descriptorEnd = in.U16("header cut short");
    if (headerSize < HeaderSize || headerSize > bytes.size()) Corrupt("wrong header size");
    in.Skip(headerSize - HeaderSize, "header cut short");

    TPacket packet;
    // Each descriptor takes at least 9 bytes, so a count beyond the input is a lie.
    if (static_cast<std::size_t>(columnCount) * 9 > in.Left()) Corrupt("column descriptors cut short");
    packet.Columns.reserve(columnCount);
    for (std::uint16_t c = 0; c < columnCount; ++c) {
        TPacketColumn column;
        std::uint8_t nameLength = in.U8("column descriptor cut short");
        if (nameLength == 0) Corrupt("column without a name");
        column.Name = AnsiString(in.Bytes(nameLength, "column descriptor cut short"));
        column.FieldSize = in.U16("column descriptor cut short");
        column.TypeCode = in.U16("column descriptor cut short");
        in.U16("column descriptor cut short"); // attributes
        std::uint16_t propertyCount = in.U16("column descriptor cut short");
        for (std::uint16_t p = 0; p < propertyCount; ++p) {
            std::uint8_t propertyNameLength = in.U8("column property cut short");
            std::string_view propertyName = in.Bytes(propertyNameLength, "column property cut short");
            std::uint16_t valueSize = in.U16("column property cut short");
            in.U16("column property cut short"); // value type
            std::string_view value = in.Bytes(valueSize, "column property cut short");
            if (SameText(propertyName, "WIDTH")) {
                if (valueSize != 2) Corrupt("WIDTH property of wrong size");
                column.Width = static_cast<unsigned char>(value[0]) | (static_cast<unsigned char>(value[1]) << 8);
            }
        }
        bool sizeOk = column.TypeCode == PacketTypeInteger   ? column.FieldSize == 4
                      : column.TypeCode == PacketTypeBoolean ? column.FieldSize == 2
                      : column.TypeCode == PacketTypeText    ? column.FieldSize == 1
                                                             : true;
        if (!sizeOk) Corrupt("field size does not fit the column type");
        packet.Columns.push_back(std::move(column));
    }
    if (in.U16("closing word missing") != 0) Corrupt("closing word is not zero");
    if ((in.Pos() & 0xFFFF) != descriptorEnd) Corrupt("descriptor size in the header does not match");

    // Every value takes at least its 2-byte length, so a record count beyond
    // the input is refused before anything is allocated for it.
    if (rowCount > 0 && columnCount == 0) Corrupt("records without columns");
    if (static_cast<std::uint64_t>(rowCount) * columnCount * 2 > in.Left()) Corrupt("records cut short");
    packet.Rows.reserve(rowCount);
    for (std::uint32_t r = 0; r < rowCount; ++r) {
        std::vector<TFieldValue> row;
        row.reserve(columnCount);
        for (const TPacketColumn& column : packet.Columns) {
            std::uint16_t length = in.U16("record cut short");
            if (length == NullLength) {
                row.emplace_back(std::monostate{});
            } else {
                row.push_back(DecodeValue(column, in.Bytes(length, "record cut short")));
            }
        }
        packet.Rows.push_back(std::move(row));
    }
    if (in.Left() != 0) Corrupt("bytes after the last record");
    return packet;
}
