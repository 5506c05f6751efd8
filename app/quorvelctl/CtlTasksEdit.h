#pragma once
// quorvelctl tasks add / remove: the task editor's checks and storing for
// servers without a desktop.
#include <string>
#include <vector>

// tasks add FILE [--Field VALUE]...   (the arguments after "add")
int RunTasksAdd(const std::vector<std::string>& args);
// tasks remove FILE NUMBER            (the arguments after "remove")
int RunTasksRemove(const std::vector<std::string>& args);

extern const char* const TasksEditUsage;
