// The exception classes and the one log line the error handler writes for a
// VornException.

#include "support/error_handler.h"

#include <gtest/gtest.h>

#include <exception>
#include <string>
#include <vector>

#include "support/exceptions.h"
#include "test_support.h"

namespace Vorn_SCard_Bridge {
namespace {

using vorn_test::LogLine;
using vorn_test::StderrCapture;

const char* const HANDLER_PREFIX = "[ErrorHandler::handle_error] ";

// The handler's lines of one handle_error call.
std::vector<LogLine> handle_and_capture(const VornException& exception,
                                        const std::string& context) {
    StderrCapture capture;
    ErrorHandler::get_instance().handle_error(exception, context);
    return vorn_test::lines_starting_with(capture.take_lines(), "[ErrorHandler::");
}

struct HandledCase {
    const char* name;
    ErrorCategory category;
    std::string component;
    std::string operation;
    std::string description;
    std::string context;
    std::string level;
    std::string line;  // after the handler's prefix
};

class HandleError : public ::testing::TestWithParam<HandledCase> {};

TEST_P(HandleError, WritesOneLineAtTheCategorysLevel) {
    const HandledCase& c = GetParam();
    const VornException exception(c.category, c.component, c.operation, c.description);
    const auto lines = handle_and_capture(exception, c.context);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, c.level);
    EXPECT_EQ(lines[0].text, HANDLER_PREFIX + c.line);
}

INSTANTIATE_TEST_SUITE_P(
    Categories, HandleError,
    ::testing::Values(HandledCase{"WarningCategory", ErrorCategory::WARNING, "Reader", "connect",
                                  "timeout", "main_loop", "warning",
                                  "Error in Reader::connect - timeout (Context: main_loop)"},
                      HandledCase{"CriticalCategory", ErrorCategory::CRITICAL, "Reader", "connect",
                                  "timeout", "main_loop", "critical",
                                  "Error in Reader::connect - timeout (Context: main_loop)"},
                      HandledCase{"GeneralCategory", ErrorCategory::GENERAL, "Reader", "connect",
                                  "timeout", "main_loop", "error",
                                  "Error in Reader::connect - timeout (Context: main_loop)"},
                      HandledCase{"PcscCategory", ErrorCategory::PCSC, "Card", "transmit", "lost",
                                  "x", "error", "Error in Card::transmit - lost (Context: x)"},
                      HandledCase{"MessagingCategory", ErrorCategory::MESSAGING, "Queue", "push",
                                  "full", "main_initialization", "error",
                                  "Error in Queue::push - full (Context: main_initialization)"},
                      HandledCase{"ProcessingCategory", ErrorCategory::PROCESSING, "P", "q", "r",
                                  "c", "error", "Error in P::q - r (Context: c)"},
                      // A value outside the named ones is an error as well.
                      HandledCase{"UnnamedCategory", static_cast<ErrorCategory>(99), "P", "q", "r",
                                  "c", "error", "Error in P::q - r (Context: c)"},
                      HandledCase{"NegativeCategory", static_cast<ErrorCategory>(-1), "P", "q", "r",
                                  "c", "error", "Error in P::q - r (Context: c)"},
                      HandledCase{"EmptyContextEndsAfterDescription", ErrorCategory::WARNING,
                                  "Reader", "connect", "timeout", "", "warning",
                                  "Error in Reader::connect - timeout"},
                      HandledCase{"EmptyComponentAndOperation", ErrorCategory::GENERAL, "", "",
                                  "boom", "", "error", "Error in :: - boom"},
                      HandledCase{"EmptyDescription", ErrorCategory::GENERAL, "C", "o", "", "ctx",
                                  "error", "Error in C::o -  (Context: ctx)"},
                      // Text from outside stays on its one line.
                      HandledCase{"NewlineInDescriptionEscaped", ErrorCategory::GENERAL, "C", "o",
                                  "a\nb", "ctx", "error", "Error in C::o - a\\nb (Context: ctx)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HandleError, SecurityExceptionIsHandledThroughItsBase) {
    const SecurityException exception(SecuritySeverity::HIGH, "Guard", "check", "bad origin");
    const auto lines = handle_and_capture(exception, "main_loop");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, std::string(HANDLER_PREFIX) +
                                 "Error in Guard::check - bad origin (Context: main_loop)");
}

TEST(HandleError, GetInstanceAlwaysReturnsTheSameHandler) {
    EXPECT_EQ(&ErrorHandler::get_instance(), &ErrorHandler::get_instance());
}

TEST(VornExceptionTest, KeepsWhatItWasBuiltWith) {
    const VornException e(ErrorCategory::PROCESSING, "Comp", "Op", "description text");
    EXPECT_EQ(e.get_component(), "Comp");
    EXPECT_EQ(e.get_operation(), "Op");
    EXPECT_EQ(e.get_category(), ErrorCategory::PROCESSING);
    EXPECT_STREQ(e.what(), "description text");
}

TEST(SecurityExceptionTest, IsAVornExceptionWithASeverity) {
    const SecurityException e(SecuritySeverity::CRITICAL, "Comp", "Op", "intrusion");
    const VornException& base = e;
    EXPECT_EQ(e.get_severity(), SecuritySeverity::CRITICAL);
    EXPECT_EQ(static_cast<int>(SecuritySeverity::CRITICAL), 3);
    EXPECT_EQ(base.get_component(), "Comp");
    EXPECT_EQ(base.get_operation(), "Op");
    EXPECT_STREQ(base.what(), "intrusion");
}

TEST(VornSCardExceptionTest, WhatIsTheGenericTextNotTheMessage) {
    const VornSCardException e(
        static_cast<std::int32_t>(0x80100003u),
        "Error in handle_smartcard_connect: The supplied handle was invalid");
    EXPECT_EQ(e.error_code, static_cast<std::int32_t>(0x80100003u));
    EXPECT_EQ(e.message, "Error in handle_smartcard_connect: The supplied handle was invalid");
    const std::exception plain;
    EXPECT_STREQ(e.what(), plain.what());
    // Handlers for the standard family only see the generic text.
    try {
        throw VornSCardException(-1, "specific");
    } catch (const std::exception& caught) {
        EXPECT_STREQ(caught.what(), plain.what());
    }
}

TEST(VornSCardExceptionTest, IsNotAVornException) {
    const VornSCardException e(0, "m");
    const std::exception& base = e;
    EXPECT_EQ(dynamic_cast<const VornException*>(&base), nullptr);
}

TEST(ErrorCategoryValues, ChooseTheLevelByNumber) {
    EXPECT_EQ(static_cast<int>(ErrorCategory::WARNING), 0);
    EXPECT_EQ(static_cast<int>(ErrorCategory::CRITICAL), 4);
    EXPECT_EQ(static_cast<int>(ErrorCategory::GENERAL), 5);
}

}  // namespace
}  // namespace Vorn_SCard_Bridge
