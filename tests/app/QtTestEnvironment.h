#pragma once
// The one QApplication of the app tests, on Qt's offscreen platform, created
// before the first test and destroyed after the last.
#include <QApplication>
#include <gtest/gtest.h>
#include <chrono>
#include <functional>

QApplication& TestApplication();

// Runs the Qt event loop for the given real time.
void RunEventLoopFor(std::chrono::milliseconds duration);
// Runs the Qt event loop until condition() holds or the limit has passed.
bool RunEventLoopUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit);
