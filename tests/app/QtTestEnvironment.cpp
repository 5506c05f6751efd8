#include "tests/app/QtTestEnvironment.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <cstdlib>
#include <memory>

namespace {

int argcValue = 1;
char argv0[] = "test_app";
char* argvValues[] = {argv0, nullptr};
std::unique_ptr<QApplication> application;

class TQtEnvironment : public testing::Environment {
public:
    void SetUp() override {
        // No display in CI; the tests never need one.
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        application = std::make_unique<QApplication>(argcValue, argvValues);
    }
    void TearDown() override { application.reset(); }
};

[[maybe_unused]] testing::Environment* const environment = testing::AddGlobalTestEnvironment(new TQtEnvironment);

} // namespace

QApplication& TestApplication() {
    return *application;
}

void RunEventLoopFor(std::chrono::milliseconds duration) {
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(duration.count()), Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

bool RunEventLoopUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    QElapsedTimer elapsed;
    elapsed.start();
    while (!condition()) {
        if (elapsed.elapsed() >= limit.count())
            return condition();
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}
