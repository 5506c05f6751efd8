#include "tasks/TaskTable.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "tasks/TaskPacket.h"

namespace {

const char* const ClosedText = "Cannot perform this operation on a closed dataset";

struct TFieldDesign {
    const char* Name;
    TFieldKind Kind;
    TFieldType Type;
    int Size;
    const char* LabelUtf8;
    int DisplayWidth;
    bool Visible;
};

constexpr TFieldKind D = TFieldKind::Data;
constexpr TFieldKind C = TFieldKind::Calculated;
constexpr TFieldType I = TFieldType::Integer;
constexpr TFieldType B = TFieldType::Boolean;
constexpr TFieldType S = TFieldType::String;

// The task record in field order (grid, sheet, paste and import order).
const TFieldDesign TaskFields[] = {
    {"num", D, I, 0, "序号", 4, true},
    {"taskName", D, S, 50, "任务名称", 12, true},
    {"RunTime1", C, S, 20, "备1", 5, true},
    {"Bak2Enabled", D, B, 0, "启用2", 5, true},
    {"RunTime2", C, S, 20, "备2", 5, true},
    {"RunHour", D, I, 0, "执行时间(时)", 14, false},
    {"RunMinute", D, I, 0, "执行时间(分)", 12, false},
    {"RunMinute2", D, I, 0, "执行时间2(分)", 12, false},
    {"RunHour2", D, I, 0, "执行时间2(时)", 14, false},
    {"BakDBName", D, S, 100, "待备份数据库", 14, true},
    {"BakFilePath", D, S, 50, "目标路径", 10, true},
    {"ToMailAddr", D, S, 50, "备份邮箱地址", 13, true},
    {"RarTimeAfter", D, I, 0, "压缩开始时间(秒)", 10, false},
    {"SendTimeAfter", D, I, 0, "邮件发送时间(秒)", 10, false},
    {"MailTopic", D, S, 200, "邮件主题格式", 12, true},
    {"ServerName", D, S, 50, "服务器名", 13, true},
    {"DBName", D, S, 20, "数据库名", 20, true},
    {"UserName", D, S, 20, "用户名", 8, true},
    {"Password", D, S, 20, "密码", 5, true},
    {"CcMailAddr", D, S, 50, "抄送邮箱地址", 20, true},
};

TFieldDef MakeDef(const TFieldDesign& design) {
    return TFieldDef{design.Name, design.Kind, design.Type, design.Size, Utf8ToAnsi(design.LabelUtf8), design.DisplayWidth, design.Visible};
}

// Decimal integer as the program's conversions take it: leading blanks, an
// optional sign, digits, nothing after them, within 32 bits.
bool ParseInteger(std::string_view text, std::int32_t& value) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    std::string digits(text.substr(i));
    if (digits.empty()) return false;
    std::size_t start = (digits[0] == '+' || digits[0] == '-') ? 1 : 0;
    if (start == digits.size()) return false;
    for (std::size_t k = start; k < digits.size(); ++k)
        if (digits[k] < '0' || digits[k] > '9') return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(digits.c_str(), &end, 10);
    if (errno == ERANGE || v < INT32_MIN || v > INT32_MAX) return false;
    value = static_cast<std::int32_t>(v);
    return true;
}

// "True"/"False" in any letter case, or a number where anything but 0 is true.
bool ParseBoolean(std::string_view text, bool& value) {
    if (SameText(text, "True")) return value = true, true;
    if (SameText(text, "False")) return value = false, true;
    std::int32_t n = 0;
    if (ParseInteger(text, n)) return value = n != 0, true;
    std::string s(Trim(text));
    if (s.empty()) return false;
    char* end = nullptr;
    double d = std::strtod(s.c_str(), &end);
    if (end != s.c_str() + s.size()) return false;
    value = d != 0;
    return true;
}

AnsiString IntegerText(std::int32_t v) { return std::to_string(v); }

} // namespace

// ---------------------------------------------------------------- TTaskField

TTaskField::TTaskField(TTaskTable& table, int index, TFieldDef def) : table_(&table), index_(index), def_(std::move(def)) {}

TFieldValue TTaskField::Value() const {
    table_->CheckActive();
    const TTaskTable::TRecord* record = table_->ActiveRecord();
    if (!record) return std::monostate{};
    if (IsCalculated()) return table_->CalculatedValue(*this, *record);
    return (*record)[index_];
}

bool TTaskField::IsNull() const { return std::holds_alternative<std::monostate>(Value()); }

AnsiString TTaskField::AsString() const {
    TFieldValue v = Value();
    if (const auto* i = std::get_if<std::int32_t>(&v)) return IntegerText(*i);
    if (const auto* b = std::get_if<bool>(&v)) return *b ? "True" : "False";
    if (const auto* s = std::get_if<AnsiString>(&v)) return *s;
    return AnsiString();
}

std::int32_t TTaskField::AsInteger() const {
    TFieldValue v = Value();
    if (const auto* i = std::get_if<std::int32_t>(&v)) return *i;
    if (const auto* b = std::get_if<bool>(&v)) return *b ? 1 : 0;
    if (const auto* s = std::get_if<AnsiString>(&v)) {
        std::int32_t n = 0;
        if (!ParseInteger(*s, n)) throw EConvertError(Format("'%s' is not a valid integer value", s->c_str()));
        return n;
    }
    return 0;
}

bool TTaskField::AsBoolean() const {
    TFieldValue v = Value();
    if (const auto* i = std::get_if<std::int32_t>(&v)) return *i != 0;
    if (const auto* b = std::get_if<bool>(&v)) return *b;
    if (const auto* s = std::get_if<AnsiString>(&v)) {
        bool r = false;
        if (!ParseBoolean(*s, r)) throw EConvertError(Format("'%s' is not a valid boolean value", s->c_str()));
        return r;
    }
    return false;
}

TFieldValue TTaskField::Convert(const TFieldValue& value) const {
    if (std::holds_alternative<std::monostate>(value)) return value;
    switch (def_.DataType) {
    case TFieldType::Integer:
        if (const auto* b = std::get_if<bool>(&value)) return std::int32_t(*b ? 1 : 0);
        if (const auto* s = std::get_if<AnsiString>(&value)) {
            if (s->empty()) return std::monostate{};
            std::int32_t n = 0;
            if (!ParseInteger(*s, n))
                throw EConvertError(Format("'%s' is not a valid integer value for field '%s'", s->c_str(), def_.Label.c_str()));
            return n;
        }
        return value;
    case TFieldType::Boolean:
        if (const auto* i = std::get_if<std::int32_t>(&value)) return *i != 0;
        if (const auto* s = std::get_if<AnsiString>(&value)) {
            // An empty cell (an empty boolean exported) reads back as empty.
            if (Trim(*s).empty()) return std::monostate{};
            bool b = false;
            if (!ParseBoolean(*s, b))
                throw EConvertError(Format("'%s' is not a valid boolean value for field '%s'", s->c_str(), def_.Label.c_str()));
            return b;
        }
        return value;
    case TFieldType::String: {
        AnsiString text;
        if (const auto* i = std::get_if<std::int32_t>(&value)) text = IntegerText(*i);
        else if (const auto* b = std::get_if<bool>(&value)) text = *b ? "True" : "False";
        else text = std::get<AnsiString>(value);
        // An empty text is an empty field, so that it reads back as it was written.
        if (text.empty()) return std::monostate{};
        return TruncateToWidth(text, static_cast<std::size_t>(def_.Size));
    }
    }
    return value;
}

void TTaskField::SetValue(const TFieldValue& value) {
    TTaskTable::TRecord* record = table_->EditBuffer();
    TFieldValue converted = Convert(value); // may raise: the record stays as it was
    // A calculated field is computed from the others whenever it is read.
    if (!IsCalculated()) (*record)[index_] = std::move(converted);
    table_->modified_ = true;
}

void TTaskField::SetAsString(std::string_view text) { SetValue(AnsiString(text)); }
void TTaskField::SetAsInteger(std::int32_t value) { SetValue(value); }
void TTaskField::SetAsBoolean(bool value) { SetValue(value); }
void TTaskField::Clear() { SetValue(std::monostate{}); }

// ---------------------------------------------------------------- TTaskTable

TTaskTable::TTaskTable(TLayout layout) : layout_(layout) {
    std::vector<TFieldDef> defs;
    if (layout == TLayout::Task) {
        for (const TFieldDesign& design : TaskFields) defs.push_back(MakeDef(design));
    } else {
        for (const AnsiString& name : FileColumnNames())
            for (const TFieldDesign& design : TaskFields)
                if (name == design.Name) defs.push_back(MakeDef(design));
    }
    for (std::size_t i = 0; i < defs.size(); ++i)
        fields_.push_back(std::make_unique<TTaskField>(*this, static_cast<int>(i), std::move(defs[i])));
}

TTaskTable::~TTaskTable() = default;

const std::vector<AnsiString>& TTaskTable::FileColumnNames() {
    static const std::vector<AnsiString> names = {
        "num",          "taskName",      "Bak2Enabled", "RunHour", "RunMinute", "RunMinute2",
        "RunHour2",     "RarTimeAfter",  "SendTimeAfter", "ServerName", "DBName", "UserName",
        "Password",     "BakDBName",     "BakFilePath", "ToMailAddr", "CcMailAddr", "MailTopic"};
    return names;
}

void TTaskTable::CheckActive() const {
    if (state_ == TTableState::Inactive) throw EDatabaseError(ClosedText);
}

void TTaskTable::CheckBrowseMode() {
    CheckActive();
    if (state_ == TTableState::Edit || state_ == TTableState::Insert) {
        if (modified_) StoreRecord();
        else CancelRecord();
    }
}

void TTaskTable::Notify(TTableChange change) {
    if (suspended_ > 0) return;
    // A copy: an observer may add or remove observers while being told.
    auto observers = observers_;
    for (auto& [id, observer] : observers) observer(change);
}

const TTaskTable::TRecord* TTaskTable::ActiveRecord() const {
    if (state_ == TTableState::Edit || state_ == TTableState::Insert) return &buffer_;
    if (records_.empty()) return nullptr;
    return &records_[cursor_];
}

TTaskTable::TRecord* TTaskTable::EditBuffer() {
    CheckActive();
    if (state_ != TTableState::Edit && state_ != TTableState::Insert)
        throw EDatabaseError("Dataset not in edit or insert mode");
    return &buffer_;
}

TFieldValue TTaskTable::CalculatedValue(const TTaskField& field, const TRecord& record) const {
    auto value = [&](const char* name) -> const TFieldValue& {
        for (const auto& f : fields_)
            if (f->Name() == name) return record[f->Index()];
        throw EDatabaseError(Format("Field '%s' not found", name));
    };
    auto timeText = [&](const char* hourName, const char* minuteName) {
        const TFieldValue& hour = value(hourName);
        const TFieldValue& minute = value(minuteName);
        AnsiString text;
        if (const auto* h = std::get_if<std::int32_t>(&hour)) text = IntegerText(*h);
        const auto* m = std::get_if<std::int32_t>(&minute);
        return text + Format(":%.2d", m ? *m : 0);
    };
    AnsiString text;
    if (field.Name() == "RunTime1") {
        text = timeText("RunHour", "RunMinute");
    } else {
        const auto* enabled = std::get_if<bool>(&value("Bak2Enabled"));
        text = (enabled && *enabled) ? timeText("RunHour2", "RunMinute2") : Utf8ToAnsi("无");
    }
    return TruncateToWidth(text, static_cast<std::size_t>(field.Size()));
}

void TTaskTable::Close() {
    records_.clear();
    buffer_.clear();
    state_ = TTableState::Inactive;
    modified_ = false;
    cursor_ = 0;
    pastEnd_ = true;
    Notify(TTableChange::DataReset);
}

void TTaskTable::Open() {
    if (state_ == TTableState::Inactive) throw EDatabaseError("Missing data provider or data packet");
}

void TTaskTable::CreateDataSet() {
    records_.clear();
    buffer_.clear();
    state_ = TTableState::Browse;
    modified_ = false;
    cursor_ = 0;
    pastEnd_ = true;
    Notify(TTableChange::DataReset);
}

void TTaskTable::GoFirst() {
    CheckBrowseMode();
    cursor_ = 0;
    pastEnd_ = records_.empty();
    Notify(TTableChange::CursorMoved);
}

void TTaskTable::GoNext() {
    CheckBrowseMode();
    if (!records_.empty() && cursor_ + 1 < records_.size()) {
        ++cursor_;
        pastEnd_ = false;
    } else {
        pastEnd_ = true;
    }
    Notify(TTableChange::CursorMoved);
}

bool TTaskTable::IsPastEnd() const {
    CheckActive();
    if (state_ == TTableState::Insert) return false;
    return pastEnd_ || records_.empty();
}

int TTaskTable::CurrentNumber() const {
    CheckActive();
    if (state_ == TTableState::Insert) return static_cast<int>(records_.size()) + 1;
    if (records_.empty()) return 0;
    return static_cast<int>(cursor_) + 1;
}

void TTaskTable::GoToNumber(int number) {
    CheckBrowseMode();
    if (number == CurrentNumber()) return;
    if (number < 1 || static_cast<std::size_t>(number) > records_.size())
        throw EDatabaseError(Format("Record %d not found", number));
    cursor_ = static_cast<std::size_t>(number - 1);
    pastEnd_ = false;
    Notify(TTableChange::CursorMoved);
}

int TTaskTable::CountRecords() const {
    CheckActive();
    return static_cast<int>(records_.size());
}

TTaskField* TTaskTable::FindField(std::string_view name) {
    CheckActive();
    for (const auto& field : fields_)
        if (SameText(field->Name(), name)) return field.get();
    return nullptr;
}

TTaskField& TTaskTable::FieldNamed(std::string_view name) {
    TTaskField* field = FindField(name);
    if (!field) throw EDatabaseError(Format("Field '%s' not found", AnsiString(name).c_str()));
    return *field;
}

TTaskField& TTaskTable::FieldAtIndex(int index) {
    CheckActive();
    if (index < 0 || index >= FieldTotal()) throw EDatabaseError(Format("Field index out of range: %d", index));
    return *fields_[static_cast<std::size_t>(index)];
}

int TTaskTable::FieldTotal() const { return static_cast<int>(fields_.size()); }

bool TTaskTable::FindFirstMatch(std::string_view names, const std::vector<TFieldValue>& values) {
    CheckBrowseMode();
    std::vector<TTaskField*> fields;
    std::size_t start = 0;
    while (start <= names.size()) {
        std::size_t end = names.find(';', start);
        if (end == std::string_view::npos) end = names.size();
        std::string_view name = Trim(names.substr(start, end - start));
        if (!name.empty()) fields.push_back(&FieldNamed(name));
        start = end + 1;
    }
    if (fields.size() != values.size())
        throw EDatabaseError(Format("%zu field names but %zu values to match", fields.size(), values.size()));
    // Each value in its field's type; a text is compared whole, not cut to width.
    std::vector<TFieldValue> wanted;
    for (std::size_t k = 0; k < fields.size(); ++k) {
        const TFieldValue& v = values[k];
        try {
            if (fields[k]->DataType() == TFieldType::String && std::holds_alternative<AnsiString>(v))
                wanted.push_back(std::get<AnsiString>(v).empty() ? TFieldValue{} : v);
            else
                wanted.push_back(fields[k]->Convert(v));
        } catch (const EConvertError&) {
            return false; // no record can hold a value its field cannot take
        }
    }
    for (std::size_t r = 0; r < records_.size(); ++r) {
        bool match = true;
        for (std::size_t k = 0; k < fields.size() && match; ++k) {
            TFieldValue have = fields[k]->IsCalculated() ? CalculatedValue(*fields[k], records_[r])
                                                         : records_[r][fields[k]->Index()];
            match = have == wanted[k];
        }
        if (match) {
            cursor_ = r;
            pastEnd_ = false;
            Notify(TTableChange::CursorMoved);
            return true;
        }
    }
    return false;
}

void TTaskTable::BeginNewRecord() {
    CheckBrowseMode();
    buffer_.assign(fields_.size(), TFieldValue{});
    state_ = TTableState::Insert;
    modified_ = false;
    Notify(TTableChange::StateChanged);
}

void TTaskTable::BeginChangeRecord() {
    CheckActive();
    if (state_ != TTableState::Browse) return;
    if (records_.empty()) {
        BeginNewRecord();
        return;
    }
    buffer_ = records_[cursor_];
    state_ = TTableState::Edit;
    modified_ = false;
    Notify(TTableChange::StateChanged);
}

void TTaskTable::StoreRecord() {
    CheckActive();
    if (state_ == TTableState::Insert) {
        records_.push_back(std::move(buffer_));
        cursor_ = records_.size() - 1;
    } else if (state_ == TTableState::Edit) {
        records_[cursor_] = std::move(buffer_);
    } else {
        return;
    }
    buffer_.clear();
    state_ = TTableState::Browse;
    modified_ = false;
    pastEnd_ = false;
    Notify(TTableChange::RecordStored);
}

void TTaskTable::CancelRecord() {
    CheckActive();
    if (state_ != TTableState::Edit && state_ != TTableState::Insert) return;
    buffer_.clear();
    state_ = TTableState::Browse;
    modified_ = false;
    Notify(TTableChange::StateChanged);
}

void TTaskTable::RemoveRecord() {
    CheckActive();
    if (state_ == TTableState::Insert) {
        CancelRecord();
        return;
    }
    CancelRecord();
    if (records_.empty()) throw EDatabaseError("Cannot perform this operation on an empty dataset");
    records_.erase(records_.begin() + static_cast<std::ptrdiff_t>(cursor_));
    if (cursor_ >= records_.size() && cursor_ > 0) cursor_ = records_.size() - 1;
    if (records_.empty()) cursor_ = 0;
    pastEnd_ = records_.empty();
    Notify(TTableChange::RecordRemoved);
}

void TTaskTable::SuspendDisplay() { ++suspended_; }

void TTaskTable::ResumeDisplay() {
    if (suspended_ == 0) return;
    if (--suspended_ == 0) Notify(TTableChange::DataReset);
}

int TTaskTable::AddObserver(TObserver observer) {
    int id = nextObserverId_++;
    observers_.emplace_back(id, std::move(observer));
    return id;
}

void TTaskTable::RemoveObserver(int id) {
    std::erase_if(observers_, [id](const auto& entry) { return entry.first == id; });
}

AnsiString TTaskTable::Snapshot() {
    CheckBrowseMode();
    TPacket packet;
    std::vector<int> indexes;
    for (const AnsiString& name : FileColumnNames()) {
        TTaskField& field = FieldNamed(name);
        packet.Columns.push_back(PacketColumnOf(field));
        indexes.push_back(field.Index());
    }
    packet.Rows.reserve(records_.size());
    for (const TRecord& record : records_) {
        std::vector<TFieldValue> row;
        row.reserve(indexes.size());
        for (int i : indexes) row.push_back(record[static_cast<std::size_t>(i)]);
        packet.Rows.push_back(std::move(row));
    }
    return EncodePacket(packet);
}

void TTaskTable::LoadFromPacket(std::string_view bytes) {
    Close();
    TPacket packet = DecodePacket(bytes);
    // Bind every stored field to the column of its name, in whatever order
    // the columns come; other columns are not used.
    std::vector<std::pair<std::size_t, std::size_t>> binding; // field index, column index
    for (const auto& field : fields_) {
        if (field->IsCalculated()) continue;
        auto column = std::find_if(packet.Columns.begin(), packet.Columns.end(),
                                   [&](const TPacketColumn& c) { return SameText(c.Name, field->Name()); });
        if (column == packet.Columns.end()) throw EDatabaseError(Format("Field '%s' not found", field->Label().c_str()));
        TPacketColumn expected = PacketColumnOf(*field);
        if (column->TypeCode != expected.TypeCode)
            throw EDatabaseError(Format("Type mismatch for field '%s', expecting: %s actual: %s", field->Label().c_str(),
                                        PacketTypeName(expected.TypeCode).c_str(), PacketTypeName(column->TypeCode).c_str()));
        binding.emplace_back(static_cast<std::size_t>(field->Index()),
                             static_cast<std::size_t>(column - packet.Columns.begin()));
    }
    std::vector<TRecord> records;
    records.reserve(packet.Rows.size());
    for (auto& row : packet.Rows) {
        TRecord record(fields_.size());
        for (auto [f, c] : binding) {
            TFieldValue& v = row[c];
            if (auto* s = std::get_if<AnsiString>(&v)) {
                if (s->empty()) v = std::monostate{};
                else *s = TruncateToWidth(*s, static_cast<std::size_t>(fields_[f]->Size()));
            }
            record[f] = std::move(v);
        }
        records.push_back(std::move(record));
    }
    records_ = std::move(records);
    state_ = TTableState::Browse;
    cursor_ = 0;
    pastEnd_ = records_.empty();
    Notify(TTableChange::DataReset);
}
