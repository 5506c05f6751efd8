#pragma once
// What the task grid dbgTask shows of the task table: one column per visible
// field (label as title), one row per record, the current record marked in
// the row indicator. The rows are read into a cache whenever the table's
// content changes, so painting never moves the table's cursor.
#include <QAbstractTableModel>
#include <QStringList>
#include <vector>

#include "tasks/TaskTable.h"

class TTaskGridModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit TTaskGridModel(TTaskTable& table, QObject* parent = nullptr);
    ~TTaskGridModel() override;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // The fields shown, in column order.
    const std::vector<TTaskField*>& Columns() const { return columns_; }
    // 0-based row of the table's current record, -1 when there is none.
    int CurrentRow() const { return currentRow_; }

    // Re-reads every row (the table changed as a whole).
    void Reload();

signals:
    // The table's cursor moved to another record (or the rows were reloaded).
    void CurrentRowChanged(int row);

private:
    void TableChanged(TTableChange change);
    void ReadCurrentRow();

    TTaskTable& table_;
    std::vector<TTaskField*> columns_;
    std::vector<QStringList> rows_;
    int currentRow_ = -1;
    int observerId_ = 0;
    bool reading_ = false; // our own walk over the table
};
