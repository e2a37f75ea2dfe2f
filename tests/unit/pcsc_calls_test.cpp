// The PC/SC list (scard/pcsc_calls.h) and the fake made from it: each call of the list,
// made through the pcsc:: interface, reaches the fake once and is recorded under its
// own Fn and name (a forwarder that called another function would be caught here).

#include "scard/pcsc_calls.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <type_traits>

#include "fakes/fake_pcsc_service.h"
#include "scard/pcsc_service.h"

namespace Vorn_SCard_Bridge {
namespace {

using fake::FakePcsc;
using fake::Fn;

// A value for each parameter: zeros and null buffers (the service's "how long?"), and
// an empty text where a name is read.
template <typename T>
T plain_value() {
    if constexpr (std::is_same_v<T, const char*>) {
        return "";
    } else {
        return T{};
    }
}

template <typename... Args>
void call_with_plain_values(std::int32_t (*function)(Args...)) {
    std::tuple<std::remove_cvref_t<Args>...> values{plain_value<std::remove_cvref_t<Args>>()...};
    std::apply([&](auto&... value) { function(value...); }, values);
}

TEST(PcscCalls, EachReachesTheFakeUnderItsOwnName) {
    FakePcsc& service = FakePcsc::instance();
#define VORN_CALL_CASE(Api, name, NAME, ON, TEXT)                          \
    {                                                                      \
        service.reset();                                                   \
        call_with_plain_values(&pcsc::name);                               \
        const auto calls = service.calls();                                \
        ASSERT_EQ(calls.size(), 1u) << #Api;                               \
        EXPECT_EQ(calls[0].fn, Fn::NAME) << #Api;                          \
        EXPECT_EQ(std::string(fake::name_of(calls[0].fn)), #name) << #Api; \
    }
    VORN_PCSC_CALLS(VORN_CALL_CASE)
#undef VORN_CALL_CASE
    service.reset();
}

}  // namespace
}  // namespace Vorn_SCard_Bridge
