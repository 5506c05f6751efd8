#pragma once
// The task table: the ordered in-memory catalogue of backup tasks with a cursor
// on one current record. The main window's instance is `cdsTask`; the copy
// cache `cltdsCache` is a table of the same kind holding only the eighteen
// stored fields, in the order of the task file's columns.
//
// Record numbers are 1-based positions in table order. Field positions
// (FieldAtIndex) are 0-based, as the grid's columns are.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/AnsiString.h"
#include "platform/Exception.h"

// A failure of the table itself: closed table, unknown field, wrong state,
// a data packet that does not fit the table.
class EDatabaseError : public Exception {
public:
    using Exception::Exception;
};

// A data packet that cannot be parsed (a corrupt or foreign task file).
class EDBClient : public EDatabaseError {
public:
    using EDatabaseError::EDatabaseError;
};

// An untyped field value: empty (null), a 32-bit integer, a boolean or text
// (code page 936).
using TFieldValue = std::variant<std::monostate, std::int32_t, bool, AnsiString>;

enum class TFieldType { Integer, Boolean, String };
enum class TFieldKind { Data, Calculated };

// Record states: closed, browsing, changing the current record, adding one.
enum class TTableState { Inactive, Browse, Edit, Insert };

// What a change notification is about; the grid redraws on it.
enum class TTableChange {
    DataReset,     // content replaced (load, open, close) or display resumed
    RecordStored,  // a new or changed record was stored
    RecordRemoved, // the current record was removed
    CursorMoved,   // another record became current
    StateChanged,  // an edit or addition began or was abandoned
};

class TTaskTable;

// Description of one field of a table.
struct TFieldDef {
    AnsiString Name;
    TFieldKind Kind;
    TFieldType DataType;
    int Size; // bytes of a text field, 0 otherwise
    AnsiString Label; // display label (CP936): grid title, sheet header, error texts
    int DisplayWidth; // in characters
    bool Visible;     // shown as a grid column
};

// One field of a table, reading and writing the current record (or the record
// being added or changed). Owned by its table; references stay valid for the
// table's life.
class TTaskField {
public:
    TTaskField(TTaskTable& table, int index, TFieldDef def);

    const AnsiString& Name() const { return def_.Name; }
    const AnsiString& Label() const { return def_.Label; } // DisplayLabel
    int DisplayWidth() const { return def_.DisplayWidth; }
    bool Visible() const { return def_.Visible; }
    int Size() const { return def_.Size; }
    TFieldType DataType() const { return def_.DataType; }
    TFieldKind Kind() const { return def_.Kind; }
    bool IsCalculated() const { return def_.Kind == TFieldKind::Calculated; }
    bool ReadOnly() const { return false; } // no field of the task table is read-only
    int Index() const { return index_; }    // 0-based position in field order

    // Reading. An empty integer reads as 0 and as ""; an empty boolean as false
    // and as ""; a boolean as text is "True" or "False".
    bool IsNull() const;
    AnsiString AsString() const;
    std::int32_t AsInteger() const; // text is parsed; EConvertError when it is no integer
    bool AsBoolean() const;
    TFieldValue Value() const;

    // Writing (only while a record is being added or changed, otherwise
    // EDatabaseError "Dataset not in edit or insert mode").
    // Integer field: decimal text, "" makes it empty; "'%s' is not a valid
    // integer value for field '%s'" otherwise. Boolean field: "True"/"False" in
    // any case or a number (non-zero is true), "" makes it empty. Text field:
    // keeps its first Size bytes, never half a double-byte character.
    void SetAsString(std::string_view text);
    void SetAsInteger(std::int32_t value);
    void SetAsBoolean(bool value);
    void SetValue(const TFieldValue& value);
    void Clear();

    // The value as this field would store it, raising the conversion errors
    // of SetValue; nothing is written, so whole imports can be checked first.
    TFieldValue Convert(const TFieldValue& value) const;

private:
    friend class TTaskTable;

    TTaskTable* table_;
    int index_;
    TFieldDef def_;
};

class TTaskTable {
public:
    enum class TLayout {
        Task,  // the twenty fields of the task record in field order (cdsTask)
        Cache, // the eighteen stored fields in task file column order (cltdsCache)
    };
    using TObserver = std::function<void(TTableChange)>;

    // Created open and empty.
    explicit TTaskTable(TLayout layout = TLayout::Task);
    TTaskTable(const TTaskTable&) = delete;
    TTaskTable& operator=(const TTaskTable&) = delete;
    ~TTaskTable();

    // The names of the stored columns in the task file's order.
    static const std::vector<AnsiString>& FileColumnNames();

    // ---- state
    bool IsOpen() const { return state_ != TTableState::Inactive; }
    TTableState State() const { return state_; }
    // Drops every record and leaves the table closed: every later operation
    // fails with "Cannot perform this operation on a closed dataset".
    void Close();
    // Opens a closed table. Without content to open on it fails with "Missing
    // data provider or data packet"; an open table stays as it is.
    void Open();
    // Opens the table empty, dropping any content (the state at creation).
    void CreateDataSet();

    // ---- cursor
    void GoFirst();
    void GoNext();
    bool IsPastEnd() const;
    // 1-based number of the current record; 0 for an empty table; while a
    // record is being added, the number it will get when stored.
    int CurrentNumber() const;
    // Asking for the current number does nothing; a number that names no
    // record raises EDatabaseError "Record %d not found".
    void GoToNumber(int number);
    int CountRecords() const; // stored records only

    // ---- fields
    TTaskField& FieldNamed(std::string_view name); // any letter case; "Field '%s' not found"
    TTaskField* FindField(std::string_view name);  // nullptr when missing
    TTaskField& FieldAtIndex(int index);           // 0-based, field order
    int FieldTotal() const;

    // `names` separated by ";", one value per name; exact, case-sensitive
    // comparison after converting each value to its field's type. The first
    // matching record in table order becomes current (true); otherwise the
    // cursor stays (false).
    bool FindFirstMatch(std::string_view names, const std::vector<TFieldValue>& values);

    // ---- editing
    void BeginNewRecord();    // after the last record, fields empty
    void BeginChangeRecord(); // on an empty table: BeginNewRecord
    void StoreRecord();       // browsing: nothing to do
    void CancelRecord();      // abandons the record being added or changed
    bool Modified() const { return modified_; }
    // Removes the current record (abandons one being added); the next record
    // becomes current, or the new last one. On an empty table: EDatabaseError
    // "Cannot perform this operation on an empty dataset".
    void RemoveRecord();

    // ---- display
    void SuspendDisplay(); // nests; no notifications until the last Resume
    void ResumeDisplay();  // sends DataReset when the last suspension ends
    bool DisplaySuspended() const { return suspended_ > 0; }
    // Returns an id for RemoveObserver.
    int AddObserver(TObserver observer);
    void RemoveObserver(int id);

    // ---- whole content
    // Folds a pending record in (as moving the cursor would) and returns the
    // whole content as one data packet, in the task file's form.
    AnsiString Snapshot();
    // Replaces the content with a packet's records: closes the table, reads the
    // packet, opens on it with the first record current. On failure the table
    // is left closed and the error is raised ("Missing data provider or data
    // packet" for an empty packet, "Field '%s' not found", "Type mismatch for
    // field '%s', expecting: %s actual: %s", or EDBClient for a corrupt packet).
    void LoadFromPacket(std::string_view packet);

private:
    friend class TTaskField;
    using TRecord = std::vector<TFieldValue>; // one value per field (calculated ones unused)

    void CheckActive() const;
    void CheckBrowseMode(); // posts or abandons a pending record
    void Notify(TTableChange change);
    const TRecord* ActiveRecord() const;
    TRecord* EditBuffer();
    TFieldValue CalculatedValue(const TTaskField& field, const TRecord& record) const;

    TLayout layout_;
    std::vector<std::unique_ptr<TTaskField>> fields_;
    std::vector<TRecord> records_;
    TRecord buffer_; // record being added or changed
    TTableState state_ = TTableState::Browse;
    bool modified_ = false;
    std::size_t cursor_ = 0;   // index into records_
    bool pastEnd_ = true;
    int suspended_ = 0;
    int nextObserverId_ = 1;
    std::vector<std::pair<int, TObserver>> observers_;
};
