// The application's exception display: message texts, replacing the display,
// and the fall-back to standard error.
#include "host/ExceptionDisplay.h"
#include "tests/support/ShownExceptions.h"

#include "host/Exceptions.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct NotAnException {};

} // namespace

TEST(ExceptionDisplay, MessageOfEachKind) {
    struct Row {
        const char* what;
        std::exception_ptr error;
        std::string message;
    } rows[] = {
        {"host exception",
         std::make_exception_ptr(host::EConvertError("'x' is not a valid integer value")),
         "'x' is not a valid integer value"},
        {"standard exception", std::make_exception_ptr(std::runtime_error("disk full")),
         "disk full"},
        {"anything else", std::make_exception_ptr(NotAnException{}), "An unknown error occurred"},
        {"nothing", nullptr, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(host::ExceptionMessage(row.error), row.message);
    }
}

TEST(ExceptionDisplay, ShowsThroughTheInstalledDisplay) {
    rc_test::ShownExceptions recorder;
    host::ShowException(std::make_exception_ptr(std::logic_error("one")));
    host::ShowException(host::EConvertError("two"));
    host::ShowException(std::exception_ptr{}); // nothing to show
    EXPECT_EQ(recorder.Shown(), (std::vector<std::string>{"one", "two"}));
}

TEST(ExceptionDisplay, SetReturnsThePreviousAndEmptyRestoresStandardError) {
    rc_test::ShownExceptions recorder;
    auto previous = host::SetExceptionDisplay({});
    ASSERT_TRUE(previous);
    testing::internal::CaptureStderr();
    host::ShowException(std::runtime_error("to stderr"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "to stderr\n");
    EXPECT_TRUE(recorder.Shown().empty());
    host::SetExceptionDisplay(previous);
    host::ShowException(std::runtime_error("back"));
    EXPECT_EQ(recorder.Shown(), std::vector<std::string>{"back"});
}

TEST(ExceptionDisplay, FailingDisplayFallsBackToStandardError) {
    auto previous =
        host::SetExceptionDisplay([](const std::string&) { throw std::runtime_error("broken"); });
    testing::internal::CaptureStderr();
    EXPECT_NO_THROW(host::ShowException(std::runtime_error("still shown")));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "still shown\n");
    host::SetExceptionDisplay(previous);
}
