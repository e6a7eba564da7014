#include "window/list_view.h"

#include <QContextMenuEvent>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QMenu>
#include <QMouseEvent>

#include <algorithm>

namespace vistrel {

namespace {

QStringList TitlesOf(const THeaderSections& sections) {
    QStringList titles;
    for (const auto& section : sections) titles << QString::fromStdString(section.Title);
    return titles;
}

}  // namespace

TListView::TListView(const TRowList& rows, const THeaderSections& sections, QWidget* parent)
    : QTreeView(parent), model_(new TRowListModel(rows, TitlesOf(sections), this)) {
    setModel(model_);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setSortingEnabled(false);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setAllColumnsShowFocus(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Each piece is cut at its section's edge, not shortened with "...".
    setTextElideMode(Qt::ElideNone);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);

    QHeaderView* head = header();
    head->setSectionsClickable(false);
    head->setSectionsMovable(false);
    head->setSortIndicatorShown(false);
    head->setStretchLastSection(false);
    head->setSectionResizeMode(QHeaderView::Interactive);
    head->setMinimumSectionSize(0);
    head->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    SetSections(sections);
}

THeaderSections TListView::Sections() const {
    THeaderSections sections;
    const QStringList& titles = model_->Titles();
    for (int i = 0; i < titles.size(); ++i)
        sections.push_back({titles.at(i).toStdString(), header()->sectionSize(i)});
    return sections;
}

void TListView::SetSections(const THeaderSections& sections) {
    model_->SetTitles(TitlesOf(sections));
    for (int i = 0; i < static_cast<int>(sections.size()); ++i) header()->resizeSection(i, sections[i].Width);
}

void TListView::SelectRows(const std::vector<int32_t>& rows) {
    QItemSelection selection;
    for (int32_t row : rows) {
        const QModelIndex index = model_->index(row, 0);
        if (index.isValid()) selection.select(index, index);
    }
    selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

std::vector<int32_t> TListView::SelectedRows() const {
    std::vector<int32_t> rows;
    if (!selectionModel()) return rows;
    for (const QModelIndex& index : selectionModel()->selectedRows()) rows.push_back(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

void TListView::mousePressEvent(QMouseEvent* event) {
    // The right button only opens the menu; the selection stays as it is.
    if (event->button() == Qt::RightButton) {
        event->accept();
        return;
    }
    QTreeView::mousePressEvent(event);
}

void TListView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::RightButton) {
        event->accept();
        return;
    }
    QTreeView::mouseReleaseEvent(event);
}

void TListView::contextMenuEvent(QContextMenuEvent* event) {
    if (!popup_) {
        QTreeView::contextMenuEvent(event);
        return;
    }
    popup_->popup(event->globalPos());
    event->accept();
}

}  // namespace vistrel
