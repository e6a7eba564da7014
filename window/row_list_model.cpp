#include "window/row_list_model.h"

#include <utility>

namespace vistrel {

TRowListModel::TRowListModel(const TRowList& rows, QStringList titles, QObject* parent)
    : QAbstractTableModel(parent), rows_(&rows), row_count_(rows.Count()), titles_(std::move(titles)) {
    subscription_ = rows.Listeners().Subscribe([this](const TListChange& change) { OnListChange(change); });
}

TRowListModel::~TRowListModel() { Detach(); }

void TRowListModel::Detach() {
    if (!rows_) return;
    beginResetModel();
    rows_->Listeners().Unsubscribe(subscription_);
    rows_ = nullptr;
    row_count_ = 0;
    endResetModel();
}

void TRowListModel::SetTitles(const QStringList& titles) {
    const int before = static_cast<int>(titles_.size());
    const int after = static_cast<int>(titles.size());
    if (after > before) {
        beginInsertColumns({}, before, after - 1);
        titles_ = titles;
        endInsertColumns();
    } else if (after < before) {
        beginRemoveColumns({}, after, before - 1);
        titles_ = titles;
        endRemoveColumns();
    } else {
        titles_ = titles;
    }
    if (after > 0) emit headerDataChanged(Qt::Horizontal, 0, after - 1);
}

int TRowListModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : row_count_; }

int TRowListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(titles_.size());
}

QVariant TRowListModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !rows_ || !index.isValid() || index.row() >= row_count_ ||
        index.row() >= rows_->Count())
        return {};
    std::string_view text = rows_->Column(index.row(), static_cast<size_t>(index.column()));
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

QVariant TRowListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= titles_.size())
        return {};
    return titles_.at(section);
}

Qt::ItemFlags TRowListModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

void TRowListModel::OnListChange(const TListChange& change) {
    const int i = change.Index;
    switch (change.Kind) {
    case TListChange::TKind::RowAppended:
        beginInsertRows({}, row_count_, row_count_);
        ++row_count_;
        endInsertRows();
        break;
    case TListChange::TKind::RowRemoved:
        if (i < 0 || i >= row_count_) break;
        beginRemoveRows({}, i, i);
        --row_count_;
        endRemoveRows();
        break;
    case TListChange::TKind::RowChanged:
        if (i < 0 || i >= row_count_ || titles_.isEmpty()) break;
        emit dataChanged(index(i, 0), index(i, static_cast<int>(titles_.size()) - 1), {Qt::DisplayRole});
        break;
    case TListChange::TKind::LineAppended:
        break;
    }
}

}  // namespace vistrel
