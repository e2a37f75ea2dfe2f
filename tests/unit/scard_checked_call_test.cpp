#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scard/checked_call.h"
#include "scard/pcsc_service.h"
#include "unit/scard_test_support.h"

namespace Vorn_SCard_Bridge::fake {
namespace {

struct StatusCase {
    std::string name;
    std::uint32_t status;
    std::string message;
};

class ScardCheckedCall : public ::testing::TestWithParam<StatusCase> {};

TEST_P(ScardCheckedCall, FailingStatusBecomesTheOperationsException) {
    const VornSCardException e = scard_failure(
        [&] { check_status("handle_smartcard_connect", status_of(GetParam().status)); });
    EXPECT_EQ(e.error_code, status_of(GetParam().status));
    EXPECT_EQ(e.message, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, ScardCheckedCall,
    ::testing::ValuesIn(std::vector<StatusCase>{
        {"InvalidHandle", 0x80100003,
         "Error in handle_smartcard_connect: The supplied handle was invalid"},
        {"RemovedCard", 0x80100069,
         "Error in handle_smartcard_connect: The smart card has been removed, so further "
         "communication is not possible"},
        {"NoRowInTheTable", 0x80100035,
         "Error in handle_smartcard_connect: Unknown error: 0x80100035"},
        {"SmallPositive", 1783,
         "Error in handle_smartcard_connect: A smart card reader was not detected"},
    }),
    [](const auto& info) { return info.param.name; });

TEST(ScardCheckedCallSuccess, SuccessPassesThrough) {
    EXPECT_NO_THROW(check_status("handle_smartcard_connect", pcsc::SUCCESS));
}

TEST(ScardCheckedCallSuccess, RaisingEvenSuccessCarriesItsText) {
    const VornSCardException e =
        scard_failure([] { raise_scard_error("handle_smartcard_list_readers", pcsc::SUCCESS); });
    EXPECT_EQ(e.error_code, 0);
    EXPECT_EQ(e.message, "Error in handle_smartcard_list_readers: No error was encountered");
}

class ScardRequireValidContext : public FakeServiceTest {};

TEST_F(ScardRequireValidContext, InvalidContextFailsWithTheFixedMessage) {
    service.next(Fn::IS_VALID_CONTEXT, {.status = pcsc::E_INVALID_HANDLE});
    const VornSCardException e =
        scard_failure([] { require_valid_context("handle_smartcard_status", 0x1234); });
    EXPECT_EQ(e.error_code, pcsc::E_INVALID_HANDLE);
    EXPECT_EQ(e.message, "Error in handle_smartcard_status: Context is no longer valid");
    ASSERT_EQ(service.calls(Fn::IS_VALID_CONTEXT).size(), 1u);
    EXPECT_EQ(service.calls(Fn::IS_VALID_CONTEXT)[0].context, 0x1234);
}

// Whatever the service's reason, the answer is the same fixed one.
TEST_F(ScardRequireValidContext, AnyRefusalOfTheContextCountsAsInvalid) {
    service.next(Fn::IS_VALID_CONTEXT, {.status = status_of(0x8010001D)});
    const VornSCardException e =
        scard_failure([] { require_valid_context("handle_smartcard_connect", 7); });
    EXPECT_EQ(e.error_code, pcsc::E_INVALID_HANDLE);
    EXPECT_EQ(e.message, "Error in handle_smartcard_connect: Context is no longer valid");
}

}  // namespace
}  // namespace Vorn_SCard_Bridge::fake
