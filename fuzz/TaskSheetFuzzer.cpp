// libFuzzer target over the workbook reader and the row import: any bytes must
// read or fail with a clear error, never crash, hang or allocate without bound,
// and a refused import must leave the table as it was.
//
// Inflated zip parts carry a checksum, so mutated bytes rarely get past the
// zip layer. An input starting with "XLSX\n" is therefore taken as parts
// separated by "\n--\n" (sheet, shared strings, styles, workbook), packed here
// into a valid stored zip, so the mutations reach the XML readers.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <zip.h>

#include "platform/Exception.h"
#include "tasks/TaskSheet.h"

namespace {

const char* const WorkbookRels =
    "<Relationships><Relationship Id=\"r1\" Type=\"x/worksheet\" Target=\"worksheets/sheet1.xml\"/>"
    "<Relationship Id=\"r2\" Type=\"x/sharedStrings\" Target=\"sharedStrings.xml\"/>"
    "<Relationship Id=\"r3\" Type=\"x/styles\" Target=\"styles.xml\"/></Relationships>";
const char* const DefaultWorkbook = "<workbook><sheets><sheet name=\"a\" sheetId=\"1\" r:id=\"r1\"/></sheets></workbook>";

std::string Pack(std::string_view input) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = input.find("\n--\n", start);
        parts.emplace_back(input.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos || parts.size() == 4) break;
        start = end + 4;
    }
    parts.resize(4);
    if (parts[3].empty()) parts[3] = DefaultWorkbook;

    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* buffer = zip_source_buffer_create(nullptr, 0, 0, &error);
    zip_error_fini(&error);
    if (!buffer) return {};
    zip_source_keep(buffer);
    zip_t* archive = zip_open_from_source(buffer, ZIP_TRUNCATE, nullptr);
    if (!archive) {
        zip_source_free(buffer);
        return {};
    }
    const std::pair<const char*, std::string> entries[] = {
        {"xl/worksheets/sheet1.xml", parts[0]}, {"xl/sharedStrings.xml", parts[1]}, {"xl/styles.xml", parts[2]},
        {"xl/workbook.xml", parts[3]},          {"xl/_rels/workbook.xml.rels", WorkbookRels}};
    for (const auto& [name, content] : entries) {
        zip_source_t* source = zip_source_buffer(archive, content.data(), content.size(), 0);
        if (!source) continue;
        const zip_int64_t index = zip_file_add(archive, name, source, ZIP_FL_OVERWRITE);
        if (index < 0) zip_source_free(source);
        else zip_set_file_compression(archive, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0);
    }
    std::string packed;
    if (zip_close(archive) == 0 && zip_source_open(buffer) == 0) {
        char chunk[65536];
        zip_int64_t n;
        while ((n = zip_source_read(buffer, chunk, sizeof chunk)) > 0) packed.append(chunk, static_cast<std::size_t>(n));
        zip_source_close(buffer);
    } else {
        zip_discard(archive);
    }
    zip_source_free(buffer);
    return packed;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::string packed;
    if (bytes.starts_with("XLSX\n")) {
        packed = Pack(bytes.substr(5));
        bytes = packed;
    }
    TWorksheet sheet;
    try {
        sheet = ReadWorksheetBytes(bytes);
    } catch (const Exception&) {
        return 0;
    }
    TTaskTable table;
    table.BeginNewRecord();
    table.FieldNamed("num").SetAsInteger(1);
    table.StoreRecord();
    const AnsiString before = table.Snapshot();
    try {
        const TSheetImport import = AppendSheetRows(table, sheet, "ID");
        (void)TooCloseMessage(table, import);
        if (table.CountRecords() != 1 + import.Appended) __builtin_trap();
    } catch (const Exception&) {
        if (table.Snapshot() != before) __builtin_trap(); // a refusal changes nothing
    }
    return 0;
}
