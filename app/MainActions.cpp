#include "app/MainActions.h"

#include "app/KeldorForm.h"

const std::vector<TActionDef>& MainActionDefs() {
    static const std::vector<TActionDef> defs = {
        {"actHelp", "help", "帮助", "帮助", 11, true, &TKeldorForm::actHelpExecute},
        {"actStop", "Dataset", "暂停", "暂停执行备份任务", 7, true, &TKeldorForm::actStopExecute},
        {"actWeb", "help", "访问网站", "", -1, true, &TKeldorForm::actWebExecute},
    };
    return defs;
}

const std::vector<const char*>& PopupMenuDataItems() {
    static const std::vector<const char*> items = {
        "actConfig", "actStop", "-", "actNewTask", "actSaveTask", "actDelete", "-", "actCopy",
        "actPaste",  "-",       "actExport", "actImport", "-", "actHelp", "actAbout",
    };
    return items;
}
