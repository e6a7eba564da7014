// TRowListModel: a table model over one row list of the console (the games
// list or the user list). Each row's line is cut at ";" into its columns;
// the model has exactly as many columns as the view has header sections, so
// pieces of a line beyond the last section are never drawn. Texts are the
// 8-bit bytes that came from the network, shown as Latin-1.
//
// The model follows the list through its change notifications and keeps its
// own row count, so views always see a consistent begin/end pair. Owned by
// the main window, which calls Detach() before the list (the relay frame)
// goes away.
#pragma once

#include <QAbstractTableModel>
#include <QStringList>

#include "console/console_lists.h"

namespace vistrel {

class TRowListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    TRowListModel(const TRowList& rows, QStringList titles, QObject* parent = nullptr);
    ~TRowListModel() override;

    // Stops following the list; the model then shows no rows.
    void Detach();

    // The header sections' titles; changing their number adds or removes
    // columns.
    void SetTitles(const QStringList& titles);
    const QStringList& Titles() const noexcept { return titles_; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    void OnListChange(const TListChange& change);

    const TRowList* rows_;
    int subscription_ = 0;
    int row_count_ = 0;
    QStringList titles_;
};

}  // namespace vistrel
