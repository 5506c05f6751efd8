#pragma once
// The binary data packet that the task file holds and that Snapshot hands to
// the copy cache: a 24-byte header, one descriptor per column, a closing zero
// word, then the records. Small and pure so that tests can check its bytes.
#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/AnsiString.h"
#include "tasks/TaskTable.h"

// Column type codes of a descriptor.
constexpr std::uint16_t PacketTypeInteger = 1;
constexpr std::uint16_t PacketTypeBoolean = 3;
constexpr std::uint16_t PacketTypeText = 0x49; // 0x40 varying length | 9 text

struct TPacketColumn {
    AnsiString Name;
    std::uint16_t FieldSize = 0; // 4 integer, 2 boolean, 1 text
    std::uint16_t TypeCode = 0;
    int Width = -1; // the WIDTH property of a text column, -1 when absent
};

struct TPacket {
    std::vector<TPacketColumn> Columns;
    // One value per column; std::monostate is an empty value.
    std::vector<std::vector<TFieldValue>> Rows;
};

// The descriptor of a table field as a column.
TPacketColumn PacketColumnOf(const TTaskField& field);

AnsiString EncodePacket(const TPacket& packet);
// Raises EDatabaseError "Missing data provider or data packet" for no bytes and
// EDBClient with the reason for anything that is not a whole, valid packet.
TPacket DecodePacket(std::string_view bytes);

// Name of a column type in type-mismatch errors: "Integer", "Boolean", "String".
AnsiString PacketTypeName(std::uint16_t typeCode);
