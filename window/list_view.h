// TListView: the multi-column list of the games and user pages. A header of
// sections the operator resizes by dragging (clicking one does nothing, rows
// are never sorted); each row's columns drawn clipped to their sections; any
// set of rows selectable with click, Shift and Ctrl. A right click opens the
// list's context menu without touching the selection, so a command acts on
// exactly the rows the operator had selected.
//
// Sections() and SetSections() copy the header to and from the plain list
// the layout load and save work on. Owned by its page (a Qt child).
#pragma once

#include <QTreeView>

#include <vector>

#include "settings/list_layout.h"
#include "window/row_list_model.h"

class QMenu;

namespace vistrel {

class TListView : public QTreeView {
    Q_OBJECT
public:
    TListView(const TRowList& rows, const THeaderSections& sections, QWidget* parent = nullptr);

    TRowListModel& Model() const noexcept { return *model_; }

    THeaderSections Sections() const;
    // Titles and widths, adding or dropping columns to match.
    void SetSections(const THeaderSections& sections);

    // Selects exactly these rows (as a Ctrl-click on each would).
    void SelectRows(const std::vector<int32_t>& rows);
    // Indices of the selected rows, in ascending order.
    std::vector<int32_t> SelectedRows() const;

    // The menu a right click opens (not owned).
    void SetPopupMenu(QMenu* menu) { popup_ = menu; }
    QMenu* PopupMenu() const noexcept { return popup_; }

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    TRowListModel* model_;
    QMenu* popup_ = nullptr;
};

}  // namespace vistrel
