#pragma once
// The command list actsMain of the main window and the grid's pop-up menu
// PopupMenu_Data. A command is one row of MainActionDefs() plus its handler
// in TKeldorForm; the menu lists commands by name.
#include <vector>

class TKeldorForm;

struct TActionDef {
    const char* Name;     // "actStop"
    const char* Category; // "Dataset" or "help"
    const char* Caption;  // UTF-8
    const char* Hint;     // UTF-8; "" for none
    int ImageIndex;       // into ImageList1; -1 for none
    bool Enabled;         // at start
    void (TKeldorForm::*Execute)();
};

// Every command of actsMain, in the order of the list.
const std::vector<TActionDef>& MainActionDefs();

// PopupMenu_Data from top to bottom: command names, "-" for a separator line.
// A name without a command is left out (and so is a separator it leaves
// doubled or at an end).
const std::vector<const char*>& PopupMenuDataItems();
