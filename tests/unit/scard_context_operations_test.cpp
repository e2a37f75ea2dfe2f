// Context operations on the fake service: the arguments each call passes and the exact
// lists and failures it makes of the answers.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "scard/smartcard_operations.h"
#include "unit/scard_test_support.h"

namespace Vorn_SCard_Bridge::fake {
namespace {

using ::testing::ElementsAre;

class ScardContextOperations : public FakeServiceTest {};

TEST_F(ScardContextOperations, EstablishPassesTheScopeAndReturnsTheNewContext) {
    service.set_next_context(0x0000ABCD);
    std::int32_t context = -1;
    EXPECT_THAT(handle_smartcard_establish_context(context, 0),
                ElementsAre("0x00000000", "0x0000ABCD"));
    EXPECT_EQ(context, 0x0000ABCD);
    const auto calls = service.calls(Fn::ESTABLISH_CONTEXT);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].scope, 0u);
}

TEST_F(ScardContextOperations, EstablishShowsAContextWithTheTopBitSetAsItsBitPattern) {
    service.next(Fn::ESTABLISH_CONTEXT, {.handle = status_of(0x80000001)});
    std::int32_t context = 0;
    EXPECT_THAT(handle_smartcard_establish_context(context, 0),
                ElementsAre("0x00000000", "0x80000001"));
}

TEST_F(ScardContextOperations, EstablishWithARejectedScopeFails) {
    service.next(Fn::ESTABLISH_CONTEXT, {.status = status_of(0x80100011)});
    std::int32_t context = 0;
    const VornSCardException e =
        scard_failure([&] { handle_smartcard_establish_context(context, 7); });
    EXPECT_EQ(e.error_code, status_of(0x80100011));
    EXPECT_EQ(e.message,
              "Error in handle_smartcard_establish_context: One or more of the supplied "
              "parameters values could not be properly interpreted");
    EXPECT_EQ(service.calls(Fn::ESTABLISH_CONTEXT).at(0).scope, 7u);
}

struct ContextCallCase {
    std::string name;
    std::function<ResultList(const std::int32_t&)> operation;
    Fn fn;
    std::string prefix;
};

class ScardContextCalls : public FakeServiceTest,
                          public ::testing::WithParamInterface<ContextCallCase> {};

TEST_P(ScardContextCalls, SuccessIsTheSuccessStatusAlone) {
    EXPECT_THAT(GetParam().operation(0x0A0B0C0D), ElementsAre("0x00000000"));
    ASSERT_EQ(service.calls(GetParam().fn).size(), 1u);
    EXPECT_EQ(service.calls(GetParam().fn)[0].context, 0x0A0B0C0D);
}

TEST_P(ScardContextCalls, ServiceFailureCarriesItsStatusAndTheOperationsPrefix) {
    service.next(GetParam().fn, {.status = status_of(0x8010001E)});
    const VornSCardException e = scard_failure([&] { GetParam().operation(0x0A0B0C0D); });
    EXPECT_EQ(e.error_code, status_of(0x8010001E));
    EXPECT_EQ(e.message, GetParam().prefix + "The Smart Card Resource Manager has shut down");
}

INSTANTIATE_TEST_SUITE_P(Operations, ScardContextCalls,
                         ::testing::ValuesIn(std::vector<ContextCallCase>{
                             {"Release", handle_smartcard_release_context, Fn::RELEASE_CONTEXT,
                              "Error in handle_smartcard_release_context: "},
                             {"IsValid", handle_smartcard_is_valid_context, Fn::IS_VALID_CONTEXT,
                              "Error in handle_smartcard_is_valid_context: "},
                             {"Cancel", handle_smartcard_cancel, Fn::CANCEL,
                              "Error in handle_smartcard_cancel: "},
                         }),
                         [](const auto& info) { return info.param.name; });

TEST_F(ScardContextOperations, ReleasingTwiceFailsWithTheServicesStatus) {
    std::int32_t context = 0;
    handle_smartcard_establish_context(context, 0);
    handle_smartcard_release_context(context);
    const VornSCardException e = scard_failure([&] { handle_smartcard_release_context(context); });
    EXPECT_EQ(e.error_code, pcsc::E_INVALID_HANDLE);
    EXPECT_EQ(e.message,
              "Error in handle_smartcard_release_context: The supplied handle was invalid");
}

TEST_F(ScardContextOperations, IsValidNeverAnswersInvalidWithAList) {
    service.next(Fn::IS_VALID_CONTEXT, {.status = pcsc::E_INVALID_HANDLE});
    const VornSCardException e = scard_failure([] { handle_smartcard_is_valid_context(5); });
    EXPECT_EQ(e.message,
              "Error in handle_smartcard_is_valid_context: The supplied handle was invalid");
}

TEST_F(ScardContextOperations, CancelAsksWhetherTheContextIsValidFirst) {
    handle_smartcard_cancel(0x0A0B0C0D);
    const auto calls = service.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].fn, Fn::IS_VALID_CONTEXT);
    EXPECT_EQ(calls[1].fn, Fn::CANCEL);
}

TEST_F(ScardContextOperations, CancelOnAnInvalidContextNeverReachesTheService) {
    service.next(Fn::IS_VALID_CONTEXT, {.status = pcsc::E_INVALID_HANDLE});
    const VornSCardException e = scard_failure([] { handle_smartcard_cancel(0x0A0B0C0D); });
    EXPECT_EQ(e.error_code, status_of(0x80100003));
    EXPECT_EQ(e.error_code, -2146435069);
    EXPECT_EQ(e.message, "Error in handle_smartcard_cancel: Context is no longer valid");
    EXPECT_EQ(service.call_count(Fn::CANCEL), 0u);
}

struct ValidityCase {
    std::string name;
    std::uint32_t status;
    bool valid;
};

class ScardContextValidity : public FakeServiceTest,
                             public ::testing::WithParamInterface<ValidityCase> {};

TEST_P(ScardContextValidity, OnlySuccessMeansValid) {
    service.next(Fn::IS_VALID_CONTEXT, {.status = status_of(GetParam().status)});
    EXPECT_EQ(validate_context(0x0A0B0C0D), GetParam().valid);
}

INSTANTIATE_TEST_SUITE_P(Statuses, ScardContextValidity,
                         ::testing::ValuesIn(std::vector<ValidityCase>{
                             {"Success", 0, true},
                             {"InvalidHandle", 0x80100003, false},
                             {"NoService", 0x8010001D, false},
                             {"UnknownPositive", 5, false},
                         }),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace Vorn_SCard_Bridge::fake
