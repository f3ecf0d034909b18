// Helpers for tests that drive the Qt window through its widgets, found by
// the control ids the behaviour uses.
#pragma once

#include <QApplication>
#include <QString>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <functional>
#include <ostream>
#include <string>

// Readable QStrings in test failures.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace zevuvuri::ui::testing {

using namespace std::chrono_literals;

// The control with object name `id` in `window`; nullptr if there is none of type W.
template <typename W>
W* Control(const QWidget& window, int id) {
  return window.findChild<W*>(QString::number(id), Qt::FindDirectChildrenOnly);
}

// How long a window may take to become active or exposed: a window manager
// and an X server on a busy machine can take seconds. Still bounded, so a
// window that never comes fails its test.
constexpr int kWindowLimitMs = 20000;

// Shows the window and waits until it is the active one, so that keys reach it.
inline bool ShowActive(QWidget& window) {
  window.show();
  window.activateWindow();
  return QTest::qWaitForWindowActive(&window, kWindowLimitMs);
}

// Processes events until `done` holds or `limit` passes.
inline bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 30s) {
  return QTest::qWaitFor(done, static_cast<int>(limit.count()));
}

// Runs `action` once `find` returns a widget of type D, from inside the event
// loop that shows it; gives up after `limit`. Call before whatever opens it.
// The application owns the timer, so one whose test ends before its limit
// goes with the application rather than leaking.
template <typename D>
void WhenUp(std::function<QWidget*()> find, std::function<void(D*)> action, std::chrono::milliseconds limit) {
  auto* timer = new QTimer(QCoreApplication::instance());
  const auto started = std::chrono::steady_clock::now();
  QObject::connect(timer, &QTimer::timeout, [timer, find, action, started, limit] {
    if (auto* widget = qobject_cast<D*>(find())) {
      timer->stop();
      timer->deleteLater();
      action(widget);
    } else if (std::chrono::steady_clock::now() - started > limit) {
      timer->stop();
      timer->deleteLater();
    }
  });
  timer->start(10);
}

template <typename D>
void WhenModal(std::function<void(D*)> action, std::chrono::milliseconds limit = 30s) {
  WhenUp<D>([] { return QApplication::activeModalWidget(); }, std::move(action), limit);
}

template <typename D>
void WhenPopup(std::function<void(D*)> action, std::chrono::milliseconds limit = 30s) {
  WhenUp<D>([] { return QApplication::activePopupWidget(); }, std::move(action), limit);
}

}  // namespace zevuvuri::ui::testing
