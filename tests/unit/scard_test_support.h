#pragma once

// Shared by the unit tests of the smart-card operations: a fixture that hands every test
// a fresh fake service, and catchers for the two kinds of failure an operation raises.

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

#include "fakes/fake_pcsc_service.h"
#include "support/exceptions.h"

namespace Vorn_SCard_Bridge::fake {

class FakeServiceTest : public ::testing::Test {
protected:
    void SetUp() override { service.reset(); }
    void TearDown() override { service.reset(); }

    FakePcsc& service = FakePcsc::instance();
};

// The VornSCardException that action raises; a test failure when it raises none.
inline VornSCardException scard_failure(const std::function<void()>& action) {
    try {
        action();
    } catch (const VornSCardException& e) {
        return e;
    }
    ADD_FAILURE() << "expected a VornSCardException";
    return VornSCardException(0, "<none>");
}

// The message of the plain runtime_error that action raises; "<none>" when it raises none.
inline std::string runtime_failure(const std::function<void()>& action) {
    try {
        action();
    } catch (const VornSCardException& e) {
        ADD_FAILURE() << "expected a runtime_error, got VornSCardException: " << e.message;
        return "<scard>";
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    ADD_FAILURE() << "expected a runtime_error";
    return "<none>";
}

inline std::int32_t status_of(std::uint32_t code) { return static_cast<std::int32_t>(code); }

}  // namespace Vorn_SCard_Bridge::fake
