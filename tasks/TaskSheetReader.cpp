// Reading the first worksheet of an .xlsx workbook: a zip of XML parts. The
// parts are inflated in pieces and handed to expat as they come, so a part's
// size is known (and limited) before it is all in memory.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <unordered_map>

#include <expat.h>
#include <zip.h>

#include "platform/Files.h"
#include "tasks/TaskSheet.h"
#include "tasks/TaskFile.h"

namespace {

constexpr std::uint64_t PartLimit = 64ull << 20; // bytes of one unpacked part
constexpr std::size_t SharedStringLimit = 1u << 22;
constexpr int SheetMaxRow = 1048576;
constexpr int SheetMaxColumn = 16384;

AnsiString A(const char* utf8) { return Utf8ToAnsi(utf8); }

[[noreturn]] void Unreadable(const std::string& reasonUtf8) {
    throw ESheetError(A("请选择EXCEL电子表格!") + "\n" + Utf8ToAnsiLenient(reasonUtf8));
}

std::string_view LocalName(const char* name) {
    const char* colon = std::strrchr(name, ':');
    return colon ? std::string_view(colon + 1) : std::string_view(name);
}

const char* Attribute(const char** attributes, std::string_view wanted) {
    for (const char** a = attributes; *a; a += 2)
        if (std::string_view(a[0]) == wanted) return a[1];
    return nullptr;
}

// r:id and its kin: the relationship id, whatever prefix the namespace got.
const char* RelationshipId(const char** attributes) {
    for (const char** a = attributes; *a; a += 2) {
        const char* colon = std::strchr(a[0], ':');
        if (colon && std::string_view(colon + 1) == "id") return a[1];
    }
    return nullptr;
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// The escape "_xHHHH_" at `i`, or -1.
long EscapeAt(std::string_view s, std::size_t i) {
    if (i + 7 > s.size() || s[i] != '_' || s[i + 1] != 'x' || s[i + 6] != '_') return -1;
    unsigned value = 0;
    auto [end, error] = std::from_chars(s.data() + i + 2, s.data() + i + 6, value, 16);
    if (error != std::errc() || end != s.data() + i + 6) return -1;
    return static_cast<long>(value);
}

// Every text cell stores characters XML cannot carry as "_xHHHH_".
void DecodeCellEscapes(std::string& text) {
    if (text.find("_x") == std::string::npos) return;
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        long c = EscapeAt(text, i);
        if (c < 0) {
            out += text[i++];
            continue;
        }
        i += 7;
        char32_t code = static_cast<char32_t>(c);
        if (code >= 0xD800 && code <= 0xDBFF) {
            const long low = EscapeAt(text, i);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<char32_t>(low) - 0xDC00);
                i += 7;
            } else {
                code = 0xFFFD;
            }
        } else if ((code >= 0xDC00 && code <= 0xDFFF) || code == 0) {
            code = 0xFFFD; // no character of its own; refused later as unsavable
        }
        AppendUtf8(out, code);
    }
    text = std::move(out);
}

// ---------------------------------------------------------------- parts

class TPartHandler {
public:
    virtual ~TPartHandler() = default;
    virtual void Start(std::string_view name, const char** attributes) = 0;
    virtual void End(std::string_view name) = 0;
    virtual void Text(std::string_view) {}
};

struct TParserFree {
    void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
};
struct TZipClose {
    void operator()(zip_t* archive) const { zip_discard(archive); }
};
struct TZipFileClose {
    void operator()(zip_file_t* file) const { zip_fclose(file); }
};

class TWorkbookFile {
public:
    explicit TWorkbookFile(std::string_view bytes) {
        zip_error_t error;
        zip_error_init(&error);
        zip_source_t* source = zip_source_buffer_create(bytes.data(), bytes.size(), 0, &error);
        if (!source) {
            const std::string text = zip_error_strerror(&error);
            zip_error_fini(&error);
            Unreadable(text);
        }
        archive_.reset(zip_open_from_source(source, ZIP_RDONLY | ZIP_CHECKCONS, &error));
        if (!archive_) {
            zip_source_free(source);
            const std::string text = zip_error_strerror(&error);
            zip_error_fini(&error);
            Unreadable(text);
        }
        zip_error_fini(&error);
    }

    bool Has(const std::string& part) const { return zip_name_locate(archive_.get(), part.c_str(), 0) >= 0; }

    // Feeds the part to expat through `handler`. A missing part: false.
    bool Parse(const std::string& part, TPartHandler& handler) const {
        const zip_int64_t index = zip_name_locate(archive_.get(), part.c_str(), 0);
        if (index < 0) return false;
        std::unique_ptr<zip_file_t, TZipFileClose> file(zip_fopen_index(archive_.get(), static_cast<zip_uint64_t>(index), 0));
        if (!file) Unreadable(part + ": " + zip_strerror(archive_.get()));
        std::unique_ptr<XML_ParserStruct, TParserFree> parser(XML_ParserCreate("UTF-8"));
        if (!parser) Unreadable(part + ": out of memory");
        TContext context{&handler, parser.get(), {}};
        XML_SetUserData(parser.get(), &context);
        XML_SetElementHandler(parser.get(), OnStart, OnEnd);
        XML_SetCharacterDataHandler(parser.get(), OnText);
        XML_SetStartDoctypeDeclHandler(parser.get(), OnDoctype);
        std::uint64_t total = 0;
        char buffer[65536];
        for (;;) {
            const zip_int64_t n = zip_fread(file.get(), buffer, sizeof buffer);
            if (n < 0) Unreadable(part + ": " + zip_file_strerror(file.get()));
            total += static_cast<std::uint64_t>(n);
            if (total > PartLimit) Unreadable(part + ": more than 64 MiB unpacked");
            const bool last = n == 0;
            if (XML_Parse(parser.get(), buffer, static_cast<int>(n), last) != XML_STATUS_OK) {
                if (!context.Failure.empty()) Unreadable(part + ": " + context.Failure);
                Unreadable(part + ": " + XML_ErrorString(XML_GetErrorCode(parser.get())) + " at line " +
                           std::to_string(XML_GetCurrentLineNumber(parser.get())));
            }
            if (last) break;
        }
        return true;
    }

private:
    struct TContext {
        TPartHandler* Handler;
        XML_Parser Parser;
        std::string Failure;
    };
    static void Stop(TContext& context, std::string failure) {
        if (context.Failure.empty()) context.Failure = std::move(failure);
        XML_StopParser(context.Parser, XML_FALSE);
    }
    // Handlers must not let an error cross expat's C frames.
    template <class F>
    static void Guarded(void* data, F&& f) {
        auto& context = *static_cast<TContext*>(data);
        if (!context.Failure.empty()) return;
        try {
            f(*context.Handler);
        } catch (const ESheetError& e) {
            Stop(context, AnsiToUtf8Lenient(e.Message));
        } catch (const std::exception& e) {
            Stop(context, e.what());
        }
    }
    static void XMLCALL OnStart(void* data, const XML_Char* name, const XML_Char** attributes) {
        Guarded(data, [&](TPartHandler& h) { h.Start(LocalName(name), attributes); });
    }
    static void XMLCALL OnEnd(void* data, const XML_Char* name) {
        Guarded(data, [&](TPartHandler& h) { h.End(LocalName(name)); });
    }
    static void XMLCALL OnText(void* data, const XML_Char* text, int length) {
        Guarded(data, [&](TPartHandler& h) { h.Text(std::string_view(text, static_cast<std::size_t>(length))); });
    }
    // A document type can declare entities that expand without bound; no
    // workbook part has one.
    static void XMLCALL OnDoctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
        Stop(*static_cast<TContext*>(data), "document type declarations are not allowed");
    }

    std::unique_ptr<zip_t, TZipClose> archive_;
};

// _rels/*.rels: relationship ids and types to targets.
class TRelationships : public TPartHandler {
public:
    struct TTarget {
        std::string Id, Type, Target;
    };
    void Start(std::string_view name, const char** attributes) override {
        if (name != "Relationship") return;
        const char* id = Attribute(attributes, "Id");
        const char* type = Attribute(attributes, "Type");
        const char* target = Attribute(attributes, "Target");
        const char* mode = Attribute(attributes, "TargetMode");
        if (mode && std::string_view(mode) == "External") return;
        if (target) Targets.push_back({id ? id : "", type ? type : "", target});
    }
    void End(std::string_view) override {}

    const TTarget* ById(std::string_view id) const {
        for (const TTarget& t : Targets)
            if (t.Id == id) return &t;
        return nullptr;
    }
    const TTarget* ByType(std::string_view suffix) const {
        for (const TTarget& t : Targets)
            if (t.Type.size() >= suffix.size() && t.Type.compare(t.Type.size() - suffix.size(), suffix.size(), suffix) == 0)
                return &t;
        return nullptr;
    }
    std::vector<TTarget> Targets;
};

// A relationship target as a part name: relative to the source's folder, or
// absolute from the package root.
std::string ResolvePart(const std::string& folder, const std::string& target) {
    std::vector<std::string> segments;
    std::string path = target.starts_with("/") ? target.substr(1) : folder + target;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        const std::string segment = path.substr(start, end - start);
        if (segment == "..") {
            if (!segments.empty()) segments.pop_back();
        } else if (!segment.empty() && segment != ".") {
            segments.push_back(segment);
        }
        start = end + 1;
    }
    std::string out;
    for (const std::string& s : segments) out += (out.empty() ? "" : "/") + s;
    return out;
}

std::string FolderOf(const std::string& part) {
    const std::size_t slash = part.rfind('/');
    return slash == std::string::npos ? std::string() : part.substr(0, slash + 1);
}

std::string RelsOf(const std::string& part) {
    const std::size_t slash = part.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : part.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? part : part.substr(slash + 1);
    return folder + "_rels/" + name + ".rels";
}

// xl/workbook.xml: the relationship id of the first sheet.
class TWorkbookPart : public TPartHandler {
public:
    void Start(std::string_view name, const char** attributes) override {
        if (name != "sheet" || Found) return;
        Found = true;
        if (const char* id = RelationshipId(attributes)) FirstSheetId = id;
    }
    void End(std::string_view) override {}
    bool Found = false;
    std::string FirstSheetId;
};

// Text runs of a string item (<si> or <is>): plain <t>, rich-text runs, but
// not the phonetic guide (<rPh>).
class TStringCollector {
public:
    void Start(std::string_view name) {
        if (name == "rPh") ++phonetic_;
        else if (name == "t" && !phonetic_) inText_ = true;
    }
    void End(std::string_view name) {
        if (name == "rPh" && phonetic_) --phonetic_;
        else if (name == "t") inText_ = false;
    }
    void Text(std::string_view text) {
        if (inText_) Value += text;
    }
    void Reset() {
        Value.clear();
        inText_ = false;
        phonetic_ = 0;
    }
    std::string Value;

private:
    bool inText_ = false;
    int phonetic_ = 0;
};

class TSharedStrings : public TPartHandler {
public:
    void Start(std::string_view name, const char**) override {
        if (name == "si") {
            inItem_ = true;
            collector_.Reset();
        } else if (inItem_) {
            collector_.Start(name);
        }
    }
    void End(std::string_view name) override {
        if (name == "si" && inItem_) {
            inItem_ = false;
            if (Strings.size() >= SharedStringLimit) throw ESheetError("too many shared strings");
            DecodeCellEscapes(collector_.Value);
            Strings.push_back(std::move(collector_.Value));
            collector_.Reset();
        } else if (inItem_) {
            collector_.End(name);
        }
    }
    void Text(std::string_view text) override {
        if (inItem_) collector_.Text(text);
    }
    std::vector<std::string> Strings;

private:
    bool inItem_ = false;
    TStringCollector collector_;
};

class TStyles : public TPartHandler {
public:
    void Start(std::string_view name, const char** attributes) override {
        if (name == "numFmt") {
            const char* id = Attribute(attributes, "numFmtId");
            const char* code = Attribute(attributes, "formatCode");
            if (id && code) custom_[std::atoi(id)] = IsDateFormatCode(code);
        } else if (name == "cellXfs") {
            inCellXfs_ = true;
        } else if (name == "xf" && inCellXfs_) {
            const char* id = Attribute(attributes, "numFmtId");
            formats_.push_back(id ? std::atoi(id) : 0);
        }
    }
    void End(std::string_view name) override {
        if (name == "cellXfs") inCellXfs_ = false;
    }
    bool IsDateStyle(int style) const {
        if (style < 0 || static_cast<std::size_t>(style) >= formats_.size()) return false;
        const int id = formats_[static_cast<std::size_t>(style)];
        if (const auto found = custom_.find(id); found != custom_.end()) return found->second;
        return IsBuiltInDateFormat(id);
    }

private:
    bool inCellXfs_ = false;
    std::vector<int> formats_;
    std::unordered_map<int, bool> custom_;
};

int ParseCount(const char* text, int max) {
    if (!text) return -1;
    int value = 0;
    const char* end = text + std::strlen(text);
    auto [p, error] = std::from_chars(text, end, value);
    if (error != std::errc() || p != end || value < 1 || value > max) return -1;
    return value;
}

// "B3" to row 3, column 1 (0-based).
bool ParseReference(const char* reference, int& row, int& column) {
    const char* p = reference;
    int col = 0;
    while (*p >= 'A' && *p <= 'Z') {
        col = col * 26 + (*p - 'A' + 1);
        if (col > SheetMaxColumn) return false;
        ++p;
    }
    if (p == reference) return false;
    const int r = ParseCount(p, SheetMaxRow);
    if (r < 0) return false;
    row = r;
    column = col - 1;
    return true;
}

// Numbers as a text box would show them: whole numbers plainly, others in the
// shortest form that reads back as the same double.
std::string NumberText(double value) {
    if (value == std::floor(value) && std::fabs(value) < 1e15) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%lld", static_cast<long long>(value));
        return buffer;
    }
    char buffer[64];
    auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
    return error == std::errc() ? std::string(buffer, end) : std::string();
}

class TSheetPart : public TPartHandler {
public:
    TSheetPart(TWorksheet& sheet, const std::vector<std::string>& strings, const TStyles& styles, int columns)
        : sheet_(sheet), strings_(strings), styles_(styles), columns_(columns) {}

    void Start(std::string_view name, const char** attributes) override {
        if (name == "sheetData") {
            inData_ = true;
        } else if (!inData_) {
            return;
        } else if (name == "row") {
            const char* r = Attribute(attributes, "r");
            row_ = r ? ParseCount(r, SheetMaxRow) : row_ + 1;
            if (row_ < 1 || row_ > SheetMaxRow) throw ESheetError(std::string("bad row number ") + (r ? r : ""));
            column_ = -1;
        } else if (name == "c") {
            const char* r = Attribute(attributes, "r");
            if (r) {
                int row = 0;
                if (!ParseReference(r, row, column_)) throw ESheetError(std::string("bad cell reference ") + r);
            } else if (++column_ >= SheetMaxColumn) {
                throw ESheetError("too many cells in row " + std::to_string(row_));
            }
            const char* t = Attribute(attributes, "t");
            type_ = t ? t : "n";
            const char* s = Attribute(attributes, "s");
            style_ = s ? std::atoi(s) : 0;
            inCell_ = true;
            hasFormula_ = hasValue_ = false;
            value_.clear();
            inline_.Reset();
            inInline_ = inValue_ = false;
        } else if (inCell_) {
            if (name == "v") inValue_ = hasValue_ = true;
            else if (name == "f") hasFormula_ = true;
            else if (name == "is") inInline_ = true;
            else if (inInline_) inline_.Start(name);
        }
    }

    void End(std::string_view name) override {
        if (name == "sheetData") {
            inData_ = false;
        } else if (!inCell_) {
            return;
        } else if (name == "c") {
            inCell_ = false;
            if (row_ < 1) row_ = 1; // a cell outside any row element
            Keep(MakeCell());
        } else if (name == "v") {
            inValue_ = false;
        } else if (name == "is") {
            inInline_ = false;
        } else if (inInline_) {
            inline_.End(name);
        }
    }

    void Text(std::string_view text) override {
        if (!inCell_) return;
        if (inValue_) {
            if (value_.size() + text.size() > PartLimit) throw ESheetError("cell value too long");
            value_ += text;
        } else if (inInline_) {
            inline_.Text(text);
        }
    }

private:
    TSheetCell MakeCell() {
        TSheetCell cell;
        auto text = [&](std::string value) {
            DecodeCellEscapes(value);
            cell.Kind = TSheetCellKind::Text;
            cell.Text = std::move(value);
        };
        if (type_ == "inlineStr") {
            text(inline_.Value);
            return cell;
        }
        if (!hasValue_) {
            // A formula Excel never calculated has no value to read.
            if (hasFormula_) cell.Kind = TSheetCellKind::Unreadable;
            return cell;
        }
        cell.Kind = TSheetCellKind::Unreadable;
        if (type_ == "s") {
            std::size_t index = 0;
            const std::string_view v = Trim(value_);
            auto [p, error] = std::from_chars(v.data(), v.data() + v.size(), index);
            if (error == std::errc() && p == v.data() + v.size() && index < strings_.size()) {
                cell.Kind = TSheetCellKind::Text;
                cell.Text = strings_[index];
            }
        } else if (type_ == "str") {
            text(value_);
        } else if (type_ == "b") {
            const std::string_view v = Trim(value_);
            if (v == "1" || v == "0") {
                cell.Kind = TSheetCellKind::Text;
                cell.Text = v == "1" ? "True" : "False";
            }
        } else if (type_ == "n") {
            const std::string_view v = Trim(value_);
            double number = 0;
            auto [p, error] = std::from_chars(v.data(), v.data() + v.size(), number);
            if (!v.empty() && error == std::errc() && p == v.data() + v.size() && std::isfinite(number) &&
                !styles_.IsDateStyle(style_)) {
                cell.Kind = TSheetCellKind::Text;
                cell.Text = NumberText(number);
            }
        }
        // "e" (error values such as #N/A), "d" (dates) and unknown types stay unreadable.
        return cell;
    }

    void Keep(TSheetCell cell) {
        if (row_ <= SheetLastRecordRow) {
            if (column_ >= columns_) return;
            std::vector<TSheetCell>& cells = sheet_.Rows[row_];
            if (cells.size() <= static_cast<std::size_t>(column_)) cells.resize(static_cast<std::size_t>(column_) + 1);
            cells[static_cast<std::size_t>(column_)] = std::move(cell);
        } else if (column_ == 0 && !sheet_.FirstRowPastLimit &&
                   (cell.Kind == TSheetCellKind::Unreadable || !Trim(cell.Text).empty())) {
            sheet_.FirstRowPastLimit = row_;
        }
    }

    TWorksheet& sheet_;
    const std::vector<std::string>& strings_;
    const TStyles& styles_;
    int columns_;
    bool inData_ = false, inCell_ = false, inValue_ = false, inInline_ = false;
    bool hasFormula_ = false, hasValue_ = false;
    int row_ = 0, column_ = -1, style_ = 0;
    std::string type_, value_;
    TStringCollector inline_;
};

} // namespace

bool IsBuiltInDateFormat(int id) {
    return (id >= 14 && id <= 22) || (id >= 27 && id <= 36) || (id >= 45 && id <= 47) || (id >= 50 && id <= 58);
}

bool IsDateFormatCode(std::string_view code) {
    for (std::size_t i = 0; i < code.size(); ++i) {
        const char c = code[i];
        if (c == '"') { // quoted text
            const std::size_t close = code.find('"', i + 1);
            if (close == std::string_view::npos) return false;
            i = close;
        } else if (c == '\\' || c == '_' || c == '*') { // the next character is literal or padding
            ++i;
        } else if (c == '[') { // colour, condition or locale, but [h], [mm], [ss] are elapsed times
            const std::size_t close = code.find(']', i + 1);
            if (close == std::string_view::npos) return false;
            const std::string_view inner = code.substr(i + 1, close - i - 1);
            if (!inner.empty() && std::all_of(inner.begin(), inner.end(), [](char x) {
                    return x == 'h' || x == 'H' || x == 'm' || x == 'M' || x == 's' || x == 'S';
                }))
                return true;
            i = close;
        } else {
            switch (c) {
            case 'y': case 'Y': case 'm': case 'M': case 'd': case 'D': case 'h': case 'H': case 's': case 'S':
                return true;
            default: break;
            }
        }
    }
    return false;
}

TWorksheet ReadWorksheetBytes(std::string_view bytes, int columns) {
    static const unsigned char ole2[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    if (bytes.size() >= sizeof ole2 && std::memcmp(bytes.data(), ole2, sizeof ole2) == 0)
        throw ESheetError(A("不能读取.xls或加密的工作簿，请另存为.xlsx后导入"));

    TWorkbookFile file(bytes);
    TRelationships package;
    file.Parse("_rels/.rels", package);
    std::string workbookPart = "xl/workbook.xml";
    if (const auto* office = package.ByType("/officeDocument")) workbookPart = ResolvePart("", office->Target);

    TWorkbookPart workbook;
    if (!file.Parse(workbookPart, workbook)) Unreadable("no workbook part " + workbookPart);
    if (!workbook.Found) Unreadable(workbookPart + ": no worksheet");
    TRelationships parts;
    file.Parse(RelsOf(workbookPart), parts);
    const std::string folder = FolderOf(workbookPart);

    std::string sheetPart;
    if (const auto* sheet = parts.ById(workbook.FirstSheetId)) sheetPart = ResolvePart(folder, sheet->Target);
    else Unreadable(workbookPart + ": the first sheet has no part");

    TSharedStrings strings;
    if (const auto* shared = parts.ByType("/sharedStrings")) file.Parse(ResolvePart(folder, shared->Target), strings);
    TStyles styles;
    if (const auto* style = parts.ByType("/styles")) file.Parse(ResolvePart(folder, style->Target), styles);

    TWorksheet result;
    TSheetPart sheet(result, strings.Strings, styles, columns);
    if (!file.Parse(sheetPart, sheet)) Unreadable("no worksheet part " + sheetPart);
    return result;
}

TWorksheet ReadFirstWorksheet(const std::string& path, int columns) {
    std::string bytes;
    if (!ReadWholeFile(path, bytes))
        throw EFOpenError(Format("Cannot open file \"%s\". %s", Utf8ToAnsiLenient(path).c_str(),
                                Utf8ToAnsiLenient(ErrnoText(errno)).c_str()));
    return ReadWorksheetBytes(bytes, columns);
}
