// Message boxes without a toolkit: default answers, the replaceable handler,
// the standard error box, and the error reporting that uses them.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Exception.h"
#include "platform/ExceptionReport.h"
#include "platform/MessageBox.h"

namespace {

struct TDefaultCase {
    const char* Name;
    unsigned Flags;
    int Answer;
};

const TDefaultCase DefaultCases[] = {
    {"Ok", MB_OK | MB_ICONERROR, IDOK},
    {"OkCancel", MB_OKCANCEL, IDOK},
    {"OkCancelSecond", MB_OKCANCEL | MB_DEFBUTTON2, IDCANCEL},
    {"YesNo", MB_YESNO | MB_ICONWARNING, IDYES},
    {"YesNoSecond", MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2, IDNO},
    {"YesNoCancelThird", MB_YESNOCANCEL | MB_DEFBUTTON3, IDCANCEL},
    {"RetryCancel", MB_RETRYCANCEL, IDRETRY},
    {"AbortRetryIgnoreSecond", MB_ABORTRETRYIGNORE | MB_DEFBUTTON2, IDRETRY},
    {"DefaultButtonBeyondTheButtonsIsTheFirst", MB_OK | MB_DEFBUTTON3, IDOK},
    {"ThirdOfTwoIsTheFirst", MB_YESNO | MB_DEFBUTTON3, IDYES},
};

class DefaultAnswer : public testing::TestWithParam<TDefaultCase> {};

TEST_P(DefaultAnswer, IsTheDefaultButton) {
    EXPECT_EQ(DefaultMessageBoxAnswer(GetParam().Flags), GetParam().Answer);
}

INSTANTIATE_TEST_SUITE_P(MessageBox, DefaultAnswer, testing::ValuesIn(DefaultCases),
                         [](const auto& test) { return std::string(test.param.Name); });

struct TBox {
    AnsiString Text, Caption;
    unsigned Flags;
};

TEST(MessageBox, InstalledHandlerSeesTheBoxAndAnswersThenTheOldOneReturns) {
    std::vector<TBox> boxes;
    {
        TScopedMessageBoxHandler capture([&](const AnsiString& text, const AnsiString& caption, unsigned flags) {
            boxes.push_back({text, caption, flags});
            return IDNO;
        });
        EXPECT_EQ(ShowMessageBox(Utf8ToAnsi("确定删除记录吗"), Utf8ToAnsi("系统提示"), MB_YESNO | MB_ICONWARNING), IDNO);
    }
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].Text, Utf8ToAnsi("确定删除记录吗"));
    EXPECT_EQ(boxes[0].Caption, Utf8ToAnsi("系统提示"));
    EXPECT_EQ(boxes[0].Flags, MB_YESNO | MB_ICONWARNING);

    // The scope ended: back to the standard error box, which takes the default.
    testing::internal::CaptureStderr();
    EXPECT_EQ(ShowMessageBox(Utf8ToAnsi("副本已经在运行"), "quorvel", MB_OK | MB_ICONERROR), IDOK);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "quorvel: 副本已经在运行\n");
    EXPECT_EQ(boxes.size(), 1u);
}

TEST(MessageBox, StandardErrorBoxAnswersTheDefaultButton) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(StandardErrorMessageBox("Delete record?", "quorvel", MB_OKCANCEL | MB_DEFBUTTON2), IDCANCEL);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "quorvel: Delete record?\n");
}

TEST(ExceptionReport, HandlerGetsTheMessageOfEachKindOfError) {
    std::vector<AnsiString> reported;
    TScopedExceptionHandler capture([&](const AnsiString& message) { reported.push_back(message); });
    RunReportingErrors([] { throw EConvertError(Utf8ToAnsi("'x' 不是整数")); });
    RunReportingErrors([] { throw std::runtime_error("plain"); });
    RunReportingErrors([] { throw 42; });
    RunReportingErrors([] {});
    EXPECT_EQ(reported, (std::vector<AnsiString> {Utf8ToAnsi("'x' 不是整数"), "plain", "Unknown error"}));
}

TEST(ExceptionReport, WithoutAHandlerAnErrorBecomesAnErrorBox) {
    std::vector<TBox> boxes;
    TScopedMessageBoxHandler capture([&](const AnsiString& text, const AnsiString& caption, unsigned flags) {
        boxes.push_back({text, caption, flags});
        return IDOK;
    });
    RunReportingErrors([] { throw Exception("Cannot perform this operation on a closed dataset"); });
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].Text, "Cannot perform this operation on a closed dataset");
    EXPECT_EQ(boxes[0].Flags, MB_OK | MB_ICONERROR);
    EXPECT_FALSE(boxes[0].Caption.empty());
}

} // namespace
