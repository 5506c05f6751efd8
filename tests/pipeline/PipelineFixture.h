#pragma once
// A backup pipeline on the simulated loop, with its task table, activity log
// and a record of the errors it reported.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "pipeline/BackupPipeline.h"
#include "platform/SimulatedLoop.h"
#include "tests/support/TaskBuilder.h"

struct TTaskRow {
    std::string Name = "T";
    int Hour = 20, Minute = 31;
    bool Bak2Enabled = false;
    int Hour2 = 0, Minute2 = 0;
    std::string ServerName;
    std::string DBName = "master";
    std::string UserName = "sa";
    std::string Password = "secret";
    std::string BakDBName = "pubs";
    std::string BakFilePath = "D:\\bak";
    int RarTimeAfter = 30;
    int SendTimeAfter = 60;
};

// A local time of day that is sure to exist (no daylight-saving jump at 20:00).
inline TTimePoint LocalTime(int hour, int minute, int second, int millisecond = 0) {
    TLocalDateTime t;
    t.Year = 2024;
    t.Month = 5;
    t.Day = 6;
    t.Hour = hour;
    t.Minute = minute;
    t.Second = second;
    t.Millisecond = millisecond;
    return FromLocal(t);
}

// The log of one whole cycle of the task "夜间备份" backing up pubs and mailing
// `archive` to ops@example.com, without time stamps (UTF-8).
inline std::vector<std::string> TypicalDayLog(const std::string& archive) {
    return {"开始执行[夜间备份]任务...", "正在连接数据库[master]...", "数据库连接成功", "正在备份[pubs]数据库...",
            "数据库[pubs]备份完毕！",      "压缩文件...",                "文件压缩完毕",   "发送邮件" + archive + "...",
            "邮件成功发送给ops@example.com", "<-----------------------------"};
}

class PipelineFixture : public testing::Test {
protected:
    // The minute timer starts counting at `anchor`: the first scan is 60 s later.
    void Start(TTimePoint anchor) {
        Loop = std::make_unique<TSimulatedLoop>(anchor);
        Log.SetClock(Loop->Clock());
        Pipeline = std::make_unique<TBackupPipeline>(
            *Loop, Tasks, Log, [this](const AnsiString& m) { Errors.push_back(AnsiToUtf8(m)); }, ConfigPath);
        Pipeline->HistoryPath = HistoryPath;
    }

    void AddTask(const TTaskRow& row) {
        StoreTestTask(Tasks, TestTask([&](TTaskRecord& t) {
            t.TaskName = Utf8ToAnsi(row.Name);
            t.RunHour = row.Hour;
            t.RunMinute = row.Minute;
            t.Bak2Enabled = row.Bak2Enabled;
            t.RunHour2 = row.Hour2;
            t.RunMinute2 = row.Minute2;
            t.ServerName = Utf8ToAnsi(row.ServerName);
            t.DBName = Utf8ToAnsi(row.DBName);
            t.UserName = Utf8ToAnsi(row.UserName);
            t.Password = Utf8ToAnsi(row.Password);
            t.BakDBName = Utf8ToAnsi(row.BakDBName);
            t.BakFilePath = Utf8ToAnsi(row.BakFilePath);
            t.RarTimeAfter = row.RarTimeAfter;
            t.SendTimeAfter = row.SendTimeAfter;
        }));
    }

    // The log's texts (UTF-8) without their time stamps.
    std::vector<std::string> LogTexts() const {
        std::vector<std::string> out;
        for (const AnsiString& line : Log.Lines())
            out.push_back(AnsiToUtf8(line.substr(20)));
        return out;
    }

    int CountLog(const std::string& prefix) const {
        int n = 0;
        for (const std::string& text : LogTexts())
            n += text.rfind(prefix, 0) == 0 ? 1 : 0;
        return n;
    }

    int ElapsedMs() const { return static_cast<int>(Loop->Elapsed().count()); }

    void TearDown() override {
        std::remove(HistoryPath.c_str());
        std::remove((HistoryPath + ".1").c_str());
    }

    // The records the cycles appended.
    std::vector<TRunRecord> History() const { return TRunHistory(HistoryPath).Read().Records; }

    std::string ConfigPath; // the settings file; empty: config.ini beside the executable
    // Each test's own history file.
    std::string HistoryPath = std::filesystem::temp_directory_path().string() + "/quorvel-history-" +
                              std::to_string(::getpid()) + ".jsonl";
    TTaskTable Tasks;
    TActivityLog Log;
    std::vector<std::string> Errors;
    std::unique_ptr<TSimulatedLoop> Loop;
    std::unique_ptr<TBackupPipeline> Pipeline; // destroyed before the loop
};
