// The desktop's requests to end the program reach the window thread as one
// Qt signal, whichever signal brought them, and a window opened over another
// hands its request on to the one below when it goes.
#include "ui/qt/session_end.h"

#include <gtest/gtest.h>

#include <csignal>
#include <memory>

#include "tests/ui/qt_test_support.h"

namespace zevuvuri::ui::qt {
namespace {

using ui::testing::WaitFor;
using namespace std::chrono_literals;

class SessionEndTest : public ::testing::TestWithParam<int> {};

TEST_P(SessionEndTest, ASignalBecomesOneRequestAndIsHandedDown) {
  SessionEnd below;
  int below_requests = 0;
  QObject::connect(&below, &SessionEnd::EndRequested, [&] { ++below_requests; });
  {
    SessionEnd above;
    int above_requests = 0;
    QObject::connect(&above, &SessionEnd::EndRequested, [&] { ++above_requests; });
    ASSERT_EQ(std::raise(GetParam()), 0);  // the process lives on: the handler only writes a byte
    ASSERT_EQ(std::raise(GetParam()), 0);
    EXPECT_TRUE(WaitFor([&] { return above_requests > 0; }, 10s));
    QTest::qWait(100);  // the second signal's byte, if it were told again
    EXPECT_EQ(above_requests, 1);
    EXPECT_TRUE(above.Requested());
    EXPECT_EQ(below_requests, 0) << "the window above takes it first";
  }
  EXPECT_TRUE(WaitFor([&] { return below_requests > 0; }, 10s)) << "the window below ends too";
  EXPECT_TRUE(below.Requested());
}

INSTANTIATE_TEST_SUITE_P(Signals, SessionEndTest, ::testing::Values(SIGTERM, SIGHUP, SIGINT),
                         [](const auto& info) {
                           return std::string(info.param == SIGTERM ? "SIGTERM" : info.param == SIGHUP ? "SIGHUP" : "SIGINT");
                         });

}  // namespace
}  // namespace zevuvuri::ui::qt
