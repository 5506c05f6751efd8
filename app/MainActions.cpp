#include "app/MainActions.h"

#include "app/KeldorForm.h"

const std::vector<TActionDef>& MainActionDefs() {
    static const std::vector<TActionDef> defs = {
        {"actHelp", "help", "帮助", "帮助", 11, true, &TKeldorForm::actHelpExecute},
        {"actImport", "Dataset", "导入", "从Excel导入", 3, true, &TKeldorForm::actImportExecute},
        {"actExport", "Dataset", "导出", "导出Excel", 2, true, &TKeldorForm::actExportExecute},
        {"actAbout", "help", "关于", "关于", 10, true, &TKeldorForm::actAboutExecute},
        {"actNewTask", "Dataset", "新增", "新增任务", 4, true, &TKeldorForm::actNewTaskExecute},
        {"actSaveTask", "Dataset", "保存", "保存备份任务", 5, true, &TKeldorForm::actSaveTaskExecute},
        {"actDelete", "Dataset", "删除", "删除当前记录", 6, false, &TKeldorForm::actDeleteExecute},
        {"actCopy", "Dataset", "复制行", "复制当前行", 0, true, &TKeldorForm::actCopyExecute},
        {"actPaste", "Dataset", "粘贴行", "粘贴新行", 1, false, &TKeldorForm::actPasteExecute},
        {"actStop", "Dataset", "暂停", "暂停执行备份任务", 7, true, &TKeldorForm::actStopExecute},
        {"actConfig", "help", "设置", "设置邮件参数", 9, true, &TKeldorForm::actConfigExecute},
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
