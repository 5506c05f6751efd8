// libFuzzer target over the task file loader: any bytes must load or fail with
// a clear error, never crash, hang or allocate without bound. What loads must
// survive a save and a reload unchanged.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/Exception.h"
#include "tasks/TaskTable.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    TTaskTable table;
    try {
        table.LoadFromPacket(bytes);
    } catch (const Exception&) {
        if (table.IsOpen()) __builtin_trap(); // a failed load leaves the table closed
        return 0;
    }
    // Read every field of every record, calculated ones included.
    for (table.GoFirst(); !table.IsPastEnd(); table.GoNext())
        for (int i = 0; i < table.FieldTotal(); ++i) {
            TTaskField& field = table.FieldAtIndex(i);
            (void)field.AsString();
            (void)field.IsNull();
        }
    AnsiString saved = table.Snapshot();
    TTaskTable again;
    again.LoadFromPacket(saved); // what we wrote must load
    if (again.Snapshot() != saved || again.CountRecords() != table.CountRecords()) __builtin_trap();
    return 0;
}
