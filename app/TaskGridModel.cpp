#include "app/TaskGridModel.h"

#include "platform/qt/QtText.h"

TTaskGridModel::TTaskGridModel(TTaskTable& table, QObject* parent) : QAbstractTableModel(parent), table_(table) {
    for (int i = 0; i < table_.FieldTotal(); ++i) {
        TTaskField& field = table_.FieldAtIndex(i);
        if (field.Visible())
            columns_.push_back(&field);
    }
    observerId_ = table_.AddObserver([this](TTableChange change) { TableChanged(change); });
    Reload();
}

TTaskGridModel::~TTaskGridModel() {
    table_.RemoveObserver(observerId_);
}

int TTaskGridModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int TTaskGridModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(columns_.size());
}

QVariant TTaskGridModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= static_cast<int>(rows_.size()))
        return {};
    if (role == Qt::DisplayRole)
        return rows_[index.row()].value(index.column());
    if (role == Qt::TextAlignmentRole) {
        const TFieldType type = columns_[index.column()]->DataType();
        return QVariant::fromValue(Qt::AlignVCenter |
                                   (type == TFieldType::Integer ? Qt::AlignRight : Qt::AlignLeft));
    }
    return {};
}

QVariant TTaskGridModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole)
        return {};
    if (orientation == Qt::Horizontal)
        return section >= 0 && section < static_cast<int>(columns_.size()) ? AnsiToQString(columns_[section]->Label())
                                                                         : QVariant();
    return section == currentRow_ ? QStringLiteral("\u25B6") : QString();
}

void TTaskGridModel::Reload() {
    beginResetModel();
    rows_.clear();
    currentRow_ = -1;
    // A record being added or changed is not walked over: moving the cursor
    // would store it behind its editor's back.
    if (table_.IsOpen() && table_.State() == TTableState::Browse) {
        reading_ = true;
        const int current = table_.CurrentNumber();
        const bool pastEnd = table_.IsPastEnd();
        try {
            for (table_.GoFirst(); !table_.IsPastEnd(); table_.GoNext()) {
                QStringList row;
                for (TTaskField* field : columns_)
                    row << AnsiToQString(field->AsString());
                rows_.push_back(row);
            }
            if (current > 0 && current <= static_cast<int>(rows_.size()))
                table_.GoToNumber(current);
            if (pastEnd && !rows_.empty()) // the scan leaves the cursor past the last record
                table_.GoNext();
        } catch (...) {
            reading_ = false;
            endResetModel();
            throw;
        }
        reading_ = false;
    }
    endResetModel();
    ReadCurrentRow();
}

void TTaskGridModel::ReadCurrentRow() {
    int row = -1;
    if (table_.IsOpen() && !rows_.empty())
        row = std::min(table_.CurrentNumber(), static_cast<int>(rows_.size())) - 1;
    const int previous = currentRow_;
    currentRow_ = row;
    if (previous != row) {
        if (previous >= 0)
            emit headerDataChanged(Qt::Vertical, previous, previous);
        if (row >= 0)
            emit headerDataChanged(Qt::Vertical, row, row);
    }
    emit CurrentRowChanged(row);
}

void TTaskGridModel::TableChanged(TTableChange change) {
    if (reading_)
        return;
    switch (change) {
    case TTableChange::CursorMoved: ReadCurrentRow(); break;
    case TTableChange::StateChanged: break; // shown once the record is stored
    default: Reload(); break;
    }
}
