#pragma once

// The widgets of one row of the screen's description. They are made once, from the row's first
// description (rows never come and go), and updated from every later description. They hold no
// state of their own beyond the last description, whose bindings and actions user input goes
// through.

#include "core/Announcer.h"
#include "core/ScreenDescription.h"
#include "runtime/Runtime.h"

#include <QMetaObject>

#include <memory>
#include <vector>

class QFormLayout;

namespace virelon::widgets {

class RowWidgets {
public:
    RowWidgets() = default;
    RowWidgets(const RowWidgets&) = delete;
    RowWidgets& operator=(const RowWidgets&) = delete;
    virtual ~RowWidgets();

    /// Shows a later description of the same row; ignores a row of another kind. Never writes
    /// through the row's bindings.
    virtual void apply(const ui::Row& row) = 0;

protected:
    /// Cut when the row goes: its widgets belong to the window and may outlive it.
    std::vector<QMetaObject::Connection> connections_;
};

/// Adds the widgets for `row` to a section's `form` (whose parent widget is the section). User
/// input on them runs as an update of `runtime`. Call apply() to show the row.
std::unique_ptr<RowWidgets> makeRowWidgets(const ui::Row& row, ui::Runtime& runtime,
                                           QFormLayout& form);

} // namespace virelon::widgets
