#pragma once
// A main window on the Qt offscreen platform, its program folder a fresh
// temporary one (task.ini, config.ini), every message box captured.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "app/KeldorForm.h"
#include "platform/Files.h"
#include "platform/MessageBox.h"
#include "platform/qt/QtMessageLoop.h"
#include "tasks/TaskFile.h"
#include "tests/app/QtTestEnvironment.h"
#include "tests/support/TaskBuilder.h"

struct TCapturedBox {
    std::string Text, Caption; // UTF-8
    unsigned Flags;
};

struct TGridTask {
    std::string Name;
    int Hour = 20, Minute = 30;
    bool Bak2Enabled = false;
    int Hour2 = 0, Minute2 = 0;
    std::string ServerName = "127.0.0.1";
    std::string BakDBName = "pubs";
    std::string BakFilePath = "/tmp";
    int RarTimeAfter = 30, SendTimeAfter = 60;
    std::string ToMailAddr = "ops@example.com";
    std::string MailTopic = "<file>";
};

class FormFixture : public testing::Test {
protected:
    void SetUp() override {
        TestApplication();
        static int serial = 0;
        Folder = std::filesystem::temp_directory_path() /
                 ("qf-" + std::to_string(::getpid()) + "-" + std::to_string(++serial));
        std::filesystem::remove_all(Folder);
        std::filesystem::create_directories(Folder);
        OverrideExeFolder(Folder.string());
        Options.EchoLogToStdout = false;
        Options.TrayAvailable = true;
        Options.Online = false;
        Options.UpdateCheck = false; // window tests never reach the network
    }
    void TearDown() override {
        Form.reset();
        OverrideExeFolder("");
        std::error_code ec;
        std::filesystem::remove_all(Folder, ec);
    }

    void CreateForm() { Form = std::make_unique<TKeldorForm>(Loop, Options); }

    void WriteTasks(const std::vector<TGridTask>& tasks) {
        TTaskTable table;
        int num = 0;
        for (const TGridTask& t : tasks) {
            StoreTestTask(table, TestTask([&](TTaskRecord& r) {
                r.Num = ++num;
                r.TaskName = Utf8ToAnsi(t.Name);
                r.RunHour = t.Hour;
                r.RunMinute = t.Minute;
                r.Bak2Enabled = t.Bak2Enabled;
                r.RunHour2 = t.Hour2;
                r.RunMinute2 = t.Minute2;
                r.ServerName = Utf8ToAnsi(t.ServerName);
                r.BakDBName = Utf8ToAnsi(t.BakDBName);
                r.BakFilePath = Utf8ToAnsi(t.BakFilePath);
                r.RarTimeAfter = t.RarTimeAfter;
                r.SendTimeAfter = t.SendTimeAfter;
                r.ToMailAddr = Utf8ToAnsi(t.ToMailAddr);
                r.MailTopic = Utf8ToAnsi(t.MailTopic);
            }));
        }
        SaveToFile(table, FilePath("task.ini"));
    }

    void WriteFile(const std::string& name, const std::string& content) {
        ASSERT_EQ(ReplaceFileContent(FilePath(name), content), 0);
    }
    std::string ReadFile(const std::string& name) const {
        std::string content;
        ReadWholeFile(FilePath(name), content);
        return content;
    }
    std::string FilePath(const std::string& name) const { return (Folder / name).string(); }

    // The log's texts (UTF-8) without their time stamps.
    std::vector<std::string> LogTexts() const {
        std::vector<std::string> out;
        for (const AnsiString& line : Form->ActivityLog.Lines())
            out.push_back(AnsiToUtf8(line.substr(20)));
        return out;
    }

    std::filesystem::path Folder;
    TKeldorFormOptions Options;
    std::vector<TCapturedBox> Boxes;
    int Answer = IDOK;
    TScopedMessageBoxHandler Capture {[this](const AnsiString& text, const AnsiString& caption, unsigned flags) {
        Boxes.push_back({AnsiToUtf8Lenient(text), AnsiToUtf8Lenient(caption), flags});
        return Answer;
    }};
    TQtMessageLoop Loop;
    std::unique_ptr<TKeldorForm> Form;
};
